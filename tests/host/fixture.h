#pragma once
// Helpers shared by the host tests: a fresh host in a temporary root, and access to the fixture
// plugin's log.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "skyhost/Host.h"

namespace hosttest {

inline skyhost::HostOptions optionsFor(const skyhost::TempDir &dir) {
  skyhost::HostOptions o;
  o.root = dir.path();
  return o;
}

// A host in its own temporary root, destroyed before the folder.
struct Fresh {
  skyhost::TempDir dir;
  skyhost::Host host{optionsFor(dir)};
};

// The fixture plugin loaded and started into its own host.
struct WithFixture : Fresh {
  WithFixture() {
    if (!host.load(FIXTURE_PLUGIN)) ADD_FAILURE() << "fixture did not load: " << host.lastError();
  }
  template <typename F>
  F fn(const char *name) {
    return reinterpret_cast<F>(skyhost::Host::pluginSymbol(host.pluginHandle(), name));
  }
  std::vector<std::string> log() {
    auto get = fn<const char *(*)()>("fixture_log");
    std::vector<std::string> lines;
    std::istringstream in(get ? get() : "");
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  void clearLog() { fn<void (*)()>("fixture_clear_log")(); }
  // The log lines that start with prefix.
  std::vector<std::string> logOf(const std::string &prefix) {
    std::vector<std::string> out;
    for (const auto &l : log())
      if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    return out;
  }
};

}  // namespace hosttest
