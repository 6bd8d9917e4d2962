#pragma once
// What the simulated host asks of the operating system, one way on Linux and Windows: loading
// plugin files, telling whose code an address is, reading memory safely, temporary folders, and
// paths (UTF-8 inside; on Windows, UTF-16 at the system and, for a plugin without native paths,
// the ANSI code page the host gives it).
#include <cstddef>
#include <string>

namespace skyhost::sys {

// A plugin file loaded into the process, its globals built; null with why in *error.
void *openLibrary(const std::string &path, std::string *error);
// Whether the file is loaded in this process now.
bool libraryLoaded(const std::string &path);
void *librarySymbol(void *library, const char *name);
void closeLibrary(void *library);
// The load address of the file holding this code, null when it is none's.
const void *moduleOf(const void *code);
// How many bytes from p, at most max, lie in readable memory of a loaded file.
size_t readableBytes(const void *p, size_t max);

// A new empty folder under the system's temporary folder, its name starting with prefix.
std::string makeTempDir(const std::string &prefix);

// Moves from onto to, replacing a file there (what POSIX rename does; Windows' refuses).
bool replaceFile(const std::string &from, const std::string &to);

// "/..." on POSIX; on Windows a drive ("C:\...", "C:/...") or a share ("\\server\...").
bool isAbsolutePath(const std::string &path);
// A path as a plugin that did not switch native paths on gets it (Windows: the ANSI code page,
// letters it lacks as "?"), and back. UTF-8 everywhere else.
std::string legacyPath(const std::string &utf8);
std::string pathFromLegacy(const std::string &legacy);

}  // namespace skyhost::sys
