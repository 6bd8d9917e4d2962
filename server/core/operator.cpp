#include "core/operator.h"

#include <algorithm>

#include "core/status.h"

namespace skytether {
namespace {

std::string Names(const std::vector<std::string> &names) {
  std::string s = "[";
  for (const std::string &n : names) s += (s.size() > 1 ? "," : "") + JsonString(n);
  return s + "]";
}

// "addresses":[..],"ids":[..]: what a ban or mute holds besides its user ID.
std::string HeldFields(const Ban &b) {
  std::string s = "\"addresses\":[";
  for (std::size_t i = 0; i < b.addresses.size(); ++i) s += (i ? "," : "") + JsonString(b.addresses[i].ToString());
  s += "],\"ids\":[";
  for (std::size_t i = 0; i < b.ids.size(); ++i) s += (i ? "," : "") + std::to_string(b.ids[i]);
  return s + "]";
}

std::string HeldJson(const Ban &b) {
  return "{\"user\":" + JsonString(b.user) + "," + HeldFields(b) + "}";
}

std::string Error(AdminOutcome *o, int status, const std::string &message) {
  o->status = status;
  return "{\"ok\":false,\"error\":" + JsonString(message) + "}";
}

}  // namespace

Operator::Operator(Registry &registry, AdminCounters &counters, Clock wall, Clock now, bool clustered, bool open)
    : registry_(registry),
      counters_(counters),
      wall_(std::move(wall)),
      now_(std::move(now)),
      clustered_(clustered),
      open_(open),
      bans_(open),
      mutes_(open) {}

std::string Operator::LoginRefusal(std::string_view user, const IpAddr &address, int id) const {
  const Ban *b = bans_.Find(user, &address, id, wall_());
  if (b == nullptr) return std::string();
  ++counters_.banned_logins;
  std::string why = b->until == 0 ? "banned" : "banned until " + UtcTime(b->until);
  if (!b->reason.empty()) why += " (" + b->reason + ")";
  return why;
}

bool Operator::Muted(std::string_view user, const IpAddr &address, int id) const {
  return mutes_.Find(user, &address, id, wall_()) != nullptr;
}

void Operator::Holds(const std::string &key, int id, Ban *into) const {
  registry_.ForEachPilot([&](const Client &c) {
    if (c.remote || (FoldUser(c.account) != key && c.id != id)) return;
    if (std::find(into->addresses.begin(), into->addresses.end(), c.peer) == into->addresses.end())
      into->addresses.push_back(c.peer);
    if (std::find(into->ids.begin(), into->ids.end(), c.id) == into->ids.end()) into->ids.push_back(c.id);
  });
}

AdminOutcome Operator::Apply(const AdminAction &a, bool from_cluster, const AdminShare &share) {
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
      // Without accounts a user ID is whatever a pilot types: the ban holds what tells the
      // banned sessions apart too, their addresses and uniqueIDs.
      const std::string key = bans_.Key(a.user);
      if (open_) Holds(key, -1, &b);
      const std::string until = b.until == 0 ? "for good" : "until " + UtcTime(b.until);
      closed = registry_.KickIf(
          [&](const Client &c) {
            return bans_.Key(c.account) == key ||
                   std::find(b.addresses.begin(), b.addresses.end(), c.peer) != b.addresses.end() ||
                   std::find(b.ids.begin(), b.ids.end(), c.id) != b.ids.end();
          },
          "banned " + until + " " + why,
          "Server: you are banned " + until + (a.reason.empty() ? "" : ": " + a.reason), now_());
      extra = ",\"until\":" + (b.until == 0 ? std::string("null") : JsonString(UtcTime(b.until))) +
              ",\"banned\":" + HeldJson(b);
      bans_.Add(b);
      o.bans_changed = o.ban_added = true;
      o.ban = std::move(b);
      break;
    }
    case Kind::kUnban:
      o.bans_changed = bans_.Lift(a.user);
      extra = std::string(",\"lifted\":") + (o.bans_changed ? "true" : "false");
      break;
    case Kind::kMute:
    case Kind::kUnmute:
      if (here) {
        if (a.kind == Kind::kMute) {
          Ban m;
          m.user = account;
          m.until = a.seconds > 0 ? wall + a.seconds : 0;
          if (open_) Holds(mutes_.Key(account), a.id, &m);
          extra = ",\"muted\":" + HeldJson(m);
          mutes_.Add(std::move(m));
        } else {
          mutes_.Lift(account);
        }
        // Every node holds a mute by user ID: the pilot may come back through another one.
        if (a.id >= 0) {
          o.shared.id = -1;
          o.shared.user = account;
          o.share = true;
        }
      }
      extra += std::string(",\"muted_here\":") + (here ? JsonString(account) : "null");
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
  mutes_.Expire(wall);
  ++counters_.actions;
  o.log = "admin " + who + ": " + Describe(a) + (closed.empty() ? "" : "; closed " + Names(closed));
  // A node that is down, or cut off from Redis, does not learn of it: the answer says which.
  AdminReach reach;
  if (clustered_ && o.share && share) reach = share(o.shared);
  o.json = std::string("{\"ok\":true,\"action\":") + JsonString(ActionName(a.kind)) +
           ",\"closed\":" + Names(closed) + extra +
           ",\"passed_to_other_nodes\":" + (reach.passed ? "true" : "false");
  if (clustered_ && o.share) o.json += ",\"nodes\":" + Names(reach.nodes) + ",\"not_reached\":" + Names(reach.missed);
  o.json += "}";
  if (clustered_ && o.share && !reach.passed) o.log += "; not passed to the other nodes (Redis is away)";
  return o;
}

std::string BansJson(const BanList &bans, std::string_view after, std::size_t limit) {
  const std::vector<const Ban *> page = bans.Page(after, limit + 1);
  std::string s = "{\"bans\":[";
  for (std::size_t i = 0; i < page.size() && i < limit; ++i) {
    const Ban &b = *page[i];
    s += i == 0 ? "\n" : ",\n";
    s += "{\"user\":" + JsonString(b.user) +
         ",\"until\":" + (b.until == 0 ? std::string("null") : JsonString(UtcTime(b.until))) +
         ",\"given\":" + JsonString(UtcTime(b.given)) + ",\"by\":" + JsonString(b.by) +
         ",\"reason\":" + JsonString(b.reason) + "," + HeldFields(b) + "}";
  }
  // One more than asked for tells there are more: the next page starts after the last key here.
  s += "],\"next\":" + (page.size() > limit ? JsonString(bans.Key(page[limit - 1]->user)) : std::string("null"));
  return s + "}";
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
           ",\"muted\":" + (Muted(c.account, c.peer, c.id) ? "true" : "false");
    }
    s += ",\"callsign\":" + JsonString(c.callsign) + ",\"observer\":" + (c.observer ? "true" : "false") +
         ",\"in_view\":" + (c.in_view ? "true" : "false") + "}";
  });
  return s + "]}";
}

}  // namespace skytether
