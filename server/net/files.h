#pragma once
// The server's own files: read whole, and replaced whole so that a crash leaves the old file or
// the new one, never a mix.
#include <string>

namespace skytether {

// A file that holds secrets: refused when anyone but its owner may read or change it.
bool ReadPrivateFile(const std::string &path, std::string *text, std::string *error);
// A whole file; *missing (when given) says it does not exist, which is not an error then.
// no_follow: a symbolic link in the file's place is refused (a file the server writes itself).
bool ReadWholeFile(const std::string &path, std::string *text, std::string *error, bool *missing = nullptr,
                   bool no_follow = false);
// Writes text to a new PATH.new (owner only, never through a link), flushes it to the disk and
// renames it over path.
bool ReplaceFile(const std::string &path, const std::string &text, std::string *error);

// What tells one version of a file from another: a file replaced, or written in place, has
// another stamp (all zero: no file).
struct FileStamp {
  unsigned long long device = 0, inode = 0, size = 0, mtime_ns = 0;
  bool operator==(const FileStamp &o) const {
    return device == o.device && inode == o.inode && size == o.size && mtime_ns == o.mtime_ns;
  }
  bool operator!=(const FileStamp &o) const { return !(*this == o); }
};
FileStamp StampOf(const std::string &path);

}  // namespace skytether
