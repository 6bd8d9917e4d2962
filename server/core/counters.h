#pragma once
// What the server counts, by kind, with the one table of each kind's names: the words of the log
// and the label of the metrics. Pure.
#include <cstddef>

namespace skytether {

// Input that was thrown away, by kind; counted, summarised in the log, exported as metrics.
enum class Drop {
  kLongLine,          // stream line over kMaxLine
  kMalformed,         // stream line of no known form, or a field that does not parse
  kUnknownKeyword,    // well-formed ID, keyword we do not handle
  kBeforeLogin,       // anything but a login on a connection not logged in
  kWrongId,           // a line whose ID is not the connection's
  kRepeatLogin,       // a second login on a logged-in connection
  kChatFlood,         // chat beyond the allowance of its pilot or of its address
  kChatBudget,        // chat while the server-wide queue is full
  kLineFlood,         // stream lines faster than any plugin sends them (the connection is cut)
  kBadDatagram,       // datagram that is not a valid position line
  kStranger,          // datagram for no logged-in pilot, or from another IP than its stream
  kStale,             // datagram that waited in the socket longer than a report stays useful
  kModelPath,         // model path that is no .acf file or would leave the receiver's folder
  kViewOnlyDatagram,  // VOLOC from a pilot that did not announce itself as an observer
  kOtherPort,         // datagram from another port than the pilot's while that port is in use
  kMuted,             // chat of a pilot the operator muted
  kPositionRate,      // position beyond its pilot's rate, overtaken by a newer one before it went out
  kCount
};
constexpr std::size_t kDropKinds = static_cast<std::size_t>(Drop::kCount);

// Events a client can make the server repeat: each is logged within its kind's allowance.
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
  kAdminRefused,      // an admin request without a valid token
  kPositionRate,      // a pilot sent positions faster than its rate
  kClusterNode,       // another node of the cluster joined or left, or was not taken
  kCount
};
constexpr std::size_t kEventKinds = static_cast<std::size_t>(Event::kCount);

// In the log ("dropped 3 x malformed datagram") and in the metrics ({kind="bad_datagram"}).
const char *DropName(Drop d);
const char *DropLabel(Drop d);
// In the log's summaries ("4 x login not logged").
const char *EventName(Event e);

}  // namespace skytether
