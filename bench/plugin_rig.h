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
  // Set before Start: the preferences turn smoothing off (the plugin as it was before it).
  bool smoothOff = false;
  void Stop();

  skyhost::Host &host() { return rig_->host(); }
  harness::FakeServer &peer() { return *peer_; }

  // The plugin's callbacks, called directly as its own code (what it asks of the host, such as
  // whether it holds the planes, is answered for it): exactly what the host calls each frame.
  float DrawPlanes() { return Call(drawPlanes_, 1.0f / 60); }
  float PacketProcess() { return Call(packetProcess_, 0.03f); }
  // The every-frame placement of the traffic; false for a plugin without one (an older build).
  bool HasPlaceTraffic() const { return placeTraffic_ != nullptr; }
  float PlaceTraffic() { return Call(placeTraffic_, 1.0f / 60); }

  // The plugin's own sockets (found by address), for raw reads and writes beside it.
  int datagramFd() const { return datagramFd_; }
  int streamFd() const { return streamFd_; }

  // The position line the plugin sends for the own state set at start, as received.
  const std::string &positionLine() const { return positionLine_; }
  // Reports as the server relays them: "N|l|" and 42 values, for slots 1 to 19 in turn, for
  // aircraft near the user's (same whole-degree cell unless otherCell), sent `sent` seconds into
  // their flight: each flies north at 60 m/s turning 3 degrees a second, and its time fields say
  // when it was sent. Each call of NextSent() is 30 ms later than the one before.
  std::vector<std::string> MakeReports(int count, bool otherCell, double sent = 0.123456) const;
  static double NextSent();
  // Three notices as a server sends them when it gives a slot and relays a chat line.
  std::string Notices() const;

  // Bytes waiting in the plugin's stream socket.
  int StreamBytesWaiting() const;
  // Datagrams the kernel dropped on the plugin's socket for want of room (from /proc/net/udp).
  long DatagramDrops() const;

 private:
  bool FindSockets(std::string *error);
  in_port_t PluginPort() const;  // the plugin's datagram port, as the server saw it (IPv4)
  // One pointer captured: the call allocates nothing.
  float Call(XPLMFlightLoop_f loop, float interval) {
    struct {
      XPLMFlightLoop_f loop;
      float interval, next;
    } c{loop, interval, 0};
    host().asPlugin([p = &c] { p->next = p->loop(p->interval, p->interval, 1, nullptr); });
    return c.next;
  }

  std::unique_ptr<harness::PluginHost> rig_;
  std::unique_ptr<harness::FakeServer> peer_;
  XPLMFlightLoop_f drawPlanes_ = nullptr;
  XPLMFlightLoop_f packetProcess_ = nullptr;
  XPLMFlightLoop_f placeTraffic_ = nullptr;
  int datagramFd_ = -1;
  int streamFd_ = -1;
  std::string positionLine_;
};

// Path of the plugin file measured: $SKYTETHER_BENCH_PLUGIN, else the one this build produced.
const char *PluginFile();

}  // namespace bench
