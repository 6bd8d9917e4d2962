#pragma once
// The plugin tests' fixture: a fresh PluginHost per test, with the real plugin file.
#include <gtest/gtest.h>

#include <string>

#include "plugin_host.h"

namespace harness {

class PluginTest : public ::testing::Test, public PluginHost {
 protected:
  // A root with a letter outside ASCII, as a pilot's user folder may have: every path the plugin
  // opens runs through it.
  PluginTest() : PluginHost("skytether-t\xC3\xABst-") {}
  void TearDown() override { DropHost(); }  // the plugin stops before the test's own members go

  // Override to change the host's options before it is made (root is filled in afterwards).
  virtual void Configure(skyhost::HostOptions &) {}

  skyhost::Host &MakeHost() {  // the host only, nothing loaded
    skyhost::HostOptions options;
    Configure(options);
    return PluginHost::MakeHost(options);
  }
  skyhost::Host &Load() {  // host + plugin loaded and started
    if (!HasHost()) MakeHost();
    std::string error;
    EXPECT_TRUE(PluginHost::Load(PluginFile(), &error)) << error;
    return host();
  }
  skyhost::Host &Start() {  // host + plugin loaded, started and enabled
    Load().enable();
    return host();
  }
  void WritePrefs(const std::string &content) { WriteFile("Resources/plugins/stprefs.txt", content); }
  std::string ReadPrefs() const { return ReadFile("Resources/plugins/stprefs.txt"); }
  // Runs whole frames at 60 fps of simulated time.
  void RunSeconds(double seconds) { host().runFor(seconds, 60.0); }
};

}  // namespace harness
