#include "cluster/redis_link.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <cstdlib>
#include <cstring>

extern "C" {
#include <hiredis/sds.h>
}

#include "net/clock.h"

namespace skytether {
namespace {

RedisReply ViewOf(const redisReply *r) {
  RedisReply v;
  switch (r->type) {
    case REDIS_REPLY_STRING:
      v.type = RedisReply::Type::kString;
      break;
    case REDIS_REPLY_STATUS:
      v.type = RedisReply::Type::kStatus;
      break;
    case REDIS_REPLY_ERROR:
      v.type = RedisReply::Type::kError;
      break;
    case REDIS_REPLY_INTEGER:
      v.type = RedisReply::Type::kInteger;
      break;
    case REDIS_REPLY_ARRAY:
      v.type = RedisReply::Type::kArray;
      break;
    default:
      v.type = RedisReply::Type::kNil;
      break;
  }
  if (r->str != nullptr) v.text = std::string_view(r->str, r->len);
  v.integer = r->integer;
  for (std::size_t i = 0; i < r->elements; ++i) v.elements.push_back(ViewOf(r->element[i]));
  return v;
}

}  // namespace

bool ParseRedisAddress(const std::string &address, std::string *host, int *port, std::string *unix_path,
                       std::string *error) {
  if (address.compare(0, 5, "unix:") == 0 && address.size() > 5) {
    *unix_path = address.substr(5);
    return true;
  }
  std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *error = "Redis address \"" + address + "\" is not HOST:PORT or unix:PATH";
    return false;
  }
  *host = address.substr(0, colon);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']')
    *host = host->substr(1, host->size() - 2);
  char *end = nullptr;
  long p = std::strtol(address.c_str() + colon + 1, &end, 10);
  asio::error_code ec;
  asio::ip::make_address(*host, ec);
  if (*end != '\0' || p < 1 || p > 65535 || ec) {
    // A name would need a blocking look-up on the event loop: addresses only.
    *error = "Redis address \"" + address + "\" must be an IP address and port, or unix:PATH";
    return false;
  }
  *port = static_cast<int>(p);
  return true;
}

// ---- one hiredis connection on the io_context ----

class RedisLink::Conn {
 public:
  Conn(RedisLink &link, Role role) : link_(link), role_(role), sd_(link.io_) {}
  ~Conn() { Close(); }

  bool Open(const std::string &host, int port, const std::string &unix_path, std::string *error) {
    ac_ =
        unix_path.empty() ? redisAsyncConnect(host.c_str(), port) : redisAsyncConnectUnix(unix_path.c_str());
    if (ac_ == nullptr || ac_->err) {
      *error = ac_ ? ac_->errstr : "out of memory";
      if (ac_) redisAsyncFree(ac_);
      ac_ = nullptr;
      return false;
    }
    ac_->data = this;
    asio::error_code ec;
    sd_.assign(ac_->c.fd, ec);
    ac_->ev.data = this;
    ac_->ev.addRead = [](void *p) { static_cast<Conn *>(p)->Want(true, true); };
    ac_->ev.delRead = [](void *p) { static_cast<Conn *>(p)->Want(true, false); };
    ac_->ev.addWrite = [](void *p) { static_cast<Conn *>(p)->Want(false, true); };
    ac_->ev.delWrite = [](void *p) { static_cast<Conn *>(p)->Want(false, false); };
    ac_->ev.cleanup = [](void *p) { static_cast<Conn *>(p)->Released(); };
    redisAsyncSetDisconnectCallback(ac_, [](const redisAsyncContext *ac, int) {
      static_cast<Conn *>(ac->data)->link_.Lost("connection to Redis closed");
    });
    // Set last: it waits for the connection through the write hook above.
    redisAsyncSetConnectCallback(ac_, [](const redisAsyncContext *ac, int status) {
      Conn &c = *static_cast<Conn *>(ac->data);
      if (status != REDIS_OK) return c.link_.Lost(std::string("cannot connect to Redis: ") + ac->errstr);
      c.connected_ = true;
      c.link_.OnConnected(c.role_);
    });
    return true;
  }

  // Frees the context: pending callbacks run with a null reply.
  void Close() {
    if (ac_ != nullptr) redisAsyncFree(ac_);  // calls Released()
    ac_ = nullptr;
    connected_ = false;
  }

  // One non-blocking write of whatever waits (the last words before a stop).
  void Flush() {
    if (ac_ != nullptr && connected_) redisAsyncHandleWrite(ac_);
  }

  redisAsyncContext *ac() const { return connected_ ? ac_ : nullptr; }
  std::size_t pending() const { return ac_ != nullptr && ac_->c.obuf != nullptr ? sdslen(ac_->c.obuf) : 0; }

 private:
  void Want(bool read, bool on) {
    (read ? want_read_ : want_write_) = on;
    if (on) Arm(read);
  }

  void Arm(bool read) {
    bool &armed = read ? read_armed_ : write_armed_;
    if (armed || ac_ == nullptr) return;
    armed = true;
    std::weak_ptr<bool> life = life_;
    sd_.async_wait(
        read ? asio::posix::stream_descriptor::wait_read : asio::posix::stream_descriptor::wait_write,
        [this, read, life](const asio::error_code &ec) {
          if (life.expired()) return;
          (read ? read_armed_ : write_armed_) = false;
          if (ec || ac_ == nullptr || !(read ? want_read_ : want_write_)) return;
          if (read) {
            redisAsyncHandleRead(ac_);
            if (life.expired()) return;
            if (link_.on_batch_end) link_.on_batch_end();
          } else {
            redisAsyncHandleWrite(ac_);
          }
          if (!life.expired() && (read ? want_read_ : want_write_)) Arm(read);
        });
  }

  // hiredis is done with the descriptor and closes it itself.
  void Released() {
    want_read_ = want_write_ = false;
    asio::error_code ec;
    sd_.cancel(ec);
    sd_.release();
    ac_ = nullptr;
    connected_ = false;
  }

  RedisLink &link_;
  Role role_;
  asio::posix::stream_descriptor sd_;
  redisAsyncContext *ac_ = nullptr;
  bool connected_ = false;
  bool want_read_ = false, want_write_ = false, read_armed_ = false, write_armed_ = false;
  std::shared_ptr<bool> life_ = std::make_shared<bool>(true);
};

struct RedisLink::Callbacks {
  static void PublishDone(redisAsyncContext *, void *reply, void *privdata) {
    auto *link = static_cast<RedisLink *>(privdata);
    if (link->outstanding_ > 0) --link->outstanding_;
    if (reply != nullptr) link->last_reply_ = Now();
  }

  static void BulkDone(redisAsyncContext *, void *, void *privdata) {
    auto *link = static_cast<RedisLink *>(privdata);
    if (!link->bulk_sent_.empty()) link->bulk_sent_.pop_front();
  }

  static void CommandDone(redisAsyncContext *, void *reply, void *privdata) {
    std::unique_ptr<Done> done(static_cast<Done *>(privdata));
    if (reply == nullptr) return (*done)(nullptr);
    const RedisReply view = ViewOf(static_cast<const redisReply *>(reply));
    (*done)(&view);
  }

  // Every reply on the subscription connection: subscribe and unsubscribe confirmations, messages.
  static void SubMessage(redisAsyncContext *, void *reply, void *privdata) {
    const auto *r = static_cast<const redisReply *>(reply);
    if (r == nullptr || r->type != REDIS_REPLY_ARRAY || r->elements < 3) return;
    const redisReply *kind = r->element[0], *name = r->element[1], *body = r->element[2];
    if (kind->type != REDIS_REPLY_STRING || name->type != REDIS_REPLY_STRING) return;
    const std::string_view message(body->str, body->type == REDIS_REPLY_STRING ? body->len : 0);
    static_cast<RedisLink *>(privdata)->OnSubReply(std::string_view(kind->str, kind->len),
                                                   std::string_view(name->str, name->len),
                                                   body->type == REDIS_REPLY_STRING ? &message : nullptr);
  }
};

// ---- the link ----

RedisLink::RedisLink(asio::io_context &io, RedisLinkOptions options)
    : io_(io), options_(std::move(options)), timer_(io), retry_(io) {
  channels_[options_.probe_channel].wanted = true;
}

RedisLink::~RedisLink() {
  *alive_ = false;
  running_ = false;
  for (auto &c : conns_) c.reset();
}

void RedisLink::Start() {
  if (running_) return;
  running_ = true;
  Connect();
  ArmTimer();
}

void RedisLink::Stop() {
  if (!running_) return;
  running_ = false;
  timer_.cancel();
  retry_.cancel();
  if (conns_[kCommands]) conns_[kCommands]->Flush();
  up_ = false;
  counters_.up = false;
  for (auto &c : conns_) c.reset();
}

void RedisLink::Connect() {
  std::string host, unix_path, error;
  int port = 0;
  cmd_ready_ = bulk_ready_ = false;
  losing_ = false;
  outstanding_ = 0;
  bulk_sent_.clear();
  last_reply_ = Now();
  connect_started_ = Now();
  if (!ParseRedisAddress(options_.address, &host, &port, &unix_path, &error)) return Lost(error);
  for (int role = 0; role < kRoles; ++role) {
    conns_[role] = std::make_unique<Conn>(*this, static_cast<Role>(role));
    if (!conns_[role]->Open(host, port, unix_path, &error)) return Lost("cannot connect to Redis: " + error);
  }
}

void RedisLink::OnConnected(Role role) {
  redisAsyncContext *ac = Of(role)->ac();
  if (ac == nullptr) return;
  if (!options_.password.empty()) {
    const char *argv[2] = {"AUTH", options_.password.c_str()};
    std::size_t lens[2] = {4, options_.password.size()};
    auto *done = new Done([this](const RedisReply *r) {
      if (r != nullptr && r->type == RedisReply::Type::kError)
        Lost("Redis refused the password: " + std::string(r->text));
    });
    ++outstanding_;
    redisAsyncCommandArgv(ac, Callbacks::CommandDone, done, 2, argv, lens);
  }
  if (role == kCommands || role == kBulk) {
    auto *done = new Done([this, role](const RedisReply *r) {
      if (r == nullptr || r->type == RedisReply::Type::kError) return;
      (role == kCommands ? cmd_ready_ : bulk_ready_) = true;
      CheckUp();
    });
    ++outstanding_;
    redisAsyncCommand(ac, Callbacks::CommandDone, done, "PING");
    return;
  }
  std::vector<std::string> all;
  for (auto &entry : channels_) {
    if (entry.second.bulk != (role == kBulkSubscriptions)) continue;
    entry.second.state = Sub::kNone;
    if (entry.second.wanted) all.push_back(entry.first);
  }
  SendSubscribe(all, true);
}

void RedisLink::CheckUp() {
  if (up_ || !cmd_ready_ || !bulk_ready_) return;
  auto probe = channels_.find(options_.probe_channel);
  if (probe == channels_.end() || probe->second.state != Sub::kSubscribed) return;
  for (auto &entry : channels_) {
    if (entry.second.wanted && entry.second.state != Sub::kSubscribed) return;
  }
  up_ = true;
  counters_.up = true;
  backoff_ = 0;
  logged_down_ = false;
  last_heartbeat_seen_ = last_reply_ = Now();
  if (on_state) on_state(true, "Redis link up at " + options_.address);
}

void RedisLink::Lost(const std::string &why) {
  if (losing_ || !running_) return;
  losing_ = true;
  // hiredis may be inside one of its callbacks: the contexts are freed from the loop.
  std::weak_ptr<bool> alive = alive_;
  asio::post(io_, [this, alive, why] {
    if (alive.expired() || !running_) return;
    bool was_up = up_;
    up_ = false;
    counters_.up = false;
    for (auto &c : conns_) c.reset();
    bulk_sent_.clear();
    for (auto &entry : channels_) entry.second.state = Sub::kNone;
    if (was_up) ++counters_.links_lost;
    if (was_up || !logged_down_) {
      logged_down_ = true;
      if (on_state) on_state(false, why);
    }
    backoff_ = backoff_ == 0 ? options_.backoff_min : std::min(backoff_ * 2, options_.backoff_max);
    retry_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(backoff_)));
    retry_.async_wait([this, alive](const asio::error_code &ec) {
      if (!ec && !alive.expired() && running_) Connect();
    });
  });
}

void RedisLink::ArmTimer() {
  timer_.expires_after(std::chrono::milliseconds(250));
  std::weak_ptr<bool> alive = alive_;
  timer_.async_wait([this, alive](const asio::error_code &ec) {
    if (ec || alive.expired() || !running_) return;
    OnTimer();
    ArmTimer();
  });
}

void RedisLink::OnTimer() {
  double now = Now();
  // Time this process did not run (a saturated relay thread, a stopped process) is no silence of
  // Redis's: its answers are waiting in the sockets, unread.
  const double stalled = last_timer_ > 0 ? now - last_timer_ - 0.25 : 0;
  last_timer_ = now;
  if (stalled > 0.25) {
    last_heartbeat_seen_ += stalled;
    last_reply_ += stalled;
    connect_started_ += stalled;
  }
  if (losing_) return;
  if (!up_) {
    if (now - connect_started_ > options_.link_timeout) Lost("no answer from Redis at " + options_.address);
    return;
  }
  if (now - last_heartbeat_seen_ > options_.link_timeout) return Lost("Redis stopped answering");
  if (outstanding_ > 0 && now - last_reply_ > options_.link_timeout) return Lost("Redis stopped answering");
  if (now - last_heartbeat_sent_ >= options_.heartbeat) {
    last_heartbeat_sent_ = now;
    Publish(options_.probe_channel, "1");
  }
  std::vector<std::string> drop;
  for (auto &entry : channels_) {
    Channel &ch = entry.second;
    if (!ch.wanted && ch.state == Sub::kSubscribed && now - ch.unwanted_since >= options_.linger) {
      drop.push_back(entry.first);
    }
  }
  if (!drop.empty()) SendSubscribe(drop, false);
}

bool RedisLink::Publish(std::string_view channel, std::string_view payload, bool bulk) {
  Conn *conn = Of(bulk ? kBulk : kCommands);
  redisAsyncContext *ac = up_ && conn != nullptr ? conn->ac() : nullptr;
  if (ac == nullptr || conn->pending() > options_.max_pending) {
    ++counters_.publish_dropped;
    return false;
  }
  if (bulk && !bulk_sent_.empty() && Now() - bulk_sent_.front() > options_.shed_after) {
    ++counters_.publish_dropped;
    ++counters_.shed;
    return false;
  }
  resp_.clear();
  resp_ += "*3\r\n$7\r\nPUBLISH\r\n$";
  resp_ += std::to_string(channel.size());
  resp_ += "\r\n";
  resp_ += channel;
  resp_ += "\r\n$";
  resp_ += std::to_string(payload.size());
  resp_ += "\r\n";
  resp_ += payload;
  resp_ += "\r\n";
  if (bulk) {
    bulk_sent_.push_back(Now());
    redisAsyncFormattedCommand(ac, Callbacks::BulkDone, this, resp_.data(), resp_.size());
  } else {
    ++outstanding_;
    redisAsyncFormattedCommand(ac, Callbacks::PublishDone, this, resp_.data(), resp_.size());
  }
  ++counters_.published;
  return true;
}

bool RedisLink::Command(const std::vector<std::string> &args, Done done) {
  redisAsyncContext *ac = up_ ? Of(kCommands)->ac() : nullptr;
  if (ac == nullptr) return false;
  std::vector<const char *> argv;
  std::vector<std::size_t> lens;
  for (const std::string &a : args) {
    argv.push_back(a.data());
    lens.push_back(a.size());
  }
  ++outstanding_;
  ++counters_.commands;
  redisAsyncCommandArgv(ac, Callbacks::CommandDone, new Done(std::move(done)), static_cast<int>(args.size()),
                        argv.data(), lens.data());
  return true;
}

void RedisLink::Subscribe(const std::string &channel, bool bulk) {
  Channel &ch = channels_[channel];
  ch.wanted = true;
  ch.bulk = bulk;
  if (ch.state == Sub::kNone && up_) SendSubscribe({channel}, true);
}

void RedisLink::Unsubscribe(const std::string &channel) {
  auto it = channels_.find(channel);
  if (it == channels_.end() || !it->second.wanted || channel == options_.probe_channel) return;
  it->second.wanted = false;
  it->second.unwanted_since = Now();
  if (it->second.state == Sub::kNone) channels_.erase(it);
}

bool RedisLink::Subscribed(const std::string &channel) const {
  auto it = channels_.find(channel);
  return it != channels_.end() && it->second.state == Sub::kSubscribed;
}

void RedisLink::SendSubscribe(const std::vector<std::string> &channels, bool subscribe) {
  // Each channel on its own connection: positions on the bulk one, the rest on the other.
  for (Role role : {kSubscriptions, kBulkSubscriptions}) {
    Conn *conn = Of(role);
    redisAsyncContext *ac = conn != nullptr ? conn->ac() : nullptr;
    if (ac == nullptr) continue;
    std::vector<const char *> argv{subscribe ? "SUBSCRIBE" : "UNSUBSCRIBE"};
    std::vector<std::size_t> lens{std::strlen(argv[0])};
    for (const std::string &c : channels) {
      Channel &ch = channels_[c];
      if (ch.bulk != (role == kBulkSubscriptions)) continue;
      ch.state = subscribe ? Sub::kSubscribing : Sub::kUnsubscribing;
      argv.push_back(c.data());
      lens.push_back(c.size());
    }
    if (argv.size() == 1) continue;
    redisAsyncCommandArgv(ac, Callbacks::SubMessage, this, static_cast<int>(argv.size()), argv.data(),
                          lens.data());
  }
}

void RedisLink::OnSubReply(std::string_view k, std::string_view channel, const std::string_view *message) {
  if (k == "message" && message != nullptr) {
    ++counters_.messages;
    if (channel == options_.probe_channel) {
      last_heartbeat_seen_ = Now();
    } else if (on_message) {
      on_message(channel, *message);
    }
    return;
  }
  auto it = channels_.find(std::string(channel));
  if (it == channels_.end()) return;
  Channel &ch = it->second;
  if (k == "subscribe") {
    ch.state = Sub::kSubscribed;
    if (!ch.wanted && channel != options_.probe_channel) ch.unwanted_since = Now();
    CheckUp();
  } else if (k == "unsubscribe") {
    // hiredis forgets the channel's callback with this reply: only now may it be subscribed again.
    ch.state = Sub::kNone;
    if (ch.wanted)
      SendSubscribe({it->first}, true);
    else
      channels_.erase(it);
  }
}

}  // namespace skytether
