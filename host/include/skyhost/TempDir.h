#pragma once
// A fresh, empty folder for one test or run; removed with everything in it when the object dies.

#include <string>

namespace skyhost {

class TempDir {
 public:
  // Made under $TMPDIR (or /tmp) with the given name prefix.
  explicit TempDir(const std::string &prefix = "skyhost-");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string &relative) const;

 private:
  std::string path_;
};

}  // namespace skyhost
