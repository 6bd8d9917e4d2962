#pragma once
// What the operator's window shows: a snapshot of the server taken on the relay thread and read,
// never changed, by the HTTP thread; the handoff between the two; and the snapshot's two texts,
// the JSON feed and the Prometheus metrics. Pure: no sockets, no clock (times come in the
// snapshot). The snapshot reads the registry; the registry knows nothing of it.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/counters.h"
#include "core/registry.h"

namespace skytether {

// Version of the feed's format: a field is only ever added within one version.
constexpr int kStatusFormat = 1;

// Time from a position's arrival in the socket to its reports leaving, in seconds.
class LatencyHistogram {
 public:
  static constexpr std::array<double, 11> kBounds = {0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025,
                                                     0.005,   0.01,   0.025,   0.05,   0.1};
  void Add(double seconds) {
    std::size_t b = 0;
    while (b < kBounds.size() && seconds > kBounds[b]) ++b;
    ++counts_[b];
    sum_ += seconds;
  }
  // counts()[i]: observations in (kBounds[i-1], kBounds[i]]; the last one past every bound.
  const std::array<std::uint64_t, kBounds.size() + 1> &counts() const { return counts_; }
  double sum() const { return sum_; }

 private:
  std::array<std::uint64_t, kBounds.size() + 1> counts_{};
  double sum_ = 0;
};

struct StatusPilot {
  int id = -1;                // the uniqueID: never shown, it is all a login needs on an open server
  std::uint64_t feed_id = 0;  // what the feed shows instead (FeedId)
  std::string callsign;  // as relayed; empty: none yet
  std::string model;     // relative model path as relayed; empty: none yet
  std::string node;      // the name of the node it is connected to
  bool local = true;     // connected to this node
  bool observer = false;
  bool in_view = false;
  bool has_position = false;  // latitude and longitude are known
  double latitude = 0, longitude = 0;
  bool has_attitude = false;  // elevation and heading are known (from a position report)
  double elevation = 0;       // meters above sea level
  double heading = 0;         // degrees true
  double age = -1;            // seconds since its last report; < 0 unknown
};

struct StatusSnapshot {
  std::string version;
  std::string node;    // this node's name
  double started = 0;  // process start, seconds since 1970
  double taken = 0;    // when the snapshot was taken, seconds since 1970
  bool clustered = false;
  std::vector<StatusPilot> pilots;  // local and remote, observers included
  // Relay figures, totals since start.
  std::uint64_t connections_pending = 0;
  std::uint64_t logins = 0, refused_logins = 0;
  std::uint64_t positions_in = 0;     // positions accepted from this node's pilots
  std::uint64_t reports_out = 0;      // report datagrams handed to the kernel
  std::uint64_t reports_refused = 0;  // ... and refused by it (socket buffer full, unreachable)
  std::uint64_t reports_held = 0;     // held back by the relay rates (a later report went instead)
  std::uint64_t reports_segmented = 0;  // of those out, sent several to a send (UDP_SEGMENT)
  std::array<std::uint64_t, kDropKinds> dropped{};
  std::uint64_t output_cap_cuts = 0;  // connections cut for not reading their notices
  std::uint64_t chat_lines = 0;       // chat lines delivered (each once, whatever its recipients)
  LatencyHistogram latency;
  // Cluster figures (clustered only).
  bool redis_up = false;
  std::uint64_t redis_links_lost = 0, redis_publishes = 0, redis_publishes_dropped = 0, redis_messages = 0;
  std::uint64_t cluster_nodes = 0;  // other nodes heard from now
  std::uint64_t positions_out_cluster = 0, positions_in_cluster = 0, positions_stale_cluster = 0;
  std::uint64_t presence_out = 0, presence_in = 0, chat_out = 0, chat_in = 0, cluster_refused = 0;
  std::uint64_t cluster_nodes_refused = 0;  // presences of nodes past the bound on nodes
};

// The process as the kernel sees it (read by the network layer, from /proc).
struct ProcessFigures {
  double cpu_seconds = 0;
  double resident_bytes = 0, virtual_bytes = 0;
  double open_fds = 0, max_fds = 0;
};

// The handoff between the relay thread (Publish) and the HTTP thread (Latest): one pointer
// swapped under a lock.
class StatusBoard {
 public:
  void Publish(std::shared_ptr<const StatusSnapshot> snapshot);
  std::shared_ptr<const StatusSnapshot> Latest() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const StatusSnapshot> latest_;
};

// Every logged-in client of the registry, local (on node `here`) and remote, as the feed shows it.
// `key` is this node's secret for the feed's ids (a cluster node's identity, which only the nodes
// know); a remote pilot's id is made with its own node's identity, so every node shows the same.
void StatusPilots(const Registry &registry, double now, const std::string &here, const std::string &key,
                  std::vector<StatusPilot> *out);

// The feed's id of a pilot: 48 bits of the MD5 of its node's key and its uniqueID. The same while
// the pilot keeps its uniqueID on that node; nothing leads back to the uniqueID without the key.
std::uint64_t FeedId(const std::string &key, int id);

// The model's display name: the file name of its path without ".acf".
std::string ModelDisplayName(const std::string &path);
// The feed: see README's "Status feed" for its format.
std::string StatusJson(const StatusSnapshot &s);
// Prometheus text exposition (version 0.0.4).
std::string MetricsText(const StatusSnapshot &s, const ProcessFigures &p);
// A JSON string literal of text; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string &text);

}  // namespace skytether
