#pragma once
// Events a client can make the server repeat: each is counted by kind, and logged in full only
// while its kind has allowance left (a burst, then one line a second); the rest of each kind is
// summarised in one line at most once a second. Pure: time comes in as an argument.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "codec.h"

namespace skytether {

enum class Event {
  kLogin,
  kLogout,
  kRefusedLogin,      // wrong token, unknown user, uniqueID in use, server full
  kReplacedSession,   // a login took over its uniqueID's silent session
  kSlot,              // a slot given or freed
  kInView,            // a pilot came into view, went idle, became an observer
  kDatagramAddress,   // a pilot's datagram address learned or moved
  kHeldAnnouncement,  // a callsign or model change held back by the announcement allowance
  kPendingCut,        // a connection closed before login: too slow, or over the pending caps
  kSessionCut,        // a connection cut for what it sent or did not read
  kAcceptFailed,      // accept() failed (out of descriptors and the like)
  kCount
};
const char *EventName(Event e);

class EventLog {
 public:
  // burst lines of a kind at once, then one a second; summaries every interval seconds.
  explicit EventLog(double burst = 20, double interval = 1.0);

  // Counts one event; its line is appended to *out while its kind has allowance left.
  void Note(Event kind, double now, std::string line, std::vector<std::string> *out);
  // Appends one line per kind with events not logged, at most once an interval per kind.
  void Flush(double now, std::vector<std::string> *out);

  std::uint64_t total(Event kind) const { return kinds_[static_cast<int>(kind)].total; }

 private:
  struct Kind {
    explicit Kind(double burst) : gate(burst, 1.0) {}
    FloodGate gate;
    std::uint64_t total = 0, accounted = 0;  // accounted: logged in full or summarised
    double next_summary = 0;
    std::string last;  // the last line not logged
  };
  double interval_;
  std::vector<Kind> kinds_;
};

}  // namespace skytether
