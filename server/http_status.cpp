#include "http_status.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace skytether {

void StatusBoard::Publish(std::shared_ptr<const StatusSnapshot> snapshot) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    latest_.swap(snapshot);
  }
  // The one replaced is freed here, outside the lock (or by the reader that still holds it).
}

std::shared_ptr<const StatusSnapshot> StatusBoard::Latest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latest_;
}

bool ParseHttpAddress(const std::string &text, HttpOptions *out, std::string *error) {
  std::string host = "127.0.0.1", port = text;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string::npos) {
      *error = "bad --http (ADDR:PORT, [V6ADDR]:PORT or PORT): " + text;
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (text.find(':') != std::string::npos) {
    const std::size_t colon = text.rfind(':');
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  in6_addr any;
  const bool ip = inet_pton(AF_INET, host.c_str(), &any) == 1 || inet_pton(AF_INET6, host.c_str(), &any) == 1;
  char *end = nullptr;
  const long n = std::strtol(port.c_str(), &end, 10);
  if (!ip || port.empty() || *end != '\0' || n < 0 || n > 65535) {
    *error = "bad --http (an IP address and a port: ADDR:PORT, [V6ADDR]:PORT or PORT): " + text;
    return false;
  }
  out->address = host;
  out->port = static_cast<int>(n);
  return true;
}

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// One connection's bytes, under a deadline for the whole exchange and a cap on what is read: a
// client that trickles its request (slowloris) or sends endless headers gets nowhere.
class BoundedStream : public httplib::Stream {
 public:
  BoundedStream(int fd, Clock::time_point deadline, std::size_t max_read, const std::atomic<bool> &stopping)
      : fd_(fd), deadline_(deadline), max_read_(max_read), stopping_(stopping) {}

  bool is_readable() const override { return off_ < len_ || Wait(POLLIN); }
  bool is_writable() const override { return Wait(POLLOUT); }

  ssize_t read(char *ptr, size_t size) override {
    if (off_ == len_) {
      if (total_ >= max_read_ || !Wait(POLLIN)) return -1;
      const ssize_t n = ::recv(fd_, buf_, std::min(sizeof buf_, max_read_ - total_), MSG_DONTWAIT);
      if (n <= 0) return n;
      total_ += static_cast<std::size_t>(n);
      off_ = 0;
      len_ = static_cast<std::size_t>(n);
    }
    const std::size_t n = std::min(size, len_ - off_);
    std::memcpy(ptr, buf_ + off_, n);
    off_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char *ptr, size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      if (!Wait(POLLOUT)) return -1;
      const ssize_t n = ::send(fd_, ptr + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return -1;
      done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
  }

  void get_remote_ip_and_port(std::string &ip, int &port) const override { Name(::getpeername, ip, port); }
  void get_local_ip_and_port(std::string &ip, int &port) const override { Name(::getsockname, ip, port); }
  socket_t socket() const override { return fd_; }

 private:
  // Polls in short slices so a stopping server does not wait for the deadline.
  bool Wait(short events) const {
    for (;;) {
      if (stopping_) return false;
      const double left = std::chrono::duration<double>(deadline_ - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd_, events, 0};
      const int r = ::poll(&p, 1, static_cast<int>(std::min(left, 0.1) * 1000) + 1);
      if (r > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
      if (r < 0 && errno != EINTR) return false;
    }
  }

  void Name(int (*get)(int, sockaddr *, socklen_t *), std::string &ip, int &port) const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    ip.clear();
    port = 0;
    if (get(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
      auto *in = reinterpret_cast<sockaddr_in *>(&a);
      inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
      port = ntohs(in->sin_port);
    } else if (a.ss_family == AF_INET6) {
      auto *in6 = reinterpret_cast<sockaddr_in6 *>(&a);
      inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
      port = ntohs(in6->sin6_port);
    }
    ip = text;
  }

  int fd_;
  Clock::time_point deadline_;
  std::size_t max_read_, total_ = 0;
  const std::atomic<bool> &stopping_;
  char buf_[4096];
  std::size_t off_ = 0, len_ = 0;
};

// Set on the accepting thread while it turns away a connection over the cap.
thread_local bool t_turn_away = false;

// A fixed set of workers and a bounded count of connections: one over the cap is answered 503 and
// closed on the accepting thread, without reading a byte, so no queue grows.
class BoundedQueue : public httplib::TaskQueue {
 public:
  BoundedQueue(int workers, int max_connections) : max_(static_cast<std::size_t>(max_connections)) {
    for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~BoundedQueue() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!stopped_ && active_ + queue_.size() < max_) {
        queue_.push_back(std::move(fn));
        ready_.notify_one();
        return;
      }
    }
    t_turn_away = true;
    fn();
    t_turn_away = false;
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_ && threads_.empty()) return;
      stopped_ = true;
      ready_.notify_all();
    }
    for (std::thread &t : threads_) t.join();
    threads_.clear();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return stopped_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopped, nothing left
        fn = std::move(queue_.front());
        queue_.pop_front();
        ++active_;
      }
      fn();
      std::lock_guard<std::mutex> lock(mutex_);
      --active_;
    }
  }

  std::size_t max_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> queue_;
  std::size_t active_ = 0;
  bool stopped_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

class HttpStatus::Impl : public httplib::Server {
 public:
  Impl(HttpOptions options, const StatusBoard &board) : options_(std::move(options)), board_(board) {
    new_task_queue = [this] { return new BoundedQueue(options_.workers, options_.max_connections); };
    set_payload_max_length(0);
    set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
      return Admit(req, res) ? HandlerResponse::Unhandled : HandlerResponse::Handled;
    });
    Get("/", [](const httplib::Request &, httplib::Response &res) {
      res.set_header("Content-Security-Policy",
                     "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                     "connect-src 'self'; img-src data:");
      res.set_content(kStatusPage, "text/html; charset=utf-8");
    });
    Get(R"(/v1/status\.json)", [this](const httplib::Request &, httplib::Response &res) {
      auto s = board_.Latest();
      if (!s) return NotYet(res);
      // Read-only and without secrets: maps on other sites may read it.
      res.set_header("Access-Control-Allow-Origin", "*");
      res.set_content(StatusJson(*s), "application/json");
    });
    Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
      auto s = board_.Latest();
      if (!s) return NotYet(res);
      res.set_content(MetricsText(*s, ReadProcessFigures()), "text/plain; version=0.0.4; charset=utf-8");
    });
    set_error_handler([](const httplib::Request &, httplib::Response &res) {
      if (res.body.empty()) res.set_content(std::to_string(res.status) + "\n", "text/plain");
    });
  }

  void Stopping() { stopping_ = true; }

  std::thread thread;

 private:
  static void NotYet(httplib::Response &res) {
    res.status = 503;
    res.set_header("Retry-After", "1");
    res.set_content("starting\n", "text/plain");
  }

  // Read-only, and at most so many requests per address.
  bool Admit(const httplib::Request &req, httplib::Response &res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    if (req.method != "GET" && req.method != "HEAD") {
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
      res.set_content("read-only\n", "text/plain");
      return false;
    }
    const double now = Seconds(Clock::now());
    std::lock_guard<std::mutex> lock(rate_mutex_);
    if (rates_.size() > 4096) rates_.clear();  // many addresses: start again rather than grow
    auto it = rates_.try_emplace(req.remote_addr, options_.rate_burst, options_.rate_per_second).first;
    if (it->second.Take(now)) return true;
    res.status = 429;
    res.set_header("Retry-After", "1");
    res.set_content("too many requests\n", "text/plain");
    return false;
  }

  bool process_and_close_socket(socket_t sock) override {
    if (t_turn_away) {
      static const char kBusy[] =
          "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 5\r\nConnection: close\r\nRetry-After: "
          "1\r\n\r\nbusy\n";
      (void)!::send(sock, kBusy, sizeof kBusy - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
      ::close(sock);
      return false;
    }
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options_.request_seconds));
    BoundedStream stream(sock, deadline, options_.max_request, stopping_);
    bool closed = false;
    // One request per connection: nothing waits idle between requests.
    const bool ok = process_request(stream, true, closed, nullptr);
    ::shutdown(sock, SHUT_WR);
    ::close(sock);
    return ok;
  }

  HttpOptions options_;
  const StatusBoard &board_;
  std::mutex rate_mutex_;
  std::unordered_map<std::string, FloodGate> rates_;
  std::atomic<bool> stopping_{false};
};

HttpStatus::HttpStatus(HttpOptions options, const StatusBoard &board)
    : options_(options), impl_(std::make_unique<Impl>(std::move(options), board)) {}

HttpStatus::~HttpStatus() {
  Stop();
}

bool HttpStatus::Start(std::string *error) {
  const HttpOptions &o = options_;
  if (o.port == 0) {
    port_ = impl_->bind_to_any_port(o.address);
  } else if (impl_->bind_to_port(o.address, o.port)) {
    port_ = o.port;
  }
  if (port_ <= 0) {
    *error = "cannot listen on " + o.address + ":" + std::to_string(o.port) + " (HTTP)";
    return false;
  }
  impl_->thread = std::thread([this] { impl_->listen_after_bind(); });
  return true;
}

void HttpStatus::Stop() {
  if (!impl_ || !impl_->thread.joinable()) return;
  impl_->Stopping();
  // stop() only reaches a server already in its accept loop.
  for (int i = 0; i < 2000 && !impl_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  impl_->stop();
  impl_->thread.join();
}

}  // namespace skytether
