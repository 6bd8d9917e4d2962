#pragma once
// A fresh sim root and a fresh simulated host per test, with the real plugin file loaded into it.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "skyhost/Host.h"
#include "skyhost/TempDir.h"

namespace sttest {

// Path of the plugin file this build produced.
const std::string &PluginFile();

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Override to change the host's options before it is made (root is filled in afterwards).
  virtual void Configure(skyhost::HostOptions &) {}

  skyhost::Host &MakeHost();                // the host only, nothing loaded
  skyhost::Host &Load();                    // host + plugin loaded and started
  skyhost::Host &Start();                   // host + plugin loaded, started and enabled
  skyhost::Host &host() { return *host_; }
  bool HasHost() const { return host_ != nullptr; }
  void DropHost() { host_.reset(); }

  const std::string &Root() const { return dir_->path(); }
  std::string PathOf(const std::string &relative) const { return Root() + "/" + relative; }
  void WriteFile(const std::string &relative, const std::string &content);
  std::string ReadFile(const std::string &relative) const;
  bool FileExists(const std::string &relative) const;
  void WritePrefs(const std::string &content) { WriteFile("Resources/plugins/stprefs.txt", content); }
  std::string ReadPrefs() const { return ReadFile("Resources/plugins/stprefs.txt"); }

  // Runs whole frames at 60 fps of simulated time.
  void RunSeconds(double seconds) { host_->runFor(seconds, 60.0); }

 private:
  std::unique_ptr<skyhost::TempDir> dir_;
  std::unique_ptr<skyhost::Host> host_;
};

}  // namespace sttest
