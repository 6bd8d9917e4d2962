// The datagram side of the packet cycle: one datagram from the server's address reaches the
// plugin's datagram socket, SkytetherPacketProcess and the frame's placement run, and either
// exactly the slot the report names holds every value of the report (the first report of a slot
// is shown as it came), or nothing changed at all.
//
// Input: one byte choosing the own position, then the datagram.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "aircraft/Traffic.h"
#include "fuzz_input.h"
#include "net/net.h"
#include "plugin/SkytetherSE.h"
#include "plugin_in_host.h"
#include "reference_patterns.h"

namespace {

constexpr size_t kReceiveArea = 1400;
constexpr size_t kStateBytes = sizeof(Aircraft) - offsetof(Aircraft, x);

int sender = -1;
sockaddr_in pluginAddress{};

int BoundSocket(sockaddr_in &address) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
    fuzz::Fail(__FILE__, __LINE__, "cannot bind a loopback datagram socket");
  int big = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  return fd;
}

const unsigned char *State(const Aircraft &a) {
  return reinterpret_cast<const unsigned char *>(&a.x);
}

// The same value to the bit; any two NaNs are one (a payload is nobody's data).
bool SameBits(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}
bool SameBits(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// The slot as the report should leave it, from the fields the reference patterns captured.
// Latitude and longitude are read as doubles; text that is no plain decimal (hexadecimal, a
// leading blank or sign) may be read as a float is: bit 0 of asFloat says so of the latitude,
// bit 1 of the longitude.
Aircraft Expected(const Aircraft &before, const std::string f[40], int asFloat = 0) {
  Aircraft a = before;
  auto F = [&](int i) { return std::strtof(f[i].c_str(), nullptr); };
  auto D = [&](int i, bool floatOnly) { return floatOnly ? double(F(i)) : std::strtod(f[i].c_str(), nullptr); };
  a.lat = D(3, asFloat & 1);
  a.lon = D(4, asFloat & 2);
  double x, y, z;
  fuzz::PluginHost().worldToLocal(a.lat, a.lon, double(F(5)), &x, &y, &z);
  a.x = float(x);
  a.y = float(y);
  a.z = float(z);
  a.el = F(5);
  float *surfaces[] = {&a.theta, &a.phi,       &a.psi,       &a.flap,     &a.flap2,  &a.speedbrake,
                       &a.slat,  &a.wingSweep, &a.yokePitch, &a.yokeRoll, &a.yokeYaw};
  for (int i = 0; i < 11; ++i) *surfaces[i] = F(6 + i);
  for (int i = 0; i < 10; ++i) a.gear[i] = F(17 + i);
  int *lights[] = {&a.beacon, &a.landing, &a.strobe, &a.nav, &a.taxi};
  for (int i = 0; i < 5; ++i) *lights[i] = int(std::strtol(f[27 + i].c_str(), nullptr, 10));
  for (int i = 0; i < 8; ++i) a.throttle[i] = F(32 + i);
  return a;
}

void CheckSlot(int n, const Aircraft &got, const Aircraft &want) {
  const std::string slot = "slot " + std::to_string(n) + ": ";
  static float Aircraft::*const kValues[] = {
      &Aircraft::x,         &Aircraft::y,         &Aircraft::z,          &Aircraft::el,
      &Aircraft::theta,     &Aircraft::phi,       &Aircraft::psi,        &Aircraft::flap,
      &Aircraft::flap2,     &Aircraft::spoiler,   &Aircraft::speedbrake, &Aircraft::slat,
      &Aircraft::wingSweep, &Aircraft::yokePitch, &Aircraft::yokeRoll,   &Aircraft::yokeYaw};
  for (size_t i = 0; i < 16; ++i)
    FUZZ_CHECK(SameBits(got.*kValues[i], want.*kValues[i]), slot + "value " + std::to_string(i));
  FUZZ_CHECK(SameBits(got.lat, want.lat), slot + "latitude");
  FUZZ_CHECK(SameBits(got.lon, want.lon), slot + "longitude");
  for (int i = 0; i < 10; ++i) FUZZ_CHECK(SameBits(got.gear[i], want.gear[i]), slot + "gear");
  for (int i = 0; i < 8; ++i) FUZZ_CHECK(SameBits(got.throttle[i], want.throttle[i]), slot + "throttle");
  FUZZ_CHECK(got.beacon == want.beacon && got.landing == want.landing && got.strobe == want.strobe &&
                 got.nav == want.nav && got.taxi == want.taxi,
             slot + "lights");
}

// The host's x and heading of slot n.
std::string HostName(int n, const char *own, const char *plane) {
  return n == 0 ? own : "sim/multiplayer/position/plane" + std::to_string(n) + plane;
}
struct HostSeen {
  double x, psi;
};
HostSeen Seen(int n) {
  skyhost::Host &h = fuzz::PluginHost();
  return {h.getd(HostName(n, "sim/flightmodel/position/local_x", "_x")),
          h.getd(HostName(n, "sim/flightmodel/position/psi", "_psi"))};
}

// What the host holds for slot n must be what the slot holds (the report reached the datarefs),
// except values no aircraft can have (non-finite, a position past 20,000 km, an angle past a
// hundred turns), which are never written: the host keeps what it had. A position that cannot be
// written may hold back the attitude with it, never put another value there.
void CheckHost(int n, const Aircraft &a, const HostSeen &before) {
  skyhost::Host &h = fuzz::PluginHost();
  auto same = [](double host, double want) { return (std::isnan(host) && std::isnan(want)) || host == want; };
  auto sane = [](float v, float limit) { return std::isfinite(v) && std::fabs(v) <= limit; };
  const bool fits = sane(a.x, 2.0e7f) && sane(a.y, 2.0e7f) && sane(a.z, 2.0e7f);
  const HostSeen now = Seen(n);
  FUZZ_CHECK(same(now.x, fits ? double(a.x) : before.x), "host x");
  // (Latitude is the host's own: it derives it and ignores the plugin's writes.)
  const bool psiSane = sane(a.psi, 36000.0f);
  FUZZ_CHECK(fits && psiSane ? same(now.psi, double(a.psi))
                             : same(now.psi, before.psi) || (psiSane && same(now.psi, double(a.psi))),
             "host psi");
  // The host's lights are switches: any value but 0 turns one on.
  FUZZ_CHECK(h.geti(HostName(n, "sim/cockpit/electrical/taxi_light_on", "_taxi_light_on")) == int(a.taxi != 0),
             "host taxi");
}

// What poll says of the plugin's socket within ms. libFuzzer's timer signal (every -timeout/2 + 1
// seconds) can cut a poll short, even one that does not wait (run with -timeout=1 and it does
// within a minute): that is no answer, so it asks again.
short Ready(int ms) {
  pollfd p{sockfd, POLLIN, 0};
  int ready;
  while ((ready = poll(&p, 1, ms)) < 0 && errno == EINTR) {
  }
  FUZZ_CHECK(ready >= 0, std::string("poll: ") + std::strerror(errno));
  return ready == 0 ? 0 : p.revents;
}

// After the run nothing waits: neither a datagram it left unread nor an error it left pending
// (poll answers for both; each is named).
void CheckNothingWaits() {
  const short events = Ready(0);
  char byte;
  const ssize_t waiting = recv(sockfd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  FUZZ_CHECK(!(events & POLLIN) && waiting < 0, "a datagram was left unread");
  int error = 0;
  socklen_t length = sizeof error;
  if (events & POLLERR) getsockopt(sockfd, SOL_SOCKET, SO_ERROR, &error, &length);
  FUZZ_CHECK(error == 0, std::string("an error was left pending: ") + std::strerror(error));
  FUZZ_CHECK(events == 0, "poll answered " + std::to_string(events));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::PluginHost();
  sockaddr_in senderAddress{};
  sender = BoundSocket(senderAddress);
  sockfd = BoundSocket(pluginAddress);
  tsockfd = 0;  // no stream: this target is the datagram side alone
  std::memcpy(&serverAddress, &senderAddress, sizeof senderAddress);
  serverAddressLength = sizeof senderAddress;
  tcpconnected = 1;  // a session, so the slots a report names show in the host
  AcquirePlanes();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const double kOwn[][2] = {{47.45, 8.55}, {48.5, 8.5}, {-0.3, 0.2},
                                   {47.0, 8.0},   {0.0, -0.0}, {89.9, 179.9}};
  fuzz::Input in(data, size);
  const double *own = kOwn[in.Byte() % 6];
  const std::string datagram = in.Bytes(60000);

  fuzz::SetOwnPosition(own[0], own[1]);
  for (Aircraft &a : AircraftList) std::memset(&a.x, 0x3f, kStateBytes);  // a state no report writes
  for (int n = 1; n < kSlotCount; ++n) FreeSlot(n);  // hidden until a report: none is placed anew
  const std::vector<Aircraft> before(AircraftList, AircraftList + kSlotCount);
  HostSeen hostBefore[kSlotCount];
  for (int n = 0; n < kSlotCount; ++n) hostBefore[n] = Seen(n);

  FUZZ_CHECK(sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&pluginAddress),
                    sizeof pluginAddress) == ssize_t(datagram.size()),
             "send");
  FUZZ_CHECK(Ready(5000) & POLLIN, "the datagram arrives");
  SkytetherPacketProcess(0.03f, 0.03f, 1, nullptr);
  SkytetherPlaceTraffic(0.03f, 0.03f, 1, nullptr);  // the frame's placement, when smoothing is on
  CheckNothingWaits();

  // The report the plugin should apply: a whole datagram that fits the receive area, read up to
  // its first NUL, with a valid header for slot 0..19 and letter "l", and 40 valid fields.
  int slot = -1;
  std::string fields[40];
  bool applies = false;
  if (datagram.size() <= kReceiveArea) {
    const std::string text = datagram.substr(0, datagram.find('\0'));
    std::string letter, rest;
    applies = reference::MatchDatagramHeader(text, slot, letter, rest) && letter == "l" && slot >= 0 &&
              slot < kSlotCount && reference::MatchPositionReport(rest, fields);
  }

  for (int n = 0; n < kSlotCount; ++n) {
    if (applies && n == slot) {
      const Aircraft &got = AircraftList[n];
      Aircraft want = Expected(before[n], fields);
      for (int asFloat = 1; asFloat < 4 && !(SameBits(got.lat, want.lat) && SameBits(got.lon, want.lon)); ++asFloat)
        want = Expected(before[n], fields, asFloat);
      CheckSlot(n, got, want);
      CheckHost(n, AircraftList[n], hostBefore[n]);
    } else {
      FUZZ_CHECK(std::memcmp(State(AircraftList[n]), State(before[n]), kStateBytes) == 0,
                 "slot " + std::to_string(n) + " changed by " + datagram);
    }
  }
  return 0;
}
