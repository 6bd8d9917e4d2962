#include "plugin_host.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace harness {

PluginHost::PluginHost(const std::string &prefix) : dir_(std::make_unique<skyhost::TempDir>(prefix)) {}

PluginHost::~PluginHost() {
  host_.reset();  // the plugin unloads before its root goes
  dir_.reset();
}

skyhost::Host &PluginHost::MakeHost(skyhost::HostOptions options) {
  options.root = dir_->path();
  host_.reset();
  host_ = std::make_unique<skyhost::Host>(options);
  return *host_;
}

bool PluginHost::Load(const std::string &file, std::string *error) {
  if (!host_) MakeHost();
  if (host_->load(file)) return true;
  if (error != nullptr) *error = "cannot load " + file + ": " + host_->lastError();
  return false;
}

void PluginHost::WriteFile(const std::string &relative, const std::string &content) {
  const std::string path = PathOf(relative);
  for (size_t at = path.find('/', Root().size() + 1); at != std::string::npos; at = path.find('/', at + 1)) {
    ::mkdir(path.substr(0, at).c_str(), 0755);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string PluginHost::ReadFile(const std::string &relative) const {
  std::ifstream in(PathOf(relative), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool PluginHost::FileExists(const std::string &relative) const {
  struct stat st;
  return ::stat(PathOf(relative).c_str(), &st) == 0;
}

}  // namespace harness
