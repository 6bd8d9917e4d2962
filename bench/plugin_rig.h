#pragma once
// The real plugin file in the simulated host (the harness's PluginHost), logged in to the
// harness's FakeServer on 127.0.0.1:49556, with its position broadcast and receive cycle and its
// two sockets at hand.
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "XPLMProcessing.h"
#include "fake_server.h"
#include "plugin_host.h"

namespace bench {

// Seconds on the monotonic clock.
inline double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}
// CPU seconds (user + system) used by this thread so far.
inline double ThreadCpu() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

class PluginRig {
 public:
  // Makes the host, takes the port, loads and enables the plugin and waits for its login and
  // first position datagram.
  bool Start(std::string *error);
  void Stop();

  skyhost::Host &host() { return rig_->host(); }
  harness::FakeServer &peer() { return *peer_; }

  // The plugin's callbacks, called directly: exactly what the host calls each frame.
  float DrawPlanes() { return drawPlanes_(1.0f / 60, 1.0f / 60, 1, nullptr); }
  float PacketProcess() { return packetProcess_(0.03f, 0.03f, 1, nullptr); }

  // The plugin's own sockets (found by address), for raw reads and writes beside it.
  int datagramFd() const { return datagramFd_; }
  int streamFd() const { return streamFd_; }

  // The position line the plugin sends for the own state set at start, as received.
  const std::string &positionLine() const { return positionLine_; }
  // Reports as the server relays them: "N|l|" and 42 values, for slots 1 to 19 in turn, for
  // aircraft near the user's (same whole-degree cell unless otherCell).
  std::vector<std::string> MakeReports(int count, bool otherCell) const;
  // Three notices as a server sends them when it gives a slot and relays a chat line.
  std::string Notices() const;

  // Bytes waiting in the plugin's stream socket.
  int StreamBytesWaiting() const;
  // Datagrams the kernel dropped on the plugin's socket for want of room (from /proc/net/udp).
  long DatagramDrops() const;

 private:
  bool FindSockets(std::string *error);
  in_port_t PluginPort() const;  // the plugin's datagram port, as the server saw it (IPv4)

  std::unique_ptr<harness::PluginHost> rig_;
  std::unique_ptr<harness::FakeServer> peer_;
  XPLMFlightLoop_f drawPlanes_ = nullptr;
  XPLMFlightLoop_f packetProcess_ = nullptr;
  int datagramFd_ = -1;
  int streamFd_ = -1;
  std::string positionLine_;
};

// Path of the plugin file measured: $SKYTETHER_BENCH_PLUGIN, else the one this build produced.
const char *PluginFile();

}  // namespace bench
