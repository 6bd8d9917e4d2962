#pragma once
// The plugin in a simulated host: a fresh sim root, a host rooted there, and the plugin in it,
// either the real plugin file loaded as the host loads plugins (tests, benches) or the plugin's
// own code linked in and started in place (fuzz targets). The root and everything in it go with
// the object.
#include <chrono>
#include <memory>
#include <string>

#include "fake_server.h"
#include "skyhost/Host.h"
#include "skyhost/TempDir.h"

namespace harness {

// The plugin file this build produced (from skytether_plugin_file, which builds it first).
const std::string &PluginFile();

class PluginHost {
 public:
  explicit PluginHost(const std::string &prefix = "skytether-test-");
  ~PluginHost();
  PluginHost(const PluginHost &) = delete;
  PluginHost &operator=(const PluginHost &) = delete;

  // A host rooted at this root (options.root is filled in), nothing loaded.
  skyhost::Host &MakeHost(skyhost::HostOptions options = {});
  // The plugin file loaded and started (a host is made first if there is none); false with the
  // host's error in *error.
  bool Load(const std::string &file, std::string *error = nullptr);
  skyhost::Host &host() { return *host_; }
  bool HasHost() const { return host_ != nullptr; }
  void DropHost() { host_.reset(); }

  const std::string &Root() const { return dir_->path(); }
  std::string PathOf(const std::string &relative) const { return Root() + "/" + relative; }
  // Writes a file under the root, making its folders.
  void WriteFile(const std::string &relative, const std::string &content);
  std::string ReadFile(const std::string &relative) const;
  bool FileExists(const std::string &relative) const;

 private:
  std::unique_ptr<skyhost::TempDir> dir_;
  std::unique_ptr<skyhost::Host> host_;
};

// Runs frames of the host (simulated 60 fps, paced by nothing) and polls the server after each,
// until done() holds or timeoutSeconds of wall-clock time pass. Returns done(). The bound is
// for a sanitizer build on a busy machine, whose frames may each take tens of milliseconds: a
// wait that succeeds ends as soon as done() holds.
template <typename Done>
bool RunUntil(skyhost::Host &host, FakeServer *server, Done done, double timeoutSeconds = 30.0) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    host.runFrame(1.0 / 60.0);
    if (server != nullptr) server->poll();
  }
  return true;
}

}  // namespace harness
