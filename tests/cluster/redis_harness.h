#pragma once
// A real redis-server for tests: on 127.0.0.1 at a free port, without persistence, in a folder of
// its own; killed from the destructor whatever happens. Restart() brings it back on the same port,
// empty, as a Redis without persistence comes back after a crash.
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace harness {

class RedisServer {
 public:
  RedisServer() {
    char dir[] = "/tmp/skytether-redis-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    port_ = FreePort();
    if (port_ > 0) Start();
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
  pid_t pid() const { return pid_; }

  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    ready_ = false;
  }
  bool Restart() {
    Kill();
    return Start();
  }
  void Pause() { kill(pid_, SIGSTOP); }
  void Resume() { kill(pid_, SIGCONT); }

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
  static int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
      port = ntohs(a.sin_port);
    }
    close(s);
    return port;
  }

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
    std::vector<std::string> args = {
        "redis-server",     "--port", std::to_string(port_), "--bind", "127.0.0.1", "--save", "",
        "--appendonly",     "no",     "--protected-mode",    "no",     "--dir",     dir_,     "--logfile",
        dir_ + "/redis.log"};
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char *> argv;
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < deadline;) {
      if (Query({"PING"}) == "PONG") return ready_ = true;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace harness
