#include "plugin_host.h"

#include <filesystem>
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

// Paths are UTF-8 text (the root may hold letters outside ASCII): u8path reads them so everywhere.
void PluginHost::WriteFile(const std::string &relative, const std::string &content) {
  const std::filesystem::path path = std::filesystem::u8path(PathOf(relative));
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string PluginHost::ReadFile(const std::string &relative) const {
  std::ifstream in(std::filesystem::u8path(PathOf(relative)), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool PluginHost::FileExists(const std::string &relative) const {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::u8path(PathOf(relative)), ignored);
}

}  // namespace harness
