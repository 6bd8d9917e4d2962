#include "core/feed_text.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>

namespace skytether {
namespace {

// The client line's fields this server fills; the others stay empty.
enum Field {
  kCallsign = 0,
  kId = 1,
  kClientType = 3,
  kLatitude = 5,
  kLongitude = 6,
  kAltitude = 7,
  kGroundSpeed = 8,
  kAircraft = 9,
  kServer = 14,
  kProtocol = 15,
  kHeading = 38,
};

// YYYYMMDDhhmmss, UTC.
std::string Stamp(double unix_seconds) {
  const time_t t = static_cast<time_t>(unix_seconds);
  tm parts;
  gmtime_r(&t, &parts);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &parts);
  return buf;
}

// A field holds no separator and no line break (a reader splits on ':' alone), and does not
// start with what makes a line a comment (';') or a section ('!'), nor with a blank a reader may
// trim before looking: the first field of a line is a pilot's callsign or a node's name.
std::string Clean(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) continue;
    const bool first = out.empty();
    out += c == ':' || (first && (c == ';' || c == '!' || c == ' ')) ? '_' : c;
  }
  return out;
}

std::string Number(const char *format, double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

}  // namespace

std::string FeedText(const StatusSnapshot &s) {
  std::string clients;
  std::size_t count = 0;
  std::set<std::string> nodes{s.node};
  for (const StatusPilot &p : s.pilots) {
    nodes.insert(p.node);
    if (p.observer || !p.in_view || !p.has_position) continue;
    std::array<std::string, kFeedTextClientFields> f;
    f[kCallsign] = Clean(p.callsign);
    f[kId] = std::to_string(p.feed_id);  // the JSON feed's id: never the uniqueID
    f[kClientType] = "PILOT";
    f[kLatitude] = Number("%.6f", p.latitude);
    f[kLongitude] = Number("%.6f", p.longitude);
    // Feet and whole degrees, as the readers expect; unknown for another node's pilot that no
    // pilot here holds (its full positions do not come to this node).
    if (p.has_attitude) {
      f[kAltitude] = Number("%.0f", p.elevation / 0.3048);
      f[kHeading] = Number("%.0f", std::fmod(std::fmod(std::round(p.heading), 360) + 360, 360));
    }
    f[kGroundSpeed] = "0";
    f[kAircraft] = Clean(ModelDisplayName(p.model));
    f[kServer] = Clean(p.node);
    f[kProtocol] = "1";
    for (const std::string &field : f) clients += field + ":";
    clients += "\n";
    ++count;
  }
  std::string out = "; " + Clean(s.node) + " (skytether-server " + Clean(s.version) + "): pilots in view\n";
  out += "!GENERAL:\n";
  out += "VERSION = " + std::to_string(kFeedTextVersion) + "\n";
  out += "RELOAD = 1\n";
  out += "UPDATE = " + Stamp(s.taken) + "\n";
  out += "CONNECTED CLIENTS = " + std::to_string(count) + "\n";
  out += "CONNECTED SERVERS = " + std::to_string(nodes.size()) + "\n";
  out += "!CLIENTS:\n" + clients;
  out += "!SERVERS:\n";
  for (const std::string &n : nodes) out += Clean(n) + ":::" + Clean(n) + ":1:\n";
  return out;
}

}  // namespace skytether
