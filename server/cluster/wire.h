#pragma once
// What cluster nodes tell each other through Redis, and under which names. Pure: texts in,
// texts out. Everything read from Redis passes the same checks as what a client sends, so a
// stranger who can write to Redis still cannot make a node relay a broken notice.
//
// Channels and keys, all under one prefix P:
//   P:presence      every node's pilots: a full list about once a second, changes as they happen
//   P:chat          chat lines, once composed by the sender's node
//   P:admin         the operator's actions (kick, ban, mute, ...), for every node to apply
//   P:positions:NODE  the positions node NODE wants: those of the pilots it holds, from the node
//                   each pilot is on, a batch of them per message (below)
//   P:node:NODE     a running node (expires unless refreshed)
//   P:id:ID         the node that owns uniqueID ID (expires unless refreshed)
//   P:probe:NODE    a node's own heartbeat, proving its subscription connection alive
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/admin.h"
#include "core/pilot.h"

namespace skytether {

struct ClusterNames {
  std::string prefix = "skytether";

  std::string Presence() const { return prefix + ":presence"; }
  std::string Chat() const { return prefix + ":chat"; }
  std::string Admin() const { return prefix + ":admin"; }
  std::string Positions(std::string_view node) const { return prefix + ":positions:" + std::string(node); }
  std::string NodeKey(std::string_view node) const { return prefix + ":node:" + std::string(node); }
  std::string IdKey(int id) const { return prefix + ":id:" + std::to_string(id); }
  std::string Probe(std::string_view node) const { return prefix + ":probe:" + std::string(node); }
};

struct Presence {
  enum class Kind {
    kSnapshot,  // every pilot of the node: whoever is not listed has left
    kChanges,   // the pilots listed changed, those in `gone` left
    kBye,       // the node stops: all its pilots leave
  };
  Kind kind = Kind::kSnapshot;
  std::string node;  // the node's identity for this run (a new one at every start)
  std::string name;  // the operator's name for it, for logs
  std::vector<PilotState> pilots;
  std::vector<int> gone;
  // The other nodes' pilots this node holds, whose positions it wants: in a full list all of them
  // (whoever is not listed is not wanted), in changes those wanted since and those no longer.
  std::vector<int> watch, unwatch;
};

// Node identities and names: letters, digits, '.', '-', '_', 1 to 64 of them.
bool IsNodeName(std::string_view s);

std::string EncodePresence(const Presence &p);
// False for anything malformed; *out is complete only when it returns true. A line of a kind it
// does not know (one or more capital letters of a later build) is passed over.
bool DecodePresence(std::string_view text, Presence *out);

// A batch of positions for one node: "Q\tNODE\tRULE\n", then per position
// "ID ARRIVAL STEPS LENGTH\n" and the datagram's LENGTH bytes as the pilot sent them. ARRIVAL is
// when it reached its node (microseconds since 1970 by that node's clock), so that a node far
// behind can tell a report too old to be of use, as for its own pilots'. STEPS is the change
// rule's word on it, as the sending node weighed it under RULE (bit k: it goes to recipients at
// step k), or "-" when that node did not weigh it (RULE "-").
struct SharedPosition {
  int id = -1;
  std::int64_t arrival_us = 0;
  int steps = -1;  // -1: not weighed
  std::string_view datagram;
};
// Starts a batch when *batch is empty, then adds p.
void AppendPosition(std::string *batch, std::string_view node, std::string_view rule,
                    const SharedPosition &p);
// Reads a batch's head; *rest is its positions, for NextPosition.
bool DecodePositionsHead(std::string_view batch, std::string_view *node, std::string_view *rule,
                         std::string_view *rest);
// The next position of *rest (the views point into it). False at the end (*rest empty) or at a
// position that does not read (*rest not empty): the positions before it stand, nothing after it
// is read.
bool NextPosition(std::string_view *rest, SharedPosition *out);
// What a node writes as RULE: a short digest of its change rule's steps, or "-" under another rule.
std::string RuleDigest(std::string_view description, bool changes);

// "NODE\tTEXT" where TEXT is the chat notice's text ("callsign: words").
std::string EncodeChat(std::string_view node, std::string_view text);
bool DecodeChat(std::string_view message, std::string *node, std::string *text);

// "NODE\tKIND\tBY\tID\tUSER\tSECONDS\tREASON": an operator's action as the node that took it
// passes it on. ID is "-" for an action by user ID; USER is "-" for one by uniqueID, else the user
// ID with blanks, control bytes and '%' as %XX.
std::string EncodeAdmin(std::string_view node, const AdminAction &a);
bool DecodeAdmin(std::string_view message, std::string *node, AdminAction *out);

}  // namespace skytether
