#pragma once
// The pilot record: one stream connection as the registry knows it (from its connect on, logged
// in or not), or one pilot of another node of a cluster. And PilotState, what the registry tells
// of a pilot to anyone outside it: the cluster's other nodes, the status feed.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/address.h"
#include "core/codec.h"
#include "core/geometry.h"
#include "core/rate.h"
#include "core/relay_rates.h"

namespace skytether {

using ConnId = std::uint64_t;

struct Client;

// Who holds a pilot, in which of its slots, and how often its reports go there.
struct Viewer {
  Client *recipient;
  int slot;
  PairPace pace;
};

struct Client {
  // ---- what relaying a pilot's report to it reads: one cache line, as every report of a pilot
  // reads that of each of its holders ----
  alignas(64) UnitVector place;  // of lat/lon, for distances
  Endpoint udp;                  // where its datagrams come from
  bool has_udp = false;
  bool has_pos = false;

  // ---- the connection ----
  ConnId conn = 0;
  IpAddr peer;
  double connected_at = 0;
  double last_line = 0;  // the last stream line (the login included)

  // ---- who it is ----
  bool logged_in = false;
  int id = -1;
  std::string user;     // sanitized
  std::string account;  // the user ID as sent at login, as the accounts and the operator know it
  bool observer = false;
  std::string callsign;  // sanitized, as relayed; empty: none yet
  std::string model;     // relative path, as relayed; empty: none yet
  // Changes the announcement allowance held back: the latest of each goes out when it returns.
  std::string held_callsign, held_model;
  bool callsign_held = false, model_held = false;
  FloodGate announcements{0, 0};
  // Positions it may send: a plugin sends one a frame. Beyond the rate only the newest waits
  // here, for the next turn the rate allows; the rest are dropped.
  FloodGate positions{0, 0};
  bool position_held = false;
  bool held_listed = false;  // in the registry's list of pilots holding one
  std::string held_position;
  double held_at = 0;          // when the held one came
  double rate_noted = -1e300;  // when going over the rate was last logged
  RecentTimes chat;  // the last chat lines accepted from it

  // ---- where its datagrams come from (and udp, has_udp above) ----
  Endpoint udp_candidate;       // another port of the same address, and how many datagrams came from
  int candidate_datagrams = 0;  //   it since udp last spoke

  // ---- where it is (and place, has_pos above) ----
  double lat = 0, lon = 0;
  double last_heard = 0;  // the last position taken (from udp)
  // Elevation and heading of the last position, as sent (read for the status feed only).
  std::string elevation, heading;
  double reported = 0;  // remote: the last position or presence from its node

  // ---- what the change rule knows of it ----
  Motion motion;              // its newest report, as the rule reads it
  bool timed = false;         // motion.sent comes from its microseconds (else from arrivals)
  long micros = 0;            // the microseconds and arrival of its newest report
  double arrival = 0;
  std::string controls_text;  // the controls of its newest report, as sent
  std::vector<ChangeTrack> tracks;  // what each step's recipients were last sent

  // ---- who sees whom ----
  bool in_view = false;
  std::size_t visible_index = 0;         // position in the registry's list while in_view
  std::array<Client *, kSlots> slots{};  // what this client sees; [0] unused
  std::vector<Viewer> viewers;           // who sees this client, and in which slot
  double next_eval = 0;
  bool needs_fill = false;
  int fills_left = 0;  // free slots it may still be given before the next tick
  std::uint64_t eval_mark = 0;

  // ---- a cluster node ----
  // A pilot of another node (no connection here), and that node.
  bool remote = false;
  std::string node;
  // A login waiting for the cluster's word on its uniqueID, and the lines that came meanwhile.
  bool claiming = false;
  std::vector<std::string> claim_lines;

  // Silent: neither a line nor a datagram from it for longer than timeout.
  bool Silent(double now, double timeout) const {
    return now - last_line > timeout && now - last_heard > timeout;
  }
  int FreeSlots() const {
    int n = 0;
    for (int s = 1; s < kSlots; ++s) n += slots[s] == nullptr;
    return n;
  }
  int SlotFor(const Client *p) const {
    for (int s = 1; s < kSlots; ++s) {
      if (slots[s] == p) return s;
    }
    return 0;
  }
};

// One pilot as the other nodes of a cluster learn of it.
struct PilotState {
  int id = -1;
  bool in_view = false;   // sends positions and is not idle: others may give it slots
  bool observer = false;  // sees everyone, seen by nobody
  double lat = 0, lon = 0;
  std::string callsign;  // sanitized; empty: none yet
  std::string model;     // relative path; empty: none yet
  bool operator==(const PilotState &o) const {
    return id == o.id && in_view == o.in_view && observer == o.observer && lat == o.lat && lon == o.lon &&
           callsign == o.callsign && model == o.model;
  }
};

PilotState StateOf(const Client &c);

}  // namespace skytether
