// The receive side: each run drains the datagram socket (position reports) and then the stream
// socket (callsign, chat and model notices).
#include <errno.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "XPLMDataAccess.h"
#include "XPLMPlanes.h"
#include "XPLMUtilities.h"
#include "aircraft/Placement.h"
#include "net/net.h"
#include "net/wire.h"
#include "plugin/SkytetherSE.h"
#include "ui/ui.h"

namespace {

constexpr int kDatagramReads = 90;
constexpr int kStreamReads = 100;
constexpr int kReceiveArea = 1400;

float ReadFloat(const std::string &text) { return std::strtof(text.c_str(), nullptr); }
int ReadLight(const std::string &text) { return int(std::strtol(text.c_str(), nullptr, 10)); }

void ApplyPositionReport(int n, const std::string &rest, float ownLat, float ownLon) {
  if (n < 0 || n >= kSlotCount) return;
  // A report that does not match whole changes nothing: no field of an earlier report is reused.
  static ReportFields f;
  if (!MatchPositionReport(rest, f)) return;
  const std::string *t = f.field;

  Aircraft &a = AircraftList[n];
  double x, y, z;
  STWorldOrLocal(ownLat, ownLon, t[3], t[4], t[5], t[0], t[1], t[2], x, y, z);
  a.x = float(x);
  a.y = float(y);
  a.z = float(z);
  a.lat = ReadFloat(t[3]);
  a.lon = ReadFloat(t[4]);
  a.el = ReadFloat(t[5]);
  a.theta = ReadFloat(t[6]);
  a.phi = ReadFloat(t[7]);
  a.psi = ReadFloat(t[8]);
  a.flap = ReadFloat(t[9]);
  a.flap2 = ReadFloat(t[10]);
  a.speedbrake = ReadFloat(t[11]);
  a.slat = ReadFloat(t[12]);
  a.wingSweep = ReadFloat(t[13]);
  a.yokePitch = ReadFloat(t[14]);
  a.yokeRoll = ReadFloat(t[15]);
  a.yokeYaw = ReadFloat(t[16]);
  a.beacon = ReadLight(t[27]);
  a.landing = ReadLight(t[28]);
  a.strobe = ReadLight(t[29]);
  a.nav = ReadLight(t[30]);
  a.taxi = ReadLight(t[31]);
  for (int i = 0; i < 10; ++i) a.gear[i] = ReadFloat(t[17 + i]);
  for (int i = 0; i < 8; ++i) a.throttle[i] = ReadFloat(t[32 + i]);
  a.SetAircraftData();
}

void HandleDatagram(const std::string &text, float ownLat, float ownLon) {
  static std::string letter, rest;
  int n = 0;
  if (!MatchDatagramHeader(text, n, letter, rest)) return;
  if (letter != "l") return;
  ApplyPositionReport(n, rest, ownLat, ownLon);
}

bool FileExists(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

void DispatchStreamMessage(const StreamMessage &m) {
  const int n = m.number;
  if (m.letter == "c") {
    if (n < 0 || n >= kSlotCount) return;
    Callsigns[n] = (m.text == "BLANK") ? std::string() : m.text;
  } else if (m.letter == "m") {
    AppendChatLine(m.text);
  } else if (m.letter == "p") {
    if (n < 0 || n >= kSlotCount) return;
    if (m.text == "BLANK") {
      Planes[n].clear();
      return;
    }
    std::string name = ModelDisplayName(m.text);
    bool changed = false;
    if (name != Planes[n]) {
      Planes[n] = name;
      changed = true;
    }
    std::string path = ReplaceSeparators(m.text);
    if (FileExists(path) && changed) XPLMSetAircraftModel(n, path.c_str());
  }
}

bool IsFromServer(const sockaddr_in &from, socklen_t length) {
  return length >= socklen_t(sizeof(sockaddr_in)) && from.sin_family == AF_INET &&
         from.sin_addr.s_addr == serverAddress.sin_addr.s_addr;
}

}  // namespace

std::string ReplaceSeparators(std::string path) {
  return ReplaceSeparatorsWith(std::move(path), XPLMGetDirectorySeparator());
}

float SkytetherPacketProcess(float, float, int, void *) {
  const float ownLat = XPLMGetDataf(gPlaneLat);
  const float ownLon = XPLMGetDataf(gPlaneLon);
  udptx = "  ";
  udprx = "  ";

  // Only the bytes a read returned are used, so a full area needs no terminator.
  char area[kReceiveArea];
  static std::string text;

  for (int attempt = 0; attempt < kDatagramReads; ++attempt) {
    if (sockfd == 0) continue;
    // The sender goes to its own address: serverAddress stays the server's.
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    size = int(::recvfrom(sockfd, area, sizeof area, 0, reinterpret_cast<sockaddr *>(&from), &fromLength));
    if (size <= 0) continue;
    serverLength = int(fromLength);
    // Anyone who can reach this socket could otherwise move any slot, the user's own included.
    if (!IsFromServer(from, fromLength)) continue;
    udprx = "Ur";
    text.assign(area, strnlen(area, size_t(size)));
    HandleDatagram(text, ownLat, ownLon);
  }

  tcprx = "  ";
  tcptx = "  ";
  for (int attempt = 0; attempt < kStreamReads; ++attempt) {
    if (tsockfd != 0) {
      size = int(::recvfrom(tsockfd, area, sizeof area, 0, nullptr, nullptr));
      if (size > 0) {
        tcprx = "Tr";
        AppendStreamText(tcpBuffer, area, strnlen(area, size_t(size)));
      } else if (size == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        // The server closed the stream or it broke: end the session so the flag tells the truth.
        DisconnectFromServer();
      }
    }
    TakeStreamMessages(tcpBuffer, DispatchStreamMessage);
  }
  return 0.03f;
}
