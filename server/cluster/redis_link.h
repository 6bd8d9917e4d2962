#pragma once
// The node's link to Redis: four asynchronous connections (hiredis, inside the link) driven by the
// server's own io_context, so nothing on the relay path ever waits on Redis: commands and control
// publishes (heartbeats, presence, chat) on one, the bulk of positions on another, and subscriptions
// likewise split, so that heartbeats and presence never wait behind positions, in our buffers or in
// Redis's. Positions that could not reach Redis in time are shed before anything else waits. Whatever
// goes wrong (Redis stopped, restarted, unreachable, too slow) the link says so once, drops what it
// cannot send, and reconnects with back-off on its own.
#include <deque>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/asio.h"

namespace skytether {

// A reply to a command, as the link hands it on: a view of our own, valid during the callback
// only (its texts point into the reply the Redis client frees after it).
struct RedisReply {
  enum class Type { kString, kStatus, kError, kInteger, kNil, kArray };
  Type type = Type::kNil;
  std::string_view text;             // kString, kStatus, kError
  long long integer = 0;             // kInteger
  std::vector<RedisReply> elements;  // kArray
};

struct RedisLinkOptions {
  std::string address;   // "HOST:PORT" with HOST an IP address, or "unix:PATH"
  std::string password;  // sent with AUTH on both connections when not empty
  // A channel only this link listens to: its own heartbeat, which proves the subscription
  // connection alive.
  std::string probe_channel = "probe";
  double heartbeat = 1.0;              // seconds between heartbeats
  // A command unanswered or no heartbeat back this long: link lost. Longer than a loaded machine
  // keeps the relay thread from reading (measured with relay_bench at 95 % of a core).
  double link_timeout = 5.0;
  double backoff_min = 0.25;           // first wait before reconnecting, doubled per failure ...
  double backoff_max = 2.0;            // ... up to this
  double linger = 2.0;                 // seconds a channel stays subscribed after it is no longer wanted
  std::size_t max_pending = 4u << 20;  // bytes waiting for the socket before publishes are dropped
  // Bulk publishes (positions) are shed while the oldest one Redis has not answered is older than
  // this: whatever goes now would reach the other nodes too late to be relayed anyway.
  double shed_after = 0.1;
};

// Counters a status reader on another thread may read at any time.
struct RedisCounters {
  std::atomic<std::uint64_t> published{0};        // publishes handed to the connection
  std::atomic<std::uint64_t> publish_dropped{0};  // publishes dropped: link down or behind
  std::atomic<std::uint64_t> shed{0};             // ... of which bulk ones shed while Redis was behind
  std::atomic<std::uint64_t> messages{0};         // pub/sub messages received
  std::atomic<std::uint64_t> commands{0};         // other commands sent
  std::atomic<std::uint64_t> links_lost{0};       // times the link was lost
  std::atomic<bool> up{false};
};

class RedisLink {
 public:
  // reply is null when the link went down before the answer came.
  using Done = std::function<void(const RedisReply *reply)>;

  RedisLink(asio::io_context &io, RedisLinkOptions options);
  ~RedisLink();
  RedisLink(const RedisLink &) = delete;
  RedisLink &operator=(const RedisLink &) = delete;

  // The link came up (both connections ready, subscriptions made) or went down, with the reason.
  std::function<void(bool up, const std::string &why)> on_state;
  // A pub/sub message; the views live during the call only.
  std::function<void(std::string_view channel, std::string_view payload)> on_message;
  // After the messages of one read: what on_message queued can go out now.
  std::function<void()> on_batch_end;

  // Starts connecting; reconnects whenever the link is lost until Stop().
  void Start();
  void Stop();
  bool up() const { return up_; }

  // Fire and forget. False (and counted) when the link is down or too far behind. Bulk publishes
  // (positions) go on a connection of their own and are shed first.
  bool Publish(std::string_view channel, std::string_view payload, bool bulk = false);
  // A command; done runs exactly once (with null if the link goes down first). False, and done
  // is not run, when the link is down.
  bool Command(const std::vector<std::string> &args, Done done);
  // Channels to listen to, kept across reconnects (bulk ones, positions, on a connection of their
  // own). Unsubscribing waits `linger` seconds, so a channel wanted again soon costs Redis nothing.
  void Subscribe(const std::string &channel, bool bulk = false);
  void Unsubscribe(const std::string &channel);
  bool Subscribed(const std::string &channel) const;

  const RedisCounters &counters() const { return counters_; }

 private:
  class Conn;
  enum class Sub { kNone, kSubscribing, kSubscribed, kUnsubscribing };
  enum Role { kCommands, kBulk, kSubscriptions, kBulkSubscriptions, kRoles };
  struct Channel {
    bool wanted = false;
    bool bulk = false;
    Sub state = Sub::kNone;
    double unwanted_since = 0;
  };

  void Connect();
  void OnConnected(Role role);
  void Lost(const std::string &why);
  void ArmTimer();
  void OnTimer();
  // A reply on the subscription connection; message is null unless it carries one.
  void OnSubReply(std::string_view kind, std::string_view channel, const std::string_view *message);
  void CheckUp();
  void SendSubscribe(const std::vector<std::string> &channels, bool subscribe);
  Conn *Of(Role role) const { return conns_[role].get(); }
  struct Callbacks;  // the Redis client's callbacks, where its types are known

  asio::io_context &io_;
  RedisLinkOptions options_;
  std::unique_ptr<Conn> conns_[kRoles];
  asio::steady_timer timer_, retry_;
  bool running_ = false;
  bool up_ = false;
  bool cmd_ready_ = false, bulk_ready_ = false;
  bool losing_ = false;       // a teardown is posted
  bool logged_down_ = false;  // the loss was reported; quiet until the link is back
  double backoff_ = 0;
  double connect_started_ = 0;
  double last_heartbeat_sent_ = 0, last_heartbeat_seen_ = 0;
  double last_timer_ = 0;  // when the timer last ran
  std::uint64_t outstanding_ = 0;  // commands sent on the command connection and not yet answered
  std::deque<double> bulk_sent_;    // when each bulk publish not yet answered was sent
  double last_reply_ = 0;
  std::unordered_map<std::string, Channel> channels_;
  std::string resp_;  // reused buffer for formatted publishes
  RedisCounters counters_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// "HOST:PORT" or "unix:PATH"; false with a message when it is neither.
bool ParseRedisAddress(const std::string &address, std::string *host, int *port, std::string *unix_path,
                       std::string *error);

}  // namespace skytether
