#include "core/operator.h"

#include "core/status.h"

namespace skytether {
namespace {

std::string Names(const std::vector<std::string> &names) {
  std::string s = "[";
  for (const std::string &n : names) s += (s.size() > 1 ? "," : "") + JsonString(n);
  return s + "]";
}

std::string Error(AdminOutcome *o, int status, const std::string &message) {
  o->status = status;
  return "{\"ok\":false,\"error\":" + JsonString(message) + "}";
}

}  // namespace

Operator::Operator(Registry &registry, AdminCounters &counters, Clock wall, Clock now, bool clustered)
    : registry_(registry),
      counters_(counters),
      wall_(std::move(wall)),
      now_(std::move(now)),
      clustered_(clustered) {}

std::string Operator::LoginRefusal(std::string_view user) const {
  const Ban *b = bans_.Find(user, wall_());
  if (b == nullptr) return std::string();
  ++counters_.banned_logins;
  std::string why = b->until == 0 ? "banned" : "banned until " + UtcTime(b->until);
  if (!b->reason.empty()) why += " (" + b->reason + ")";
  return why;
}

bool Operator::Muted(std::string_view user) const {
  auto it = mutes_.find(user);
  return it != mutes_.end() && (it->second == 0 || wall_() < it->second);
}

AdminOutcome Operator::Apply(const AdminAction &a, bool from_cluster) {
  using Kind = AdminAction::Kind;
  AdminOutcome o;
  const double wall = wall_();
  const std::string who = from_cluster ? "node " + a.by : a.by;
  const std::string why = "by the operator (" + who + ")" + (a.reason.empty() ? "" : ": " + a.reason);
  std::vector<std::string> closed;
  std::string extra;
  // A uniqueID not logged in here may be another node's pilot: the action goes on to the others.
  const std::string account = a.id >= 0 ? registry_.AccountOf(a.id) : a.user;
  const bool here = !account.empty();
  o.shared = a;
  o.share = !from_cluster && (a.id < 0 || !here);
  switch (a.kind) {
    case Kind::kKick:
      closed = registry_.Kick(a.id, a.user, "kicked " + why,
                              "Server: you were removed" + (a.reason.empty() ? "" : ": " + a.reason), now_());
      break;
    case Kind::kBan: {
      Ban b;
      b.user = a.user;
      b.given = wall;
      b.until = a.seconds > 0 ? wall + a.seconds : 0;
      b.by = who;
      b.reason = a.reason;
      bans_.Add(b);
      o.bans_changed = true;
      const std::string until = b.until == 0 ? "for good" : "until " + UtcTime(b.until);
      closed = registry_.Kick(-1, a.user, "banned " + until + " " + why,
                              "Server: you are banned " + until + (a.reason.empty() ? "" : ": " + a.reason),
                              now_());
      extra = ",\"until\":" + (b.until == 0 ? std::string("null") : JsonString(UtcTime(b.until)));
      break;
    }
    case Kind::kUnban:
      o.bans_changed = bans_.Lift(a.user);
      extra = std::string(",\"lifted\":") + (o.bans_changed ? "true" : "false");
      break;
    case Kind::kMute:
    case Kind::kUnmute:
      if (here) {
        if (a.kind == Kind::kMute)
          mutes_[account] = a.seconds > 0 ? wall + a.seconds : 0;
        else
          mutes_.erase(account);
        // Every node holds a mute by user ID: the pilot may come back through another one.
        if (a.id >= 0) {
          o.shared.id = -1;
          o.shared.user = account;
          o.share = true;
        }
      }
      extra = std::string(",\"muted_here\":") + (here ? JsonString(account) : "null");
      break;
    case Kind::kReloadAccounts:  // the node's to do: it reads a file
      o.json = Error(&o, 500, "accounts are not reloaded here");
      return o;
  }
  // Alone, a pilot not here is nowhere: say so rather than report a kick of nobody.
  const bool by_pilot =
      a.kind == Kind::kKick || (a.kind != Kind::kBan && a.kind != Kind::kUnban && a.id >= 0);
  if (!clustered_ && by_pilot && (a.kind == Kind::kKick ? closed.empty() : !here)) {
    o.json = Error(&o, 404,
                   a.id >= 0 ? "no pilot " + std::to_string(a.id) + " is logged in"
                             : "no pilot of user " + a.user + " is logged in");
    o.log.clear();
    o.share = false;
    return o;
  }
  if (bans_.Expire(wall)) o.bans_changed = true;
  for (auto it = mutes_.begin(); it != mutes_.end();) {
    it = it->second != 0 && wall >= it->second ? mutes_.erase(it) : std::next(it);
  }
  ++counters_.actions;
  o.log = "admin " + who + ": " + Describe(a) + (closed.empty() ? "" : "; closed " + Names(closed));
  o.json = std::string("{\"ok\":true,\"action\":") + JsonString(ActionName(a.kind)) +
           ",\"closed\":" + Names(closed) + extra +
           ",\"passed_to_other_nodes\":" + (clustered_ && o.share ? "true" : "false") + "}";
  return o;
}

std::string Operator::BansJson() {
  bans_.Expire(wall_());
  std::string s = "{\"bans\":[";
  bool first = true;
  for (const auto &entry : bans_.all()) {
    const Ban &b = entry.second;
    s += first ? "\n" : ",\n";
    first = false;
    s += "{\"user\":" + JsonString(b.user) +
         ",\"until\":" + (b.until == 0 ? std::string("null") : JsonString(UtcTime(b.until))) +
         ",\"given\":" + JsonString(UtcTime(b.given)) + ",\"by\":" + JsonString(b.by) +
         ",\"reason\":" + JsonString(b.reason) + "}";
  }
  return s + "]}";
}

std::string Operator::PilotsJson() const {
  std::string s = "{\"pilots\":[";
  bool first = true;
  registry_.ForEachPilot([&](const Client &c) {
    s += first ? "\n" : ",\n";
    first = false;
    s += "{\"id\":" + std::to_string(c.id) + ",\"here\":" + (c.remote ? "false" : "true");
    if (!c.remote) {
      s += ",\"user\":" + JsonString(c.account) + ",\"address\":" + JsonString(c.peer.ToString()) +
           ",\"muted\":" + (Muted(c.account) ? "true" : "false");
    }
    s += ",\"callsign\":" + JsonString(c.callsign) + ",\"observer\":" + (c.observer ? "true" : "false") +
         ",\"in_view\":" + (c.in_view ? "true" : "false") + "}";
  });
  return s + "]}";
}

}  // namespace skytether
