#pragma once
// A cluster node: this server's registry joined to the other nodes' through Redis. It tells the
// others about its own pilots (a full list about once a second, changes at once), sends each node
// the positions of the pilots that node holds, a few milliseconds of them a message, listens to theirs,
// and keeps the uniqueIDs of its pilots reserved under keys that expire unless refreshed. Everything goes through the RedisLink on the
// server's event loop; while Redis is away the node serves its own pilots alone. It attaches to
// the relay as its RelayWing.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cluster/redis_link.h"
#include "cluster/wire.h"
#include "core/operator.h"
#include "core/registry.h"
#include "core/status.h"
#include "net/server.h"

namespace skytether {

struct ClusterOptions {
  std::string redis;     // "HOST:PORT" or "unix:PATH"
  std::string password;  // Redis AUTH; empty: none
  std::string prefix = "skytether";
  std::string name;                // this node's name in logs and in the others' logs
  double presence_interval = 1.0;  // full list of the node's pilots, and key refreshes
  // A node not heard from this long has left: longer than a loaded machine keeps a node silent,
  // so a node that is only slow keeps its pilots in view (and their slots as they are).
  double node_timeout = 10.0;
  double key_ttl = 12.0;  // node and uniqueID keys expire this long after their refresh (past node_timeout)
  // Other nodes taken at once; presences of any more are dropped and counted, so names made up
  // on Redis cost a node nothing past this many.
  std::size_t max_nodes = 64;
  // A remote position older than this (since it reached its node) is not relayed: a node behind
  // sends fresh reports a little late rather than all of them ever later. 0: any age.
  double max_report_age = 0.1;
  // Under the change rule a position goes to another node only when its recipients are due it at
  // some step; one of a pilot the node holds goes at least this often all the same, so that a slot
  // given there meanwhile gets its first report soon.
  double position_refresh = 0.2;
  // Positions for another node wait this long for more to join them in one message (or until
  // position_batch of them wait): each message costs Redis and both nodes a wake-up.
  double position_wait = 0.002;
  std::size_t position_batch = 64;
  RedisLinkOptions link;           // address, password and probe channel are filled in
};

// What the node has done, for logs and a status reader on another thread.
struct ClusterCounters {
  std::atomic<std::uint64_t> positions_out{0};  // local positions published (once per node they went to)
  std::atomic<std::uint64_t> positions_in{0};   // remote positions received
  std::atomic<std::uint64_t> positions_stale{0};  // ... of which too old to relay
  std::atomic<std::uint64_t> presence_out{0}, presence_in{0};
  std::atomic<std::uint64_t> chat_out{0}, chat_in{0};
  std::atomic<std::uint64_t> refused{0};  // messages from Redis that did not read as ours
  std::atomic<std::uint64_t> nodes_refused{0};  // presences of nodes past max_nodes
  std::atomic<std::uint64_t> nodes{0};    // other nodes heard from now
  std::atomic<std::uint64_t> remote_pilots{0};
};

class ClusterNode : public RelayWing {
 public:
  // relay carries out what the registry asks and relays the other nodes' positions.
  ClusterNode(asio::io_context &io, ClusterOptions options, Registry &registry, Server &relay);
  ~ClusterNode() override;

  void Start();
  // Tells the others this node is going and gives its uniqueIDs back (as far as Redis takes it
  // before the process ends; the keys expire anyway).
  void Stop();

  // A position of a local pilot the registry accepted, as it came from the pilot, and when it
  // reached this node (microseconds since 1970).
  void Position(int id, std::string_view datagram, std::int64_t arrival_us) override;
  // Carries out what the registry asked of the cluster (claims, changes, chat, subscriptions).
  void TakeEvents() override;
  // The cluster's figures, for the status feed and the metrics; the other nodes' pilots named
  // by their node's name.
  void AddStatus(StatusSnapshot *s) const override;

  // Passes an operator's action to the other nodes; by is named with this node. Says which
  // nodes get it and which, known to be gone (or every one, when Redis is away), do not.
  AdminReach ShareAdmin(const AdminAction &a);
  // An action another node passed on, to carry out here.
  std::function<void(const AdminAction &)> on_admin;

  const std::string &node_id() const { return node_; }
  // One line of every counter, for the log.
  std::string CountersLine() const;
  const ClusterCounters &counters() const { return counters_; }
  const RedisCounters &redis_counters() const { return link_.counters(); }

 private:
  struct Peer {
    std::string name;
    double last_heard = 0;
    std::set<int> pilots;
    std::unordered_set<int> watching;  // this node's pilots it holds: their positions go to it
    std::string channel;               // its positions channel
    std::string batch;                 // positions for it not yet published
    std::uint64_t batched = 0;         // ... how many
  };

  void OnState(bool up, const std::string &why);
  void OnMessage(std::string_view channel, std::string_view payload);
  void OnPresence(const Presence &p);
  void OnTimer();
  void ArmTimer();
  void PublishSnapshot();
  void RefreshKeys();
  void Claim(ConnId conn, int id);
  // When the local pilot with this uniqueID logged in (microseconds since 1970).
  std::int64_t LoginTime(int id);
  void DropPeer(const std::string &node, const std::string &why);
  // Publishes the positions batched for each node.
  void FlushPositions();
  void OnPositions(std::string_view batch);
  void Log(const std::string &line);

  ClusterOptions options_;
  ClusterNames names_;
  std::string node_;  // this run's identity
  Registry &registry_;
  Server &relay_;
  RedisLink link_;
  asio::steady_timer timer_;
  asio::steady_timer flush_;  // publishes the positions batched
  double next_presence_ = 0;
  double last_timer_ = 0;  // when the timer last ran
  bool stopped_ = false;
  std::map<std::string, Peer> peers_;
  std::set<std::string> gone_;  // names of nodes that left and have not come back (at most max_nodes)
  std::unordered_map<int, std::int64_t> logins_;  // local pilots' login times, for their claims
  Presence changes_;              // changes not yet published
  std::string positions_channel_;  // where the others send this node's positions
  std::string rule_;               // RuleDigest of this node's relay rates
  std::set<int> watched_;          // the other nodes' pilots held here
  // When each local pilot's position last went to another node (microseconds since 1970).
  std::unordered_map<int, std::int64_t> shared_at_;
  bool flush_armed_ = false;
  std::vector<Relay> relays_;  // scratch: the relays of one remote position
  ClusterCounters counters_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// A fresh node identity: 16 hexadecimal digits from the system's entropy source.
std::string NewNodeId();

}  // namespace skytether
