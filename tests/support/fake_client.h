#pragma once
// Fake plugins and HTTP clients against the real server, over loopback: the plugin's stream and
// datagram sockets, and one-request HTTP with the metrics read back. Every wait is bounded.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "child_process.h"
#include "server_process.h"

namespace harness {

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
    bool found = false;
    LinesUntil(want, timeout, &found, false);
    return found;
  }
  // The stream lines before the first that matches pattern (LineMatches: '*' for any run of
  // characters, unless glob is false), which is taken too; *found says whether it came in time.
  std::vector<std::string> LinesUntil(const std::string &pattern, double timeout, bool *found,
                                      bool glob = true) {
    std::vector<std::string> before;
    *found = false;
    for (auto deadline = After(timeout);;) {
      for (std::size_t nl; (nl = in_.find('\n')) != std::string::npos;) {
        std::string line = in_.substr(0, nl);
        in_.erase(0, nl + 1);
        if (glob ? LineMatches(line, pattern) : line == pattern) {
          *found = true;
          return before;
        }
        before.push_back(std::move(line));
      }
      if (!Fill(deadline)) return before;
    }
  }
  // A marker through the server: a chat line of its own, which comes back once the server has
  // read every line sent before it. False when it does not (the stream was closed, say). The
  // lines that came before it stay to be read. Chat has its limits (5 lines in 5 s a pilot, 10 an
  // address): a test sends a few.
  bool Sync(double timeout = 3) {
    const std::string tag = "sync " + id_ + "." + std::to_string(++syncs_);
    bool found = false;
    if (!Send(id_ + "|MESSAGE|" + tag + "\n")) return false;
    std::string before;
    for (const std::string &line : LinesUntil("0|m|*: " + tag, timeout, &found)) before += line + "\n";
    in_.insert(0, before);
    return found;
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
  // The datagrams before the first equal to want, which is taken too; *found says whether it came.
  // Sent after an input, want shows what that input brought: the server relays in order.
  std::vector<std::string> DatagramsUntil(const std::string &want, double timeout, bool *found) {
    std::vector<std::string> before;
    *found = false;
    for (auto deadline = After(timeout);;) {
      pollfd p{udp_, POLLIN, 0};
      if (poll(&p, 1, MsLeft(deadline)) <= 0) return before;
      char buf[2048];
      ssize_t n = recv(udp_, buf, sizeof buf, 0);
      if (n < 0) continue;
      if (std::string(buf, n) == want) {
        *found = true;
        return before;
      }
      before.emplace_back(buf, n);
    }
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
  int syncs_ = 0;
  int tcp_ = -1, udp_ = -1;
  bool connected_ = false, closed_ = false;
  std::string in_;
};

// ---- the status page, feed and metrics (--http) ----

// The port of the server's status page, from its log line; 0 when it did not say.
inline int HttpPort(ServerProcess &server) {
  std::string line;
  if (!server.WaitForLine("status page on http://127.0.0.1:*", 5, 0, &line)) return 0;
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
  if (!server.WaitForLine("admin controls on http://127.0.0.1:*", 5, 0, &line)) return 0;
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

// Waits until the metrics (a snapshot the server takes once a second) show the sample at least at
// least: the server's own count says what it has handled, and the rest of that snapshot shows
// the same moment. The metrics in *metrics; false on timeout. Asks four times a second, within the
// HTTP side's allowance.
inline bool WaitForMetric(int http, const std::string &name, double least, std::string *metrics,
                          double timeout = 5) {
  for (auto deadline = After(timeout);;) {
    if (HttpGet(http, "/metrics", metrics) == 200 && Metric(*metrics, name) >= least) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

}  // namespace harness
