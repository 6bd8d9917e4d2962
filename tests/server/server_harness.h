#pragma once
// Runs the real skytether-server and talks to it over loopback as fake plugins do.
// Every wait is bounded; the process is killed from the destructor whatever happens.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace harness {

using Clock = std::chrono::steady_clock;

inline int MsLeft(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms < 0 ? 0 : static_cast<int>(ms);
}
inline Clock::time_point After(double s) { return Clock::now() + std::chrono::milliseconds(long(s * 1000)); }

class ServerProcess {
 public:
  // Starts the server on 127.0.0.1 with args and waits for its "listening on" line. nofile > 0
  // caps its descriptors (soft and hard limit), as a small system or service would.
  explicit ServerProcess(std::vector<std::string> args, rlim_t nofile = 0) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    args.insert(args.begin(), {SKYTETHER_SERVER_BIN, "--listen", "127.0.0.1"});
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 2);
      const rlimit limit{nofile, nofile};
      if (nofile > 0) setrlimit(RLIMIT_NOFILE, &limit);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
    reader_ = std::thread([this] { ReadLog(); });
    std::string line;
    if (WaitForLog("listening on ", 10, &line)) port_ = std::stoi(line.substr(line.rfind(':') + 1));
  }
  ~ServerProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
  }

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }

  // Waits for a log line containing needle, already printed or still to come.
  bool WaitForLog(const std::string &needle, double timeout, std::string *found = nullptr) {
    std::unique_lock<std::mutex> lock(mu_);
    auto has = [&] {
      for (const auto &l : lines_) {
        if (l.find(needle) != std::string::npos) return found ? (*found = l, true) : true;
      }
      return false;
    };
    cv_.wait_until(lock, After(timeout), [&] { return has() || eof_; });
    return has();
  }
  std::string Log() {
    std::lock_guard<std::mutex> lock(mu_);
    std::string all;
    for (const auto &l : lines_) all += l + "\n";
    return all;
  }
  // Sends sig and waits for the exit; the exit code, or -1 when killed or still running.
  int Signal(int sig, double timeout = 5) {
    kill(pid_, sig);
    for (auto deadline = After(timeout); Clock::now() < deadline;) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  bool Running() { return !exited_ && waitpid(pid_, nullptr, WNOHANG) == 0; }
  // Holds the process still (what is sent to it waits in its sockets), then lets it go on.
  void Pause() { kill(pid_, SIGSTOP); }
  void Kill(int sig) { kill(pid_, sig); }
  void Resume() { kill(pid_, SIGCONT); }

 private:
  void ReadLog() {
    std::string partial;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0) {
      std::lock_guard<std::mutex> lock(mu_);
      partial.append(buf, n);
      for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos; partial.erase(0, nl + 1)) {
        lines_.push_back(partial.substr(0, nl));
      }
      cv_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mu_);
    eof_ = true;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int fd_ = -1, port_ = 0;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  bool eof_ = false;
};

inline sockaddr_in Addr(int port, const char *ip = "127.0.0.1") {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// One fake plugin: a stream socket and a datagram socket (ephemeral port) to the server.
class FakeClient {
 public:
  // rcvbuf > 0 shrinks the stream's receive buffer (set before connecting, so it holds).
  FakeClient(int port, int id, const char *udp_ip = "127.0.0.1", int rcvbuf = 0)
      : port_(port), id_(std::to_string(id)) {
    tcp_ = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf > 0) setsockopt(tcp_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a = Addr(port), local = Addr(0, udp_ip);
    connected_ = connect(tcp_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    udp_ = socket(AF_INET, SOCK_DGRAM, 0);
    bind(udp_, reinterpret_cast<sockaddr *>(&local), sizeof local);
  }
  ~FakeClient() {
    if (tcp_ >= 0) close(tcp_);
    close(udp_);
  }

  bool connected() const { return connected_; }
  bool Send(const std::string &t) { return ::send(tcp_, t.data(), t.size(), MSG_NOSIGNAL) == ssize_t(t.size()); }
  bool Login(const std::string &user, const std::string &token = std::string(32, '0')) {
    return Send(id_ + "|Opening Connection|" + user + "|" + token + "|\n");
  }
  bool Announce(const std::string &callsign, const std::string &model) {
    return Send(id_ + "|PLANE|" + model + "\n" + id_ + "|CALLSIGN|" + callsign + "|\n");
  }
  bool SendDatagram(const std::string &t) {
    sockaddr_in a = Addr(port_);
    return sendto(udp_, t.data(), t.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) == ssize_t(t.size());
  }
  void CloseStream() {
    close(tcp_);
    tcp_ = -1;
  }
  // Skips stream lines until one equals want.
  bool WaitLine(const std::string &want, double timeout) {
    for (auto deadline = After(timeout);;) {
      for (std::size_t nl; (nl = in_.find('\n')) != std::string::npos;) {
        std::string line = in_.substr(0, nl);
        in_.erase(0, nl + 1);
        if (line == want) return true;
      }
      if (!Fill(deadline)) return false;
    }
  }
  // The slot of the next callsign notice naming callsign, skipping other lines; 0 on timeout.
  int WaitSlotOf(const std::string &callsign, double timeout) {
    const std::string tail = "|c|" + callsign;
    for (auto deadline = After(timeout);;) {
      for (std::size_t nl; (nl = in_.find('\n')) != std::string::npos;) {
        std::string line = in_.substr(0, nl);
        in_.erase(0, nl + 1);
        if (line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
          return std::atoi(line.c_str());
        }
      }
      if (!Fill(deadline)) return 0;
    }
  }
  // Reads and forgets whatever the stream holds right now.
  void Discard() {
    while (Fill(Clock::now())) {
    }
    in_.clear();
  }
  // True once the server has closed the stream.
  bool WaitClosed(double timeout) {
    for (auto deadline = After(timeout); Fill(deadline);) {
    }
    return closed_;
  }
  // The next datagram that starts with prefix, skipping others.
  std::optional<std::string> WaitDatagram(const std::string &prefix, double timeout) {
    for (auto deadline = After(timeout);;) {
      pollfd p{udp_, POLLIN, 0};
      if (poll(&p, 1, MsLeft(deadline)) <= 0) return std::nullopt;
      char buf[2048];
      ssize_t n = recv(udp_, buf, sizeof buf, 0);
      if (n >= 0 && std::string(buf, n).compare(0, prefix.size(), prefix) == 0) return std::string(buf, n);
    }
  }

 private:
  bool Fill(Clock::time_point deadline) {
    pollfd p{tcp_, POLLIN, 0};
    if (closed_ || tcp_ < 0 || poll(&p, 1, MsLeft(deadline)) <= 0) return false;
    char buf[4096];
    ssize_t n = recv(tcp_, buf, sizeof buf, 0);
    if (n <= 0) return !(closed_ = true);
    in_.append(buf, n);
    return true;
  }

  int port_;
  std::string id_;
  int tcp_ = -1, udp_ = -1;
  bool connected_ = false, closed_ = false;
  std::string in_;
};

// ---- the status page, feed and metrics (--http) ----

// The port of the server's status page, from its log line; 0 when it did not say.
inline int HttpPort(ServerProcess &server) {
  std::string line;
  if (!server.WaitForLog("status page on http://127.0.0.1:", 5, &line)) return 0;
  return std::atoi(line.c_str() + line.rfind(':') + 1);
}

inline int HttpConnect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  const timeval limit{2, 0};  // connect and send give up rather than hang the test
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in a = Addr(port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One request with extra header lines ("Name: value\r\n" each) and a body; the status code (0
// when no answer) and the answer's body.
inline int HttpSend(int port, const std::string &method, const std::string &path, const std::string &headers,
                    const std::string &body, std::string *answer = nullptr) {
  int fd = HttpConnect(port);
  if (fd < 0) return 0;
  std::string request =
      method + " " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + headers;
  if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n" + body;
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string all;
  char buf[8192];
  for (auto deadline = After(5);;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, MsLeft(deadline)) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    all.append(buf, n);
  }
  close(fd);
  if (all.compare(0, 9, "HTTP/1.1 ") != 0) return 0;
  const std::size_t end = all.find("\r\n\r\n");
  if (answer != nullptr) *answer = end == std::string::npos ? std::string() : all.substr(end + 4);
  return std::atoi(all.c_str() + 9);
}

inline int HttpGet(int port, const std::string &path, std::string *body = nullptr,
                   const std::string &method = "GET") {
  return HttpSend(port, method, path, "", "", body);
}

// The port of the server's admin controls (--admin-http 127.0.0.1:0), from its log line.
inline int AdminPort(ServerProcess &server) {
  std::string line;
  if (!server.WaitForLog("admin controls on http://127.0.0.1:", 5, &line)) return 0;
  return std::atoi(line.c_str() + line.find("127.0.0.1:") + 10);
}

// The value of one sample (name with its labels), -1 when absent.
inline double Metric(const std::string &metrics, const std::string &name) {
  std::istringstream in(metrics);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, name.size() + 1, name + " ") == 0) return std::atof(line.c_str() + name.size() + 1);
  }
  return -1;
}

}  // namespace harness
