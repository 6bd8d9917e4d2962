#include "System.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#endif

namespace skyhost::sys {

#if defined(_WIN32)

namespace {
std::wstring wide(const std::string &text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring out(size_t(std::max(n, 0)), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &out[0], n);
  return out;
}
std::string narrow(const std::wstring &text, UINT page) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(page, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(std::max(n, 0)), '\0');
  if (n > 0) WideCharToMultiByte(page, 0, text.data(), int(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}
std::string lastError() {
  const DWORD code = GetLastError();
  wchar_t *text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
  std::string out = text ? narrow(text, CP_UTF8) : "error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}
}  // namespace

// The file's full path in the system's own form (drive, backslashes), as Windows names a loaded
// module: "/x/y.xpl" is on the current drive.
static std::wstring modulePath(const std::string &path) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(std::filesystem::u8path(path), ec);
  if (ec) full = std::filesystem::u8path(path);
  return full.make_preferred().wstring();
}

void *openLibrary(const std::string &path, std::string *error) {
  // What the file imports is found as for any program: DLLs already loaded (the SDK's), then the
  // program's own folder (the GL stand-in), then the system's.
  HMODULE m = LoadLibraryW(modulePath(path).c_str());
  if (!m && error) *error = lastError();
  return m;
}

bool libraryLoaded(const std::string &path) {
  HMODULE m = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, modulePath(path).c_str(), &m) && m;
}

void *librarySymbol(void *library, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(void *library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

const void *moduleOf(const void *code) {
  HMODULE m = nullptr;
  if (!code || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   static_cast<LPCWSTR>(code), &m))
    return nullptr;
  return m;
}

size_t readableBytes(const void *p, size_t max) {
  MEMORY_BASIC_INFORMATION info;
  if (!p || VirtualQuery(p, &info, sizeof info) == 0 || info.State != MEM_COMMIT || info.Type != MEM_IMAGE)
    return 0;
  const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                         PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  if (!(info.Protect & readable) || (info.Protect & PAGE_GUARD)) return 0;
  const uintptr_t end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
  return std::min<size_t>(max, end - reinterpret_cast<uintptr_t>(p));
}

std::string makeTempDir(const std::string &prefix) {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::random_device entropy;
  std::mt19937 rng(entropy() ^ GetCurrentProcessId());
  const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix;
    for (int i = 0; i < 6; ++i) name += letters[rng() % (sizeof letters - 1)];
    const std::filesystem::path dir = base / std::filesystem::u8path(name);
    if (CreateDirectoryW(dir.wstring().c_str(), nullptr)) return dir.u8string();
  }
  throw std::runtime_error("cannot make a temporary folder in " + base.u8string());
}

bool replaceFile(const std::string &from, const std::string &to) {
  return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool isAbsolutePath(const std::string &path) {
  const bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
                     (path[2] == '\\' || path[2] == '/');
  const bool share = path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && path[1] == path[0];
  return drive || share;
}

std::string legacyPath(const std::string &utf8) {
  return narrow(wide(utf8), CP_ACP);
}

std::string pathFromLegacy(const std::string &legacy) {
  if (legacy.empty()) return legacy;
  const int n = MultiByteToWideChar(CP_ACP, 0, legacy.data(), int(legacy.size()), nullptr, 0);
  std::wstring w(size_t(std::max(n, 0)), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, legacy.data(), int(legacy.size()), &w[0], n);
  return narrow(w, CP_UTF8);
}

#else

void *openLibrary(const std::string &path, std::string *error) {
  dlerror();
  void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib && error) {
    const char *why = dlerror();
    *error = why ? why : "dlopen failed";
  }
  return lib;
}

bool libraryLoaded(const std::string &path) {
  void *mapped = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!mapped) return false;
  dlclose(mapped);
  return true;
}

void *librarySymbol(void *library, const char *name) {
  return dlsym(library, name);
}

void closeLibrary(void *library) {
  dlclose(library);
}

const void *moduleOf(const void *code) {
  Dl_info info;
  if (!code || !dladdr(code, &info)) return nullptr;
  return info.dli_fbase;
}

namespace {
struct SegmentQuery {
  uintptr_t address;
  uintptr_t end;  // end of the readable segment holding address, 0 if none
};

int findSegment(struct dl_phdr_info *info, size_t, void *data) {
  auto *q = static_cast<SegmentQuery *>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_R)) continue;
    const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    const uintptr_t end = start + ph.p_memsz;
    if (q->address >= start && q->address < end) {
      q->end = end;
      return 1;
    }
  }
  return 0;
}
}  // namespace

size_t readableBytes(const void *p, size_t max) {
  SegmentQuery q{reinterpret_cast<uintptr_t>(p), 0};
  if (p) dl_iterate_phdr(findSegment, &q);
  if (!q.end) return 0;
  return std::min<uintptr_t>(max, q.end - q.address);
}

std::string makeTempDir(const std::string &prefix) {
  const char *base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("cannot make a temporary folder from " + pattern);
  return buf.data();
}

bool replaceFile(const std::string &from, const std::string &to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool isAbsolutePath(const std::string &path) {
  return !path.empty() && path[0] == '/';
}

std::string legacyPath(const std::string &utf8) {
  return utf8;
}

std::string pathFromLegacy(const std::string &legacy) {
  return legacy;
}

#endif

}  // namespace skyhost::sys
