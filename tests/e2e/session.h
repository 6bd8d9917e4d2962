#pragma once
// A multi-pilot session: the real server and simulated-host processes, each with its own sim root.
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "json.h"
#include "server_process.h"
#include "skyhost/TempDir.h"

namespace e2e {

using harness::Json;
using harness::ParseJsonFile;

struct PilotSetup {
  std::string name;                                  // also the user ID and the callsign
  std::string password;                              // what the preferences file holds
  double lat = 47.45, lon = 8.55, elevation = 1000;  // held still unless the script flies
  // The origin of the host's local frame; NaN: where the pilot starts, as the host picks it.
  double originLat = NAN, originLon = NAN;
  std::vector<std::string> script;  // extra runner script lines ("AT VERB ARGS"); {root} is the sim root
  double seconds = 14;              // simulated seconds, paced in real time, until the dump
  bool observer = false;            // the view-only marker file
  bool connectAtStartup = true;
  int fps = 30;
  // The address its sockets speak from, as if on a machine of its own; empty: the kernel's choice.
  std::string source;
  std::string server;  // the server's address in its preferences; empty: the built-in one (or 127.0.0.1
                       // with a port)
  int port = 0;        // the server's port in its preferences (the test server's); 0: the built-in one
  // Flies until the test ends it (quit), driven meanwhile by act and read by snapshot, instead of
  // the fixed run of `seconds` with its dump; kHeldSeconds of simulated time at most.
  bool held = false;
  bool smooth = true;  // "Smooth traffic" in its preferences
  // A Windows pilot: the Windows build of the host and the plugin, under wine, in a root whose
  // name has letters outside ASCII (SKYTETHER_WINDOWS_BUILD names the build folder).
  bool windows = false;
};

constexpr double kHeldSeconds = 180;

// The Windows build folder the Windows pilots come from; empty when none was named.
std::string WindowsBuild();

class Pilot {
 public:
  explicit Pilot(const PilotSetup &setup);
  bool start();
  // Waits for the runner to finish; true when it exited with status 0 and its dump parsed (a held
  // pilot is told to quit first, and keeps its last snapshot).
  bool finish(double extraSeconds = 20);
  void kill();

  // ---- a held pilot, while it flies ----
  // Hands the runner one action, as a script line without its time ("key tab", "menu Skytether >
  // Toggle Plane List"); it runs before one of the next frames, in the order given.
  void act(const std::string &action);
  // The host's state now, as dump() reads it; false when none came within timeout.
  bool snapshot(double timeout = 10);
  // Snapshots until done() holds on one (the last is kept either way); false on timeout. Each
  // snapshot costs the host a frame's worth of writing: they are asked for at most every
  // kSnapshotPeriod, on a schedule of the clock's, so that the host is not kept writing them.
  static constexpr std::chrono::milliseconds kSnapshotPeriod{50};
  template <typename Done>
  bool snapshotUntil(Done done, double timeout) {
    for (auto deadline = harness::After(timeout), next = harness::Clock::now();;) {
      if (snapshot() && done()) return true;
      if (harness::Clock::now() > deadline || !process_.Running()) return false;
      next = std::max(next + kSnapshotPeriod, harness::Clock::now());
      std::this_thread::sleep_until(next);
    }
  }
  // Ends the run; true when the runner exited with status 0 within timeout.
  bool quit(double timeout = 20);
  bool running() { return process_.Running(); }
  const PilotSetup &setup() const { return setup_; }
  const Json &dump() const { return dump_; }
  std::string log() const { return process_.Log(); }
  const std::string &root() const { return root_->path(); }
  // A path under root as the pilot's host names it (on Windows, "Z:\\..." as wine shows this
  // machine's folders).
  std::string hostPath(const std::string &linuxPath) const;

  // Every frame the host ran, from its trace: the wall-clock time it began (seconds), where the
  // user's aircraft was (latitude, longitude, elevation) and where each multiplayer plane within
  // 100 km of the user was (index, latitude, longitude, elevation).
  struct Frame {
    double wall;
    std::array<double, 3> own;
    std::vector<std::array<double, 4>> planes;
  };
  std::vector<Frame> frames() const;
  // Reads the trace each time the host has written more of it, until done(frames) holds; false
  // when it did not within timeout, or the runner ended first.
  bool framesUntil(const std::function<bool(const std::vector<Frame> &)> &done, double timeout);

  // Reads the dump the script wrote to `path` instead of the one written at `seconds`.
  bool useDump(const std::string &path) { return ParseJsonFile(path, dump_); }

  // Read from the dump written at `seconds` (the runner flies on a little after it).
  double dataref(const std::string &name) const;
  std::vector<std::string> strings() const;  // every string drawn in the last frame
  // The slot whose plane-list row carries this callsign, or -1.
  int slotOf(const std::string &callsign) const;
  std::string row(int slot) const;               // "N: callsign name", or "" when not drawn
  std::vector<std::string> chatHistory() const;  // the 14 history lines, oldest first, as drawn
  bool widgetVisible(const std::string &descriptor) const;

 private:
  PilotSetup setup_;
  std::unique_ptr<skyhost::TempDir> root_;
  harness::ChildProcess process_;
  Json dump_;
  std::string dumpPath_;
  int snapshots_ = 0;
};

class Server {
 public:
  // On a port the kernel picks, or on the given one (a server started again where the pilots
  // know it).
  explicit Server(std::vector<std::string> extraArgs = {}, int port = 0)
      : args_(std::move(extraArgs)), port_(port) {}
  bool start();
  int port() const { return process_ ? process_->port() : 0; }
  harness::ServerProcess &process() { return *process_; }
  void kill() { process_->Signal(SIGKILL); }
  // SIGTERM; returns when it ended, with its exit status: 0 only for a clean exit, which in the
  // sanitizer build also means no error or leak report.
  int stop() { return process_->Signal(SIGTERM, 10); }
  std::string log() const { return process_ ? process_->Log() : std::string(); }

 private:
  std::vector<std::string> args_;
  int port_;
  std::unique_ptr<harness::ServerProcess> process_;
};

// Metres between where `viewer` shows slot `slot` and where `other` is, by their dumps.
double PlacementError(const Pilot &viewer, int slot, const Pilot &other);

}  // namespace e2e
