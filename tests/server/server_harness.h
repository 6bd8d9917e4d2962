#pragma once
// Runs the real skytether-server and talks to it over loopback as fake plugins do.
// Every wait is bounded; the process is killed from the destructor whatever happens.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifndef SKYTETHER_SERVER_BIN
#error "SKYTETHER_SERVER_BIN must name the server executable"
#endif

namespace harness {

using Clock = std::chrono::steady_clock;

inline int RemainingMs(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms < 0 ? 0 : static_cast<int>(ms);
}

inline Clock::time_point After(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

class ServerProcess {
 public:
  // Starts the server with args (plus --listen 127.0.0.1 unless given) and waits for its
  // "listening on" line. ok() tells whether it came.
  explicit ServerProcess(std::vector<std::string> args, double timeout = 10.0) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    std::vector<std::string> argv_s = {SKYTETHER_SERVER_BIN};
    bool has_listen = false;
    for (const auto &a : args) has_listen |= a == "--listen";
    if (!has_listen) argv_s.insert(argv_s.end(), {"--listen", "127.0.0.1"});
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 2);
      close(fds[0]);
      close(fds[1]);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    err_fd_ = fds[0];
    reader_ = std::thread([this] { ReadLog(); });
    std::smatch m;
    std::string line;
    if (WaitForLog("listening on ", timeout, &line)) {
      static const std::regex re(":(\\d+)$");
      if (std::regex_search(line, m, re)) port_ = std::stoi(m[1]);
    }
  }

  ~ServerProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      int st;
      waitpid(pid_, &st, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (err_fd_ >= 0) close(err_fd_);
  }

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }

  // Waits for a log line containing needle (already printed or still to come).
  bool WaitForLog(const std::string &needle, double timeout, std::string *found = nullptr) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_until(lock, After(timeout), [&] {
      for (const auto &l : lines_) {
        if (l.find(needle) != std::string::npos) {
          if (found) *found = l;
          return true;
        }
      }
      return eof_;
    }) && HasLocked(needle);
  }

  bool HasLog(const std::string &needle) {
    std::lock_guard<std::mutex> lock(mu_);
    return HasLocked(needle);
  }

  std::string Log() {
    std::lock_guard<std::mutex> lock(mu_);
    std::string all;
    for (const auto &l : lines_) all += l + "\n";
    return all;
  }

  // Sends sig and waits for the exit; returns the exit code, or -1 (killed or timed out).
  int Signal(int sig, double timeout = 5.0) {
    if (pid_ <= 0 || exited_) return -1;
    kill(pid_, sig);
    auto deadline = After(timeout);
    while (Clock::now() < deadline) {
      int st = 0;
      pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  bool Running() {
    if (pid_ <= 0 || exited_) return false;
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      exited_ = true;
      return false;
    }
    return true;
  }

 private:
  bool HasLocked(const std::string &needle) {
    for (const auto &l : lines_) {
      if (l.find(needle) != std::string::npos) return true;
    }
    return false;
  }

  void ReadLog() {
    std::string partial;
    char buf[4096];
    for (;;) {
      ssize_t n = read(err_fd_, buf, sizeof buf);
      if (n <= 0) break;
      partial.append(buf, n);
      std::size_t nl;
      std::lock_guard<std::mutex> lock(mu_);
      while ((nl = partial.find('\n')) != std::string::npos) {
        lines_.push_back(partial.substr(0, nl));
        partial.erase(0, nl + 1);
      }
      cv_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mu_);
    eof_ = true;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int err_fd_ = -1;
  int port_ = 0;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  bool eof_ = false;
};

// Runs the server binary to completion (for option errors and --help); -1 on timeout.
inline int RunToExit(std::vector<std::string> args, std::string *out, double timeout = 5.0) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> argv_s = {SKYTETHER_SERVER_BIN};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  auto deadline = After(timeout);
  char buf[4096];
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, RemainingMs(deadline)) <= 0) break;
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    out->append(buf, n);
  }
  close(fds[0]);
  int st = 0;
  while (Clock::now() < deadline) {
    if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &st, 0);
  return -1;
}

inline sockaddr_in Loopback(int port, const char *ip = "127.0.0.1") {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// One fake plugin: a stream socket and a datagram socket to the server.
class FakeClient {
 public:
  FakeClient(int port, int id, const char *udp_ip = "127.0.0.1") : port_(port), id_(id) {
    tcp_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(port);
    connected_ = connect(tcp_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    udp_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = Loopback(0, udp_ip);
    bind(udp_, reinterpret_cast<sockaddr *>(&local), sizeof local);
  }
  ~FakeClient() {
    if (tcp_ >= 0) close(tcp_);
    if (udp_ >= 0) close(udp_);
  }
  FakeClient(const FakeClient &) = delete;
  FakeClient &operator=(const FakeClient &) = delete;

  bool connected() const { return connected_; }
  int id() const { return id_; }
  std::string Id() const { return std::to_string(id_); }

  bool Send(const std::string &text) {
    return ::send(tcp_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  bool Login(const std::string &user, const std::string &token = std::string(32, '0')) {
    return Send(Id() + "|Opening Connection|" + user + "|" + token + "|\n");
  }
  bool Announce(const std::string &callsign, const std::string &model) {
    return Send(Id() + "|PLANE|" + model + "\n" + Id() + "|CALLSIGN|" + callsign + "|\n");
  }
  bool SendDatagram(const std::string &text) {
    sockaddr_in a = Loopback(port_);
    return sendto(udp_, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) ==
           static_cast<ssize_t>(text.size());
  }
  void CloseStream() {
    close(tcp_);
    tcp_ = -1;
  }

  // The next stream line (LF removed); nullopt on timeout or close.
  std::optional<std::string> NextLine(double timeout) {
    auto deadline = After(timeout);
    for (;;) {
      std::size_t nl = in_.find('\n');
      if (nl != std::string::npos) {
        std::string line = in_.substr(0, nl);
        in_.erase(0, nl + 1);
        return line;
      }
      if (!Fill(deadline)) return std::nullopt;
    }
  }
  // Skips lines until one equals want.
  bool WaitLine(const std::string &want, double timeout) {
    auto deadline = After(timeout);
    while (auto line = NextLine(RemainingMs(deadline) / 1000.0)) {
      if (*line == want) return true;
    }
    return false;
  }
  // True once the server has closed the stream.
  bool WaitClosed(double timeout) {
    auto deadline = After(timeout);
    while (Clock::now() < deadline) {
      if (!Fill(deadline)) return closed_;
    }
    return closed_;
  }
  std::optional<std::string> NextDatagram(double timeout) {
    pollfd p{udp_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout * 1000)) <= 0) return std::nullopt;
    char buf[2048];
    ssize_t n = recv(udp_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, n);
  }
  // Waits for a report that starts with prefix, skipping others.
  std::optional<std::string> WaitDatagram(const std::string &prefix, double timeout) {
    auto deadline = After(timeout);
    while (auto d = NextDatagram(RemainingMs(deadline) / 1000.0)) {
      if (d->compare(0, prefix.size(), prefix) == 0) return d;
    }
    return std::nullopt;
  }

 private:
  bool Fill(Clock::time_point deadline) {
    if (closed_ || tcp_ < 0) return false;
    pollfd p{tcp_, POLLIN, 0};
    if (poll(&p, 1, RemainingMs(deadline)) <= 0) return false;
    char buf[4096];
    ssize_t n = recv(tcp_, buf, sizeof buf, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    in_.append(buf, n);
    return true;
  }

  int port_;
  int id_;
  int tcp_ = -1, udp_ = -1;
  bool connected_ = false, closed_ = false;
  std::string in_;
};

}  // namespace harness
