// The receive side: each run drains the datagram socket (position reports) and then the stream
// socket (callsign, chat and model notices).
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "support/strings.h"
#include "ui/ui.h"

namespace {

constexpr int kDatagramReads = 90;
constexpr int kStreamReads = 100;
constexpr int kReceiveArea = 1400;

// A field is followed in its text by "|", a final line feed or the terminator, all of which end
// the number, so reading the field alone reads what strtof reads in place.
float ReadFloat(std::string_view field) { return ReadFloatText(field); }
int ReadLight(std::string_view field) { return field[0] - '0'; }

void ApplyPositionReport(int n, std::string_view rest, float ownLat, float ownLon) {
  if (n < 0 || n >= kSlotCount) return;
  // A report that does not match whole changes nothing: no field of an earlier report is reused.
  ReportFields f;
  if (!MatchPositionReport(rest, f)) return;
  const std::string_view *t = f.field;

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

void HandleDatagram(std::string_view text, float ownLat, float ownLon) {
  int n = 0;
  char letter = 0;
  size_t header = 0;
  if (!MatchDatagramHeader(text, n, letter, header)) return;
  if (letter != 'l') return;
  ApplyPositionReport(n, text.substr(header), ownLat, ownLon);
}

// A model file is a regular file that opens for reading. O_NONBLOCK: opening a named pipe the
// server's path happens to name must not wait for a writer on the host's main thread.
bool FileExists(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return regular;
}

void DispatchStreamMessage(const StreamMessage &m) {
  const int n = m.number;
  if (m.letter == 'c') {
    if (n < 0 || n >= kSlotCount) return;
    Callsigns[n] = (m.text == "BLANK") ? std::string() : m.text;
  } else if (m.letter == 'm') {
    AppendChatLine(m.text);
  } else if (m.letter == 'p') {
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
    // The host loads no model into the user's aircraft (index 0), and none for a plugin that does
    // not hold the planes.
    if (n != 0 && FileExists(path) && changed && PlanesHeld()) XPLMSetAircraftModel(n, path.c_str());
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

  // Only the bytes a read returned are used; the one spare byte terminates the text for the
  // number reads.
  char area[kReceiveArea + 1];

  for (int attempt = 0; attempt < kDatagramReads; ++attempt) {
    if (sockfd == 0) continue;
    // The sender goes to its own address: serverAddress stays the server's.
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC: the result is the datagram's own length, so one cut by the receive area shows.
    size = int(
        ::recvfrom(sockfd, area, kReceiveArea, MSG_TRUNC, reinterpret_cast<sockaddr *>(&from), &fromLength));
    if (size <= 0) continue;
    serverLength = int(fromLength);
    // Anyone who can reach this socket could otherwise move any slot, the user's own included.
    if (!IsFromServer(from, fromLength)) continue;
    udprx = "Ur";
    // A cut datagram is not the report that was sent: its last field may end anywhere, in the
    // middle of an exponent say. The server never sends one longer than the receive area.
    if (size > kReceiveArea) continue;
    area[size] = '\0';
    HandleDatagram(std::string_view(area, strnlen(area, size_t(size))), ownLat, ownLon);
  }

  tcprx = "  ";
  tcptx = "  ";
  if (tsockfd != 0) FlushStreamLines();
  for (int attempt = 0; attempt < kStreamReads; ++attempt) {
    if (tsockfd != 0) {
      size = int(::recvfrom(tsockfd, area, kReceiveArea, 0, nullptr, nullptr));
      if (size > 0) {
        tcprx = "Tr";
        AppendStreamText(tcpBuffer, area, size_t(size));
      } else if (size == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        // The server closed the stream or it broke: end the session so the flag tells the truth.
        DisconnectFromServer();
      }
    }
    TakeStreamMessages(tcpBuffer, tcpSearched, DispatchStreamMessage);
  }
  return 0.03f;
}
