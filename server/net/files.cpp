#include "net/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace skytether {

bool ReadWholeFile(const std::string &path, std::string *text, std::string *error, bool *missing,
                   bool no_follow) {
  if (missing != nullptr) *missing = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (no_follow ? O_NOFOLLOW : 0));
  if (fd < 0) {
    if (missing != nullptr && errno == ENOENT) {
      *missing = true;
      text->clear();
      return true;
    }
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  *text = std::move(out);
  return true;
}

bool ReadPrivateFile(const std::string &path, std::string *text, std::string *error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    *error = "cannot read " + path;
    return false;
  }
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    *error = path + " can be read or changed by other users; allow its owner only (chmod 600 " + path + ")";
    return false;
  }
  return ReadWholeFile(path, text, error);
}

bool ReplaceFile(const std::string &path, const std::string &text, std::string *error) {
  const std::string fresh = path + ".new";
  // Made anew, never opened through whatever someone left in its place (a link to another file).
  if (::unlink(fresh.c_str()) != 0 && errno != ENOENT) {
    *error = "cannot replace " + fresh + ": " + std::strerror(errno);
    return false;
  }
  const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot write " + fresh + ": " + std::strerror(errno);
    return false;
  }
  std::size_t off = 0;
  while (off < text.size()) {
    const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    off += static_cast<std::size_t>(n);
  }
  const bool written = off == text.size() && ::fsync(fd) == 0;
  const int saved = errno;
  ::close(fd);
  if (!written || ::rename(fresh.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(written ? errno : saved);
    ::unlink(fresh.c_str());
    return false;
  }
  // The rename itself reaches the disk with its folder.
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

FileStamp StampOf(const std::string &path) {
  struct stat st;
  FileStamp s;
  if (::lstat(path.c_str(), &st) != 0) return s;
  s.device = st.st_dev;
  s.inode = st.st_ino;
  s.size = static_cast<unsigned long long>(st.st_size);
  s.mtime_ns = static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ull + st.st_mtim.tv_nsec;
  return s;
}

}  // namespace skytether
