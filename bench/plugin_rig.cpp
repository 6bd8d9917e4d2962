#include "plugin_rig.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace bench {

const char *PluginFile() {
  // Another build of the plugin (an older one, say) can be measured by the same benchmarks.
  const char *other = std::getenv("SKYTETHER_BENCH_PLUGIN");
  return other != nullptr && other[0] != '\0' ? other : harness::PluginFile().c_str();
}

namespace {

std::string G9(double v) {
  char b[40];
  std::snprintf(b, sizeof b, "%.9g", static_cast<double>(static_cast<float>(v)));
  return b;
}

}  // namespace

bool PluginRig::Start(std::string *error) {
  rig_ = std::make_unique<harness::PluginHost>("skytether-bench-");
  rig_->MakeHost();
  rig_->WriteFile("Resources/plugins/stprefs.txt",
                  std::string("userID=pilot;password=secret;callsign=Bench;connectAtStartup=1;") +
                      (smoothOff ? "smoothTraffic=0;" : ""));
  harness::FakeServer::Options o;
  o.port = harness::kProtocolPort;  // the plugin's built-in server (./run bench has a network of its own)
  o.waitSeconds = 120;
  o.receiveBuffer = 4 << 20;  // room for every datagram a timed batch sends before it is drained
  o.keepDatagrams = false;
  peer_ = std::make_unique<harness::FakeServer>(o);
  if (!peer_->ok()) {
    *error = peer_->error();
    return false;
  }
  if (!rig_->Load(PluginFile(), error)) return false;
  skyhost::Host &h = rig_->host();
  h.enable();

  // An aircraft in flight: every value the broadcast reads has digits to format.
  h.setd("sim/flightmodel/position/local_x", -12345.678);
  h.setd("sim/flightmodel/position/local_y", 1523.4567);
  h.setd("sim/flightmodel/position/local_z", 23456.789);  // latitude and the rest: the host derives them
  h.setf("sim/flightmodel/position/theta", 2.51234579f);
  h.setf("sim/flightmodel/position/phi", -10.2512341f);
  h.setf("sim/flightmodel/position/psi", 270.512344f);
  h.setf("sim/flightmodel/controls/flaprat", 0.333333343f);
  h.setf("sim/flightmodel/controls/flap2rat", 0.333333343f);
  h.setf("sim/flightmodel/controls/sbrkrat", 0.0125f);
  h.setf("sim/flightmodel/controls/slatrat", 0.5f);
  h.setf("sim/flightmodel/controls/swdi", 0.0f);
  h.setf("sim/joystick/FC_ptch", 0.0123456791f);
  h.setf("sim/joystick/FC_roll", -0.234567896f);
  h.setf("sim/joystick/FC_hdng", 0.00345678907f);
  // Gear in transit and eight engines: every one of the 42 values has nine digits, as in the
  // longest lines an aircraft sends.
  h.setvf("sim/aircraft/parts/acf_gear_deploy", {0.476190478f, 0.476190478f, 0.476190478f, 0.523809552f,
                                                 0.523809552f, 0.523809552f, 0.571428597f, 0.571428597f,
                                                 0.571428597f, 0.619047642f});
  h.setvf("sim/flightmodel/engine/ENGN_thro", {0.812345684f, 0.812345684f, 0.712345684f, 0.712345684f,
                                               0.612345684f, 0.612345684f, 0.512345684f, 0.512345684f});
  h.seti("sim/cockpit/electrical/beacon_lights_on", 1);
  h.seti("sim/cockpit/electrical/landing_lights_on", 1);
  h.seti("sim/cockpit/electrical/strobe_lights_on", 1);
  h.seti("sim/cockpit/electrical/nav_lights_on", 1);
  h.seti("sim/cockpit/electrical/taxi_light_on", 0);

  const double deadline = Now() + 20.0;
  while (!(peer_->hasClient() && peer_->knowsPlugin &&
           peer_->streamText.find("|Opening Connection|") != std::string::npos)) {
    if (Now() > deadline) {
      *error = "the plugin did not log in to the bench peer";
      return false;
    }
    h.runFrame(1.0 / 60.0);
    peer_->poll();
  }
  // The position broadcast is the one every-frame flight loop after the flight model; the
  // traffic's placement the third before it (after the cockpit hook and the model loads), where
  // there is one.
  int everyFrame = 0;
  for (const auto &f : h.flightLoops()) {
    if (std::fabs(f.firstInterval - 0.03f) < 1e-6f) packetProcess_ = f.fn;
    if (f.firstInterval != -1.0f) continue;
    if (f.phase == xplm_FlightLoop_Phase_AfterFlightModel) {
      drawPlanes_ = f.fn;
      continue;
    }
    if (everyFrame == 2) placeTraffic_ = f.fn;
    ++everyFrame;
  }
  if (drawPlanes_ == nullptr || packetProcess_ == nullptr) {
    *error = "the plugin's position broadcast or packet cycle is not registered";
    return false;
  }
  peer_->drainDatagrams();
  DrawPlanes();
  peer_->poll();
  positionLine_ = peer_->lastDatagram;
  return FindSockets(error);
}

void PluginRig::Stop() {
  if (rig_ && rig_->HasHost()) rig_->host().unload();
  rig_.reset();
}

in_port_t PluginRig::PluginPort() const {
  return reinterpret_cast<const sockaddr_in &>(peer_->pluginAddress).sin_port;
}

bool PluginRig::FindSockets(std::string *error) {
  // The plugin's datagram socket is the one bound to the port the peer saw its datagrams come
  // from; its stream socket is the one connected to the peer's port.
  DIR *d = ::opendir("/proc/self/fd");
  if (d == nullptr) {
    *error = "cannot list /proc/self/fd";
    return false;
  }
  while (dirent *e = ::readdir(d)) {
    int fd = std::atoi(e->d_name);
    if (fd <= 2) continue;
    sockaddr_in local{}, remote{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) != 0 || local.sin_family != AF_INET) continue;
    int type = 0;
    len = sizeof type;
    ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len);
    if (type == SOCK_DGRAM && local.sin_port == PluginPort()) datagramFd_ = fd;
    len = sizeof remote;
    if (type == SOCK_STREAM && ::getpeername(fd, reinterpret_cast<sockaddr *>(&remote), &len) == 0 &&
        remote.sin_port == htons(harness::kProtocolPort))
      streamFd_ = fd;
  }
  ::closedir(d);
  if (datagramFd_ < 0 || streamFd_ < 0) {
    *error = "cannot find the plugin's sockets";
    return false;
  }
  return true;
}

double PluginRig::NextSent() {
  static double sent = 0;
  sent += 0.03;
  return sent;
}

std::vector<std::string> PluginRig::MakeReports(int count, bool otherCell, double sent) const {
  const long micros = std::lround(std::fmod(sent, 1.0) * 1e6) % 1000000;
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    const int slot = 1 + i % 19;
    const double k = double(i);
    std::string s = std::to_string(slot) + "|l|";
    // 17 single values: x y z, lat lon el, theta phi psi, 5 surfaces, 3 yoke values.
    const double lat = (otherCell ? 48.1 : 47.42) + 0.00123 * k + sent * 60 / 111195,
                 lon = 8.51 + 0.00234 * k;
    // clang-format off
    const double v[17] = {-12000.123 + 37.7 * k, 1500.25 + k, 23000.4567 - 41.3 * k, lat, lon,
                          1500.25 + k, 2.5 + 0.01 * k, -10.25 + 0.1 * k, 270.5 - 0.3 * k - 3 * sent, 0.333333343,
                          0.333333343, 0.0125, 0.5, 0, 0.0123456791, -0.234567896, 0.00345678907};
    // clang-format on
    for (double x : v) s += G9(x) + "|";
    for (int g = 0; g < 10; ++g) s += G9(0.476190478 + 0.0476190478 * (g / 3) + 0.0001 * k) + "|";
    s += "1|1|1|1|0|";
    for (int t = 0; t < 8; ++t) s += G9(0.812345684 - 0.1 * (t / 2) - 0.001 * k) + "|";
    s += G9(1733616000.0) + "|" + std::to_string(micros);
    out.push_back(s);
  }
  return out;
}

std::string PluginRig::Notices() const {
  return "7|c|Falcon22\n7|p|Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf\n0|m|Falcon22: ready for "
         "departure\n";
}

int PluginRig::StreamBytesWaiting() const {
  int n = 0;
  ::ioctl(streamFd_, FIONREAD, &n);
  return n;
}

long PluginRig::DatagramDrops() const {
  std::ifstream in("/proc/net/udp");
  std::string line;
  std::getline(in, line);
  char want[8];
  std::snprintf(want, sizeof want, "%04X", unsigned(ntohs(PluginPort())));
  while (std::getline(in, line)) {
    std::istringstream s(line);
    std::string slot, local;
    s >> slot >> local;
    if (local.size() > 5 && local.substr(local.size() - 4) == want) {
      std::string field;
      std::vector<std::string> rest;
      while (s >> field) rest.push_back(field);
      return rest.empty() ? -1 : std::atol(rest.back().c_str());
    }
  }
  return -1;
}

}  // namespace bench
