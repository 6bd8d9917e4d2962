#pragma once
// A real redis-server for tests and benches: on 127.0.0.1 at a free port, without persistence,
// in a folder of its own; killed from the destructor whatever happens. Restart() brings it back on
// the same port, empty, as a Redis without persistence comes back after a crash.
#include <hiredis/hiredis.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace harness {

class RedisServer {
 public:
  // binary: "redis-server" from PATH, or a path.
  explicit RedisServer(std::string binary = "redis-server") : binary_(std::move(binary)) {
    char dir[] = "/tmp/skytether-redis-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    // A free port may be taken by another run before Redis binds it: then another is tried.
    for (int tries = 0; tries < 20 && !ready_; ++tries) {
      port_ = FreePort();
      if (port_ > 0) Start();
    }
  }
  ~RedisServer() {
    Kill();
    if (!dir_.empty()) {
      std::remove((dir_ + "/redis.log").c_str());
      rmdir(dir_.c_str());
    }
  }
  RedisServer(const RedisServer &) = delete;
  RedisServer &operator=(const RedisServer &) = delete;

  bool ok() const { return ready_; }
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  pid_t pid() const { return process_.pid(); }

  void Kill() {
    process_.Kill();
    ready_ = false;
  }
  bool Restart() {
    Kill();
    return Start();
  }
  void Pause() { process_.Pause(); }
  void Resume() { process_.Resume(); }

  // A counter of INFO's stats section ("total_commands_processed"), -1 when Redis does not answer.
  long long Info(const std::string &key) const {
    const std::string stats = Query({"INFO", "stats"});
    const std::size_t at = stats.find(key + ":");
    return at == std::string::npos ? -1 : std::atoll(stats.c_str() + at + key.size() + 1);
  }

  // One command on a fresh connection; the reply as text ("(nil)", integers in decimal, arrays
  // joined with newlines), or "ERR ..." for an error and "" when Redis cannot be reached.
  std::string Query(const std::vector<std::string> &args) const {
    timeval tv{2, 0};
    redisContext *c = redisConnectWithTimeout("127.0.0.1", port_, tv);
    if (c == nullptr || c->err) {
      if (c) redisFree(c);
      return "";
    }
    redisSetTimeout(c, tv);
    std::vector<const char *> argv;
    std::vector<size_t> lens;
    for (const auto &a : args) {
      argv.push_back(a.data());
      lens.push_back(a.size());
    }
    auto *r = static_cast<redisReply *>(
        redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data()));
    std::string out = Text(r);
    if (r) freeReplyObject(r);
    redisFree(c);
    return out;
  }

 private:
  static std::string Text(const redisReply *r) {
    if (r == nullptr) return "";
    switch (r->type) {
      case REDIS_REPLY_NIL:
        return "(nil)";
      case REDIS_REPLY_INTEGER:
        return std::to_string(r->integer);
      case REDIS_REPLY_ERROR:
        return std::string(r->str, r->len);
      case REDIS_REPLY_ARRAY: {
        std::string all;
        for (size_t i = 0; i < r->elements; ++i) all += (i ? "\n" : "") + Text(r->element[i]);
        return all;
      }
      default:
        return std::string(r->str, r->len);
    }
  }

  bool Start() {
    ChildProcess::Options o;
    o.search_path = binary_.find('/') == std::string::npos;
    o.stop_grace = -1;
    o.time_limit = 600;  // a test that forgets it never leaves it behind for long
    if (!process_.Start(
            {binary_, "--port", std::to_string(port_), "--bind", "127.0.0.1", "--save", "", "--appendonly",
             "no", "--protected-mode", "no", "--dir", dir_, "--logfile", dir_ + "/redis.log"},
            o))
      return false;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < deadline;) {
      if (Query({"PING"}) == "PONG") return ready_ = true;
      if (!process_.Running()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::string binary_;
  std::string dir_;
  int port_ = 0;
  ChildProcess process_;
  bool ready_ = false;
};

}  // namespace harness
