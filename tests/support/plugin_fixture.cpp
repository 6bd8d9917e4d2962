#include "plugin_fixture.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace sttest {

const std::string &PluginFile() {
  static const std::string file = SKYTETHER_PLUGIN_FILE;
  return file;
}

void PluginTest::SetUp() { dir_ = std::make_unique<skyhost::TempDir>("skytether-test-"); }

void PluginTest::TearDown() {
  host_.reset();
  dir_.reset();
}

skyhost::Host &PluginTest::MakeHost() {
  skyhost::HostOptions options;
  Configure(options);
  options.root = dir_->path();
  host_ = std::make_unique<skyhost::Host>(options);
  return *host_;
}

skyhost::Host &PluginTest::Load() {
  if (!host_) MakeHost();
  EXPECT_TRUE(host_->load(PluginFile())) << host_->lastError();
  return *host_;
}

skyhost::Host &PluginTest::Start() {
  Load();
  host_->enable();
  return *host_;
}

void PluginTest::WriteFile(const std::string &relative, const std::string &content) {
  std::string path = PathOf(relative);
  // Make the parent folders.
  for (size_t at = path.find('/', Root().size() + 1); at != std::string::npos; at = path.find('/', at + 1)) {
    ::mkdir(path.substr(0, at).c_str(), 0755);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string PluginTest::ReadFile(const std::string &relative) const {
  std::ifstream in(PathOf(relative), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool PluginTest::FileExists(const std::string &relative) const {
  struct stat st;
  return ::stat(PathOf(relative).c_str(), &st) == 0;
}

}  // namespace sttest
