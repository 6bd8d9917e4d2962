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

struct AdminOutcome {
  int status = 200;           // the HTTP status of the answer
  std::string json;           // the answer
  std::string log;            // what was done, for the log (empty: nothing to log)
  bool bans_changed = false;  // the ban file must be written
  bool share = false;         // pass `shared` to the other nodes of a cluster
  AdminAction shared;
};

class Operator : public AccessPolicy {
 public:
  using Clock = std::function<double()>;
  // wall: seconds since 1970 (ban times); now: the registry's clock.
  Operator(Registry &registry, AdminCounters &counters, Clock wall, Clock now, bool clustered);

  // The ban list as read at start (from the ban file).
  BanList &bans() { return bans_; }
  // Carries out a kick, ban, unban, mute or unmute on this node. An action another node passed
  // on (from_cluster) is not passed on again, except a mute given by uniqueID for a pilot of
  // this node, which goes on as a mute of its user ID so that every node holds it.
  AdminOutcome Apply(const AdminAction &a, bool from_cluster);
  // {"bans":[{"user":..,"until":..|null,"given":..,"by":..,"reason":..}]}
  std::string BansJson();
  // {"pilots":[...]}: every logged-in client known here, with what only an operator may see.
  std::string PilotsJson() const;

  std::string LoginRefusal(std::string_view user) const override;
  bool Muted(std::string_view user) const override;

 private:
  Registry &registry_;
  AdminCounters &counters_;
  Clock wall_, now_;
  bool clustered_;
  BanList bans_;
  std::map<std::string, double, std::less<>> mutes_;  // user ID: until (seconds since 1970; 0 until lifted)
};

}  // namespace skytether

namespace skytether {

// What the admin routes hand their work to: it runs where the registry lives, and answers once,
// from any thread.
class AdminDesk {
 public:
  virtual ~AdminDesk() = default;
  using Done = std::function<void(AdminOutcome)>;
  // Carries out an action (a reload of the accounts included).
  virtual void Submit(const AdminAction &a, Done done) = 0;
  // Answers a list: "bans" or "pilots".
  virtual void List(const std::string &what, Done done) = 0;
};

}  // namespace skytether
