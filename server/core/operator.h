#pragma once
// The operator's controls carried out on this node: kicks, bans (the ban list), mutes, and the
// lists an operator reads. It answers the registry's questions at login and chat (its
// AccessPolicy). Pure: both clocks come in as functions; persisting the ban list and passing an
// action to the other nodes are the caller's, told through the outcome.
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "core/admin.h"
#include "core/bans.h"
#include "core/registry.h"

namespace skytether {

// What became of an action passed to the other nodes of a cluster.
struct AdminReach {
  bool passed = false;              // handed to Redis, for every node that listens
  std::vector<std::string> nodes;   // the other nodes heard from now: they carry it out
  std::vector<std::string> missed;  // nodes known to be gone (every one, when Redis is away): they do not
};
using AdminShare = std::function<AdminReach(const AdminAction &)>;

struct AdminOutcome {
  int status = 200;           // the HTTP status of the answer
  std::string json;           // the answer
  std::string log;            // what was done, for the log (empty: nothing to log)
  bool bans_changed = false;  // the ban file must be written
  bool share = false;         // `shared` goes to the other nodes of a cluster
  AdminAction shared;
  bool ban_added = false;     // the ban file takes `ban` (a ban given), or lifts `shared.user`
  Ban ban;
};

class Operator : public AccessPolicy {
 public:
  using Clock = std::function<double()>;
  // wall: seconds since 1970 (ban times); now: the registry's clock. open: a server without
  // accounts, where a user ID is all anyone says of themselves: bans and mutes hold the user ID
  // folded (FoldUser) and the addresses and uniqueIDs of its sessions.
  Operator(Registry &registry, AdminCounters &counters, Clock wall, Clock now, bool clustered, bool open = false);

  // The ban list in force (as read from the ban file at start or on SIGHUP).
  BanList &bans() { return bans_; }
  // Carries out a kick, ban, unban, mute or unmute on this node, and passes it to the other nodes
  // through share (on a cluster node). An action another node passed on (from_cluster) is not
  // passed on again, except a mute given by uniqueID for a pilot of this node, which goes on as a
  // mute of its user ID so that every node holds it.
  AdminOutcome Apply(const AdminAction &a, bool from_cluster, const AdminShare &share = nullptr);
  // {"pilots":[...]}: every logged-in client known here, with what only an operator may see.
  std::string PilotsJson() const;

  // Whether a ban in force holds a session of user from address with uniqueID id.
  bool Banned(std::string_view user, const IpAddr &address, int id) const {
    return bans_.Find(user, &address, id, wall_()) != nullptr;
  }
  std::string LoginRefusal(std::string_view user, const IpAddr &address, int id) const override;
  bool Muted(std::string_view user, const IpAddr &address, int id) const override;

 private:
  Registry &registry_;
  AdminCounters &counters_;
  Clock wall_, now_;
  // On an open server: the addresses and uniqueIDs of the sessions of key (a folded user ID), or
  // of the pilot id.
  void Holds(const std::string &key, int id, Ban *into) const;

  bool clustered_;
  bool open_;
  BanList bans_;
  BanList mutes_;  // until: 0 until lifted (or a restart)
};

}  // namespace skytether

namespace skytether {

// {"bans":[{"user":..,"until":..|null,"given":..,"by":..,"reason":..,"addresses":[..],"ids":[..]}],
//  "next":..|null}: up to limit bans of the list after the key `after`; next is the key to ask after.
std::string BansJson(const BanList &bans, std::string_view after, std::size_t limit);

// What the admin routes hand their work to: it runs where the registry lives, and answers once,
// from any thread.
class AdminDesk {
 public:
  virtual ~AdminDesk() = default;
  using Done = std::function<void(AdminOutcome)>;
  // Carries out an action (a reload of the accounts included).
  virtual void Submit(const AdminAction &a, Done done) = 0;
  // Answers a list: "bans" (query: after=KEY&limit=N) or "pilots".
  virtual void List(const std::string &what, const std::string &query, Done done) = 0;
};

}  // namespace skytether
