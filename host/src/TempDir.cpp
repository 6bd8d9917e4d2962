#include "skyhost/TempDir.h"

#include <filesystem>

#include "System.h"

namespace skyhost {

TempDir::TempDir(const std::string &prefix) : path_(sys::makeTempDir(prefix)) {}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::u8path(path_), ec);
}

std::string TempDir::operator/(const std::string &relative) const {
  return path_ + "/" + relative;
}

}  // namespace skyhost
