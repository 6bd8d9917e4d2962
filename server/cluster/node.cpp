#include "cluster/node.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <charconv>
#include <cstdio>

#include "net/clock.h"
#include "net/log.h"

namespace skytether {
namespace {

// Takes (or keeps) each uniqueID key for this node, as "NODE LOGIN": the key goes to the pilot
// that logged in first (LOGIN, microseconds since 1970; a tie to the smaller node identity), not to
// the node that writes first, which after Redis restarted empty is a matter of luck. Returns the
// 1-based places of the keys another node keeps. ARGV: node, time to live (ms), then the login
// time of each key. One call refreshes every pilot of the node.
const char kTakeScript[] =
    "local lost = {}\n"
    "for i, k in ipairs(KEYS) do\n"
    "  local mine = ARGV[2 + i]\n"
    "  local owner = redis.call('GET', k)\n"
    "  local take = owner == false\n"
    "  if not take then\n"
    "    local node, since = string.match(owner, '^(%S+) (%d+)$')\n"
    "    if node == nil then node, since = owner, '0' end\n"
    "    take = node == ARGV[1] or tonumber(mine) < tonumber(since) or\n"
    "           (tonumber(mine) == tonumber(since) and ARGV[1] < node)\n"
    "  end\n"
    "  if take then\n"
    "    redis.call('SET', k, ARGV[1] .. ' ' .. mine, 'PX', ARGV[2])\n"
    "  else\n"
    "    lost[#lost + 1] = i\n"
    "  end\n"
    "end\n"
    "return lost\n";

// Gives back the keys this node holds.
const char kReleaseScript[] =
    "for i, k in ipairs(KEYS) do\n"
    "  local owner = redis.call('GET', k)\n"
    "  if owner and string.match(owner, '^%S+') == ARGV[1] then redis.call('DEL', k) end\n"
    "end\n"
    "return 0\n";

}  // namespace

std::string NewNodeId() {
  unsigned char bytes[8] = {};
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // No entropy source: the clock and the process make it unique enough among nodes.
    auto t = std::chrono::steady_clock::now().time_since_epoch().count() ^ (static_cast<long long>(getpid()) << 40);
    for (unsigned char &b : bytes) {
      b = static_cast<unsigned char>(t);
      t >>= 8;
    }
  }
  char hex[17];
  for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  return std::string(hex, 16);
}

ClusterNode::ClusterNode(asio::io_context &io, ClusterOptions options, Registry &registry, Server &relay)
    : options_(std::move(options)),
      node_(NewNodeId()),
      registry_(registry),
      relay_(relay),
      link_(io,
            [this] {
              RedisLinkOptions l = options_.link;
              l.address = options_.redis;
              l.password = options_.password;
              l.probe_channel = ClusterNames{options_.prefix}.Probe(node_);
              return l;
            }()),
      timer_(io),
      flush_(io) {
  names_.prefix = options_.prefix;
  positions_channel_ = names_.Positions(node_);
  const RelayRates &rates = registry_.options().relay_rates;
  rule_ = RuleDigest(rates.Describe(), rates.on && rates.rule == RelayRates::Rule::kChanges);
  changes_.kind = Presence::Kind::kChanges;
  changes_.node = node_;
  changes_.name = options_.name;
  link_.on_state = [this](bool up, const std::string &why) { OnState(up, why); };
  link_.on_message = [this](std::string_view channel, std::string_view payload) {
    OnMessage(channel, payload);
  };
  link_.on_batch_end = [this] { relay_.FlushRelays(); };
  link_.Subscribe(names_.Presence());
  link_.Subscribe(names_.Chat());
  link_.Subscribe(names_.Admin());
  link_.Subscribe(positions_channel_, true);
}

ClusterNode::~ClusterNode() { *alive_ = false; }

void ClusterNode::Log(const std::string &line) {
  LogLine(line);
}

void ClusterNode::Start() {
  Log("cluster node " + options_.name + " (" + node_ + "), Redis at " + options_.redis + ", prefix " +
      options_.prefix);
  link_.Start();
  ArmTimer();
}

void ClusterNode::Stop() {
  if (stopped_) return;
  stopped_ = true;
  timer_.cancel();
  flush_.cancel();
  if (link_.up()) {
    Presence bye;
    bye.kind = Presence::Kind::kBye;
    bye.node = node_;
    bye.name = options_.name;
    link_.Publish(names_.Presence(), EncodePresence(bye));
    std::vector<std::string> args{"EVAL", kReleaseScript, "0"};
    for (const PilotState &p : registry_.LocalPilots()) args.push_back(names_.IdKey(p.id));
    args[2] = std::to_string(args.size() - 3);
    args.push_back(node_);
    link_.Command(args, [](const RedisReply *) {});
    link_.Command({"DEL", names_.NodeKey(node_)}, [](const RedisReply *) {});
  }
  link_.Stop();
}

void ClusterNode::AddStatus(StatusSnapshot *s) const {
  const ClusterCounters &c = counters_;
  const RedisCounters &r = link_.counters();
  s->clustered = true;
  for (StatusPilot &p : s->pilots) {
    if (p.local) continue;
    auto peer = peers_.find(p.node);
    if (peer != peers_.end()) p.node = peer->second.name;
  }
  s->redis_up = r.up;
  s->redis_links_lost = r.links_lost;
  s->redis_publishes = r.published;
  s->redis_publishes_dropped = r.publish_dropped;
  s->redis_messages = r.messages;
  s->cluster_nodes = c.nodes;
  s->positions_out_cluster = c.positions_out;
  s->positions_in_cluster = c.positions_in;
  s->positions_stale_cluster = c.positions_stale;
  s->presence_out = c.presence_out;
  s->presence_in = c.presence_in;
  s->chat_out = c.chat_out;
  s->chat_in = c.chat_in;
  s->cluster_refused = c.refused;
  s->cluster_nodes_refused = c.nodes_refused;
}

std::string ClusterNode::CountersLine() const {
  const ClusterCounters &c = counters_;
  const RedisCounters &r = link_.counters();
  char line[512];
  std::snprintf(
      line, sizeof line,
      "cluster counters: positions out %llu in %llu (stale %llu, shed %llu), presence out %llu in %llu, chat out %llu "
      "in %llu, "
      "refused %llu, nodes %llu (refused %llu), remote pilots %llu; Redis %s, publishes %llu dropped %llu, "
      "messages "
      "%llu, commands %llu, links lost %llu",
      (unsigned long long)c.positions_out, (unsigned long long)c.positions_in,
      (unsigned long long)c.positions_stale, (unsigned long long)r.shed, (unsigned long long)c.presence_out,
      (unsigned long long)c.presence_in, (unsigned long long)c.chat_out, (unsigned long long)c.chat_in,
      (unsigned long long)c.refused, (unsigned long long)c.nodes, (unsigned long long)c.nodes_refused,
      (unsigned long long)c.remote_pilots, r.up ? "up" : "down", (unsigned long long)r.published,
      (unsigned long long)r.publish_dropped, (unsigned long long)r.messages, (unsigned long long)r.commands,
      (unsigned long long)r.links_lost);
  return line;
}

void ClusterNode::ArmTimer() {
  timer_.expires_after(std::chrono::milliseconds(250));
  std::weak_ptr<bool> alive = alive_;
  timer_.async_wait([this, alive](const asio::error_code &ec) {
    if (ec || alive.expired() || stopped_) return;
    OnTimer();
    ArmTimer();
  });
}

void ClusterNode::OnTimer() {
  const double now = Now();
  // Time this process did not run is no silence of the other nodes: their presence is waiting,
  // unread, in the socket.
  const double stalled = last_timer_ > 0 ? now - last_timer_ - 0.25 : 0;
  last_timer_ = now;
  if (stalled > 0.25) {
    for (auto &entry : peers_) entry.second.last_heard += stalled;
  }
  if (link_.up() && now >= next_presence_) {
    next_presence_ = now + options_.presence_interval;
    PublishSnapshot();
    RefreshKeys();
  }
  std::vector<std::string> silent;
  for (const auto &entry : peers_) {
    if (now - entry.second.last_heard > options_.node_timeout) silent.push_back(entry.first);
  }
  for (const std::string &node : silent) {
    DropPeer(node, "not heard from for " + std::to_string(static_cast<int>(options_.node_timeout)) + " s");
  }
}

void ClusterNode::OnState(bool up, const std::string &why) {
  if (!up) {
    Log("cluster: " + why + "; serving this node's pilots alone until Redis is back");
    return;
  }
  Log("cluster: " + why);
  next_presence_ = 0;  // announce at once: the others may have dropped us meanwhile
  OnTimer();
}

void ClusterNode::PublishSnapshot() {
  Presence snap;
  snap.kind = Presence::Kind::kSnapshot;
  snap.node = node_;
  snap.name = options_.name;
  snap.pilots = registry_.LocalPilots();
  snap.watch.assign(watched_.begin(), watched_.end());
  if (link_.Publish(names_.Presence(), EncodePresence(snap))) ++counters_.presence_out;
  link_.Command(
      {"SET", names_.NodeKey(node_), options_.name, "PX", std::to_string(long(options_.key_ttl * 1000))},
      [](const RedisReply *) {});
}

void ClusterNode::RefreshKeys() {
  std::vector<PilotState> local = registry_.LocalPilots();
  if (local.empty()) return;
  std::vector<std::string> args{"EVAL", kTakeScript, std::to_string(local.size())};
  std::vector<int> ids;
  for (const PilotState &p : local) {
    args.push_back(names_.IdKey(p.id));
    ids.push_back(p.id);
  }
  args.push_back(node_);
  args.push_back(std::to_string(long(options_.key_ttl * 1000)));
  for (int id : ids) args.push_back(std::to_string(LoginTime(id)));
  std::weak_ptr<bool> alive = alive_;
  link_.Command(args, [this, alive, ids](const RedisReply *r) {
    if (alive.expired() || r == nullptr || r->type != RedisReply::Type::kArray) return;
    // Two nodes took the same uniqueID while Redis was away: the pilot who logged in first keeps it.
    for (const RedisReply &e : r->elements) {
      long long at = e.integer;
      if (at >= 1 && at <= static_cast<long long>(ids.size())) {
        registry_.Evict(ids[at - 1], "uniqueID in use on another node");
      }
    }
    relay_.Drain();
  });
}

std::int64_t ClusterNode::LoginTime(int id) {
  auto it = logins_.find(id);
  if (it == logins_.end()) it = logins_.emplace(id, WallMicros()).first;
  return it->second;
}

void ClusterNode::Claim(ConnId conn, int id) {
  // The claim carries when the login came: the first pilot keeps a uniqueID, whichever node
  // writes its key first once Redis is back.
  const std::int64_t since = WallMicros();
  auto grant = [this, conn, id, since](bool granted) {
    if (granted) logins_[id] = since;
    registry_.ClaimResult(conn, id, granted, Now());
    if (!registry_.IsLoggedIn(id) || registry_.IdOf(conn) != id) logins_.erase(id);
  };
  std::weak_ptr<bool> alive = alive_;
  bool asked =
      link_.Command({"EVAL", kTakeScript, "1", names_.IdKey(id), node_,
                     std::to_string(long(options_.key_ttl * 1000)), std::to_string(since)},
                    [this, alive, grant](const RedisReply *r) {
                      if (alive.expired()) return;
                      // Without an answer the node decides alone, as a standalone server;
                      // the next refresh finds a uniqueID taken twice meanwhile.
                      grant(!(r != nullptr && r->type == RedisReply::Type::kArray && !r->elements.empty()));
                      relay_.Drain();
                    });
  if (!asked) grant(true);
}

void ClusterNode::Position(int id, std::string_view datagram, std::int64_t arrival_us) {
  bool wanted = false;
  for (const auto &entry : peers_) {
    if (entry.second.watching.count(id) != 0) {
      wanted = true;
      break;
    }
  }
  if (!wanted) return;  // nobody holds the pilot on another node
  // Under the change rule only what some step's recipients are due goes, and what a pilot held
  // elsewhere sends now and then (a slot just given there takes it as its first report).
  const int steps = rule_ == "-" ? -1 : registry_.steps_word();
  std::int64_t &shared = shared_at_[id];
  if (steps == 0 && arrival_us - shared < static_cast<std::int64_t>(options_.position_refresh * 1e6)) return;
  shared = arrival_us;
  SharedPosition p;
  p.id = id;
  p.arrival_us = arrival_us;
  p.steps = steps;
  p.datagram = datagram;
  bool full = false;
  for (auto &entry : peers_) {
    Peer &peer = entry.second;
    if (peer.watching.count(id) == 0) continue;
    AppendPosition(&peer.batch, node_, rule_, p);
    full = full || ++peer.batched >= options_.position_batch;
  }
  // What follows within position_wait joins the batch.
  if (full) return FlushPositions();
  if (flush_armed_) return;
  flush_armed_ = true;
  flush_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(options_.position_wait)));
  std::weak_ptr<bool> alive = alive_;
  flush_.async_wait([this, alive](const asio::error_code &ec) {
    if (!ec && !alive.expired()) FlushPositions();
  });
}

void ClusterNode::FlushPositions() {
  if (flush_armed_) flush_.cancel();
  flush_armed_ = false;
  for (auto &entry : peers_) {
    Peer &peer = entry.second;
    if (peer.batch.empty()) continue;
    if (link_.Publish(peer.channel, peer.batch, true)) counters_.positions_out += peer.batched;
    peer.batch.clear();
    peer.batched = 0;
  }
}

void ClusterNode::TakeEvents() {
  std::vector<ClusterEvent> events;
  while (!registry_.cluster_events().empty()) {
    events.clear();
    events.swap(registry_.cluster_events());
    for (ClusterEvent &e : events) {
      switch (e.kind) {
        case ClusterEvent::Kind::kClaim: Claim(e.conn, e.id); break;
        case ClusterEvent::Kind::kRelease:
          if (!registry_.IsLoggedIn(e.id)) logins_.erase(e.id);
          link_.Command({"EVAL", kReleaseScript, "1", names_.IdKey(e.id), node_}, [](const RedisReply *) {});
          break;
        case ClusterEvent::Kind::kChanged:
        case ClusterEvent::Kind::kGone: {
          if (e.kind == ClusterEvent::Kind::kGone) shared_at_.erase(e.id);
          auto &ps = changes_.pilots;
          for (std::size_t i = 0; i < ps.size(); ++i) {
            if (ps[i].id == e.id) {
              ps.erase(ps.begin() + static_cast<long>(i));
              break;
            }
          }
          if (e.kind == ClusterEvent::Kind::kChanged) ps.push_back(e.state);
          else changes_.gone.push_back(e.id);
          break;
        }
        case ClusterEvent::Kind::kChat:
          if (link_.Publish(names_.Chat(), EncodeChat(node_, e.text))) ++counters_.chat_out;
          break;
        case ClusterEvent::Kind::kWatch:
        case ClusterEvent::Kind::kUnwatch: {
          // Told with the next change: the pilot's node sends its positions only while it is held.
          const bool watch = e.kind == ClusterEvent::Kind::kWatch;
          if (watch) watched_.insert(e.id);
          else watched_.erase(e.id);
          std::vector<int> &add = watch ? changes_.watch : changes_.unwatch;
          std::vector<int> &drop = watch ? changes_.unwatch : changes_.watch;
          drop.erase(std::remove(drop.begin(), drop.end(), e.id), drop.end());
          if (std::find(add.begin(), add.end(), e.id) == add.end()) add.push_back(e.id);
          break;
        }
      }
    }
  }
  if (changes_.pilots.empty() && changes_.gone.empty() && changes_.watch.empty() && changes_.unwatch.empty())
    return;
  // While Redis is away changes are not kept: the first list after it returns says it all.
  if (link_.Publish(names_.Presence(), EncodePresence(changes_))) ++counters_.presence_out;
  changes_.pilots.clear();
  changes_.gone.clear();
  changes_.watch.clear();
  changes_.unwatch.clear();
}

void ClusterNode::OnPositions(std::string_view batch) {
  std::string_view node, rule, rest;
  if (!DecodePositionsHead(batch, &node, &rule, &rest) || peers_.count(std::string(node)) == 0) {
    ++counters_.refused;
    return;
  }
  // The sender's word on each position counts only under the same steps as ours.
  const bool weighed = rule == rule_ && rule_ != "-";
  const std::int64_t now_us = WallMicros();
  const double now = Now();
  SharedPosition p;
  while (NextPosition(&rest, &p)) {
    ++counters_.positions_in;
    const double age = 1e-6 * static_cast<double>(now_us - p.arrival_us);
    if (options_.max_report_age > 0 && age > options_.max_report_age) {
      ++counters_.positions_stale;
      registry_.CountDrop(Drop::kStale);
      continue;
    }
    relays_.clear();
    std::string_view values;
    // Paced by when the pilot's node got it, not by how Redis bunched it on the way.
    const double arrived = now - std::clamp(age, 0.0, 1.0);
    if (registry_.OnRemoteDatagram(p.id, p.datagram, arrived, &relays_, &values, weighed ? p.steps : -1))
      relay_.RelayCopy(values, relays_);
  }
  if (!rest.empty()) ++counters_.refused;  // cut short or broken: what came before it stands
}

void ClusterNode::OnMessage(std::string_view channel, std::string_view payload) {
  if (channel == positions_channel_) return OnPositions(payload);
  if (channel == names_.Presence()) {
    Presence p;
    if (!DecodePresence(payload, &p)) {
      ++counters_.refused;
      return;
    }
    if (p.node == node_) return;  // our own, back from Redis
    ++counters_.presence_in;
    OnPresence(p);
    return;
  }
  if (channel == names_.Chat()) {
    std::string node, text;
    if (!DecodeChat(payload, &node, &text)) {
      ++counters_.refused;
      return;
    }
    if (node == node_) return;  // our pilots had it already
    ++counters_.chat_in;
    registry_.RemoteChat(text);
    relay_.Drain();
    return;
  }
  if (channel == names_.Admin()) {
    std::string node;
    AdminAction a;
    if (!DecodeAdmin(payload, &node, &a)) {
      ++counters_.refused;
      return;
    }
    if (node == node_) return;  // done here before it was passed on
    if (on_admin) on_admin(a);
  }
}

AdminReach ClusterNode::ShareAdmin(const AdminAction &a) {
  AdminAction named = a;
  named.by = options_.name + "/" + a.by;
  AdminReach reach;
  reach.passed = link_.Publish(names_.Admin(), EncodeAdmin(node_, named));
  if (!reach.passed) Log("cluster: Redis is away; " + Describe(a) + " holds on this node only");
  for (const auto &p : peers_) (reach.passed ? reach.nodes : reach.missed).push_back(p.second.name);
  reach.missed.insert(reach.missed.end(), gone_.begin(), gone_.end());
  return reach;
}

void ClusterNode::OnPresence(const Presence &p) {
  auto found = peers_.find(p.node);
  if (p.kind == Presence::Kind::kBye) {
    if (found != peers_.end()) DropPeer(p.node, "stopped");
    return;
  }
  if (found == peers_.end()) {
    if (peers_.size() >= options_.max_nodes) {
      ++counters_.nodes_refused;
      relay_.Note(Event::kClusterNode, "cluster: presence of node " + p.name + " (" + p.node + ") dropped: " +
                                           std::to_string(peers_.size()) + " other nodes already");
      return;
    }
    found = peers_.emplace(p.node, Peer()).first;
    gone_.erase(p.name);
    relay_.Note(Event::kClusterNode, "cluster: node " + p.name + " (" + p.node + ") joined");
    counters_.nodes = peers_.size();
  }
  Peer &peer = found->second;
  peer.name = p.name;
  peer.last_heard = Now();
  if (peer.channel.empty()) peer.channel = names_.Positions(p.node);
  // What it holds of ours: a pilot it takes up sends its next position at once.
  auto take_up = [this](int id) {
    auto at = shared_at_.find(id);
    if (at != shared_at_.end()) at->second = 0;
  };
  if (p.kind == Presence::Kind::kSnapshot) {
    std::unordered_set<int> watching(p.watch.begin(), p.watch.end());
    for (int id : watching) {
      if (peer.watching.count(id) == 0) take_up(id);
    }
    peer.watching.swap(watching);
  } else {
    for (int id : p.watch) {
      if (peer.watching.insert(id).second) take_up(id);
    }
    for (int id : p.unwatch) peer.watching.erase(id);
  }
  std::set<int> listed;
  for (const PilotState &ps : p.pilots) {
    if (registry_.UpdateRemote(p.node, ps)) listed.insert(ps.id);
  }
  if (p.kind == Presence::Kind::kSnapshot) {
    for (int id : peer.pilots) {
      if (listed.count(id) == 0) registry_.RemoveRemote(p.node, id, "left");
    }
    peer.pilots.swap(listed);
  } else {
    peer.pilots.insert(listed.begin(), listed.end());
    for (int id : p.gone) {
      registry_.RemoveRemote(p.node, id, "left");
      peer.pilots.erase(id);
    }
  }
  counters_.remote_pilots = registry_.remote_pilots();
  relay_.Drain();
}

void ClusterNode::DropPeer(const std::string &node, const std::string &why) {
  auto it = peers_.find(node);
  if (it == peers_.end()) return;
  relay_.Note(Event::kClusterNode, "cluster: node " + it->second.name + " (" + node + ") left: " + why);
  if (gone_.size() < options_.max_nodes) gone_.insert(it->second.name);
  registry_.RemoveNode(node, "node " + it->second.name + " left");
  peers_.erase(it);
  counters_.nodes = peers_.size();
  counters_.remote_pilots = registry_.remote_pilots();
  relay_.Drain();
}

}  // namespace skytether
