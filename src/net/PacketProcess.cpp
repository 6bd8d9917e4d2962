// The receive side: each run drains the datagram socket (position reports) and then the stream
// socket (callsign, chat and model notices).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "XPLMDataAccess.h"
#include "XPLMPlanes.h"
#include "XPLMUtilities.h"
#include "aircraft/Placement.h"
#include "aircraft/Traffic.h"
#include "aircraft/smoothing.h"
#include "net/net.h"
#include "net/wire.h"
#include "platform/platform.h"
#include "plugin/SkytetherSE.h"
#include "support/strings.h"
#include "ui/ui.h"

namespace {

constexpr int kDatagramReads = platform::kBatchMax;
constexpr int kStreamReads = 100;
constexpr int kReceiveArea = platform::kDatagramArea;
constexpr size_t kCallsignMax = 31;  // bytes

// A field is followed in its text by "|", a final line feed or the terminator, all of which end
// the number, so reading the field alone reads what strtof reads in place.
float ReadFloat(std::string_view field) {
  return ReadFloatText(field);
}
int ReadLight(std::string_view field) {
  return field[0] - '0';
}

// Slot 0, the user's own aircraft, takes the report at once; the others show from the run's
// placement on, and only while their pilot is there. With smoothing on their track takes it too
// (timed: it carried the sender's microseconds, read at arrival).
void ApplyPositionReport(Aircraft &a, const ReportFields &f, double arrival = 0, bool timed = false,
                         long micros = 0) {
  const std::string_view *t = f.field;
  a.lat = ReadFloat(t[3]);
  a.lon = ReadFloat(t[4]);
  a.el = ReadFloat(t[5]);
  double x, y, z;
  STWorldOrLocal(a.lat, a.lon, a.el, x, y, z);
  a.x = float(x);
  a.y = float(y);
  a.z = float(z);
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
  if (a.planeNumber == 0) {
    a.SetAircraftData();
    return;
  }
  NoteReport(a.planeNumber);
  if (smoothTraffic != 0) TakeReport(a.planeNumber, arrival, timed, micros);
}

// With smoothing on, the newest report of the run for each slot by the sender's time: the
// datagram it came in, its fields and microseconds. Static: a run allocates nothing.
struct Newest {
  bool found[kSlotCount];
  long micros[kSlotCount];
  double arrival[kSlotCount];
  ReportFields fields[kSlotCount];
};
Newest newest;

// Applies a datagram unless a later one of the same run has already set its slot. The host reads
// a slot's datarefs only after the run, so of a run's reports for one slot only the last that
// matches can be seen; a report that does not match whole changes nothing, so an earlier one
// stays. The datagram's text ends at its first NUL; a header holds none, so it is matched first.
// With smoothing on, a report that carries its sender's time is held back instead: of a run's
// reports for a slot the one sent last is applied after the run's datagrams, and only if it is
// newer than the newest the slot took, so a datagram overtaken on the way is not shown.
void HandleDatagram(std::string_view datagram, double arrival, bool (&applied)[kSlotCount]) {
  int n = 0;
  char letter = 0;
  size_t header = 0;
  if (!MatchDatagramHeader(datagram, n, letter, header)) return;
  if (letter != 'l' || n < 0 || n >= kSlotCount || applied[n]) return;
  const std::string_view text = datagram.substr(0, strnlen(datagram.data(), datagram.size()));
  const std::string_view rest = text.substr(header);
  if (smoothTraffic != 0 && n != 0 && newest.found[n]) {
    // Only a report sent after the slot's newest of the run so far can take its place: one whose
    // text does not even end in a later time is not matched at all.
    long micros = 0;
    if (!TrailingMicroseconds(rest, micros) ||
        SenderSeconds(newest.micros[n], newest.arrival[n], micros, arrival) <= 0)
      return;
  }
  ReportFields f;
  if (!MatchPositionReport(rest, f)) return;
  if (smoothTraffic != 0 && n != 0) {
    long micros = 0;
    if (ReportMicroseconds(rest, f, micros)) {
      if (!newest.found[n] || SenderSeconds(newest.micros[n], newest.arrival[n], micros, arrival) > 0) {
        newest.found[n] = true;
        newest.micros[n] = micros;
        newest.arrival[n] = arrival;
        newest.fields[n] = f;
      }
      return;
    }
    if (newest.found[n]) return;  // a later datagram carried a time
  }
  ApplyPositionReport(AircraftList[n], f);
  applied[n] = true;
}

void DispatchStreamMessage(const StreamMessage &m) {
  const int n = m.number;
  if (m.letter == 'c') {
    if (n < 0 || n >= kSlotCount) return;
    if (m.text == "BLANK") {
      Callsigns[n].clear();
      FreeSlot(n);  // the server freed the slot: its pilot is gone
    } else {
      // The server holds callsigns to this; a longer one is not an honest server's.
      Callsigns[n].assign(CutAtCharacter(m.text, kCallsignMax));
    }
  } else if (m.letter == 'm') {
    AppendChatLine(m.text);
  } else if (m.letter == 'p') {
    if (n < 0 || n >= kSlotCount) return;
    if (m.text == "BLANK") {
      Planes[n].clear();
      FreeSlot(n);
      return;
    }
    const std::string_view name = ModelDisplayNameView(m.text);
    if (name != Planes[n]) Planes[n].assign(name);
    QueueModel(n, m.text);
  }
}

// The server's own address, of either family; the port is not looked at.
bool IsFromServer(const sockaddr_storage &from, socklen_t length) {
  if (from.ss_family != serverAddress.ss_family) return false;
  if (from.ss_family == AF_INET)
    return length >= socklen_t(sizeof(sockaddr_in)) &&
           reinterpret_cast<const sockaddr_in &>(from).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in &>(serverAddress).sin_addr.s_addr;
  if (from.ss_family == AF_INET6)
    return length >= socklen_t(sizeof(sockaddr_in6)) &&
           std::memcmp(&reinterpret_cast<const sockaddr_in6 &>(from).sin6_addr,
                       &reinterpret_cast<const sockaddr_in6 &>(serverAddress).sin6_addr,
                       sizeof(in6_addr)) == 0;
  return false;
}

// The run's datagrams. Static: 90 areas are too much for the host's stack, and a run allocates
// nothing.
platform::DatagramBatch batch;

// When the kernel says datagram i arrived, on the clock smoothing runs on; `now` without a stamp.
// realToSteady turns the kernel's wall-clock stamp into that clock.
double ArrivalOf(int i, double now, double realToSteady) {
  const double stamp = batch.Arrival(i);
  return stamp >= 0 ? stamp + realToSteady : now;
}

}  // namespace

std::string ReplaceSeparators(std::string path) {
  return ReplaceSeparatorsWith(std::move(path), XPLMGetDirectorySeparator());
}

float SkytetherPacketProcess(float, float, int, void *) {
  // Before any report of the run is converted: the tracks must be in the frame the reports go to.
  FollowOrigin();
  AdvanceConnect();
  udptx = "  ";
  udprx = "  ";

  // The sender goes to its own address: serverAddress stays the server's.
  const int count = sockfd != 0 ? batch.Receive(sockfd) : 0;
  if (count > 0) {
    size = batch.Length(count - 1);
    serverLength = int(batch.FromLength(count - 1));
  }
  // Latest first: each slot takes the last report of the run that matches.
  bool applied[kSlotCount] = {};
  for (bool &found : newest.found) found = false;
  bool received = false;
  double now = 0, realToSteady = 0;
  if (smoothTraffic != 0 && count > 0) {
    const double real = platform::WallSeconds();
    now = TrafficClock();
    realToSteady = now - real;
  }
  for (int i = count - 1; i >= 0; --i) {
    const int length = batch.Length(i);
    if (length <= 0) continue;
    // Anyone who can reach this socket could otherwise move any slot, the user's own included.
    if (!IsFromServer(batch.From(i), batch.FromLength(i))) continue;
    received = true;
    // A cut datagram is not the report that was sent: its last field may end anywhere, in the
    // middle of an exponent say. The server never sends one longer than the receive area.
    if (batch.Cut(i)) continue;
    char *area = batch.Data(i);
    area[length] = '\0';
    HandleDatagram(std::string_view(area, size_t(length)),
                   smoothTraffic != 0 ? ArrivalOf(i, now, realToSteady) : 0, applied);
  }
  if (received) udprx = "Ur";
  for (int n = 1; n < kSlotCount; ++n)
    if (newest.found[n] && ReportIsNewer(n, newest.arrival[n], newest.micros[n]))
      ApplyPositionReport(AircraftList[n], newest.fields[n], newest.arrival[n], true, newest.micros[n]);

  tcprx = "  ";
  tcptx = "  ";
  // A stream still connecting is AdvanceConnect's: a refusal there means trying the next address,
  // not a lost session.
  auto streamOpen = [] { return tsockfd != 0 && tcpconnecting == 0; };
  if (streamOpen()) FlushStreamLines();
  CheckWaitingModels();
  char streamArea[kReceiveArea];
  // Whatever tcpBuffer holds is dispatched at least once, with or without a socket; the reads end
  // at the first that finds nothing.
  for (int attempt = 0; attempt < kStreamReads; ++attempt) {
    bool more = false;
    if (streamOpen()) {
      platform::Error error;
      size = int(platform::Receive(tsockfd, streamArea, kReceiveArea, error));
      if (size > 0) {
        tcprx = "Tr";
        AppendStreamText(tcpBuffer, streamArea, size_t(size));
        more = true;
      } else if (size < 0 && error.failure == platform::Failure::Interrupted) {
        more = true;
      } else if (size == 0 || error.failure != platform::Failure::WouldBlock) {
        // The server closed the stream or it broke: end the session so the flag tells the truth.
        ServerEndedSession(size == 0 ? platform::Error() : error);
      }
    }
    TakeStreamMessages(tcpBuffer, tcpSearched, DispatchStreamMessage);
    if (!more) break;
  }
  STPlaceSlots();
  return 0.03f;
}
