#include "skyhost/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace skyhost {

TempDir::TempDir(const std::string &prefix) {
  const char *base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("cannot make a temporary folder from " + pattern);
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string &relative) const {
  return path_ + "/" + relative;
}

}  // namespace skyhost
