#include "server.h"

#include "cluster.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace skytether {

void LogLine(const std::string &line) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  tm t;
  gmtime_r(&tv.tv_sec, &t);
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(tv.tv_usec / 1000));
  // One fprintf per line: stderr is unbuffered, so each line reaches the log whole.
  std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
}

namespace {

using ReusePort = asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>;

IpAddr FromSockaddr(const sockaddr *sa, std::uint16_t *port) {
  IpAddr ip;
  if (sa->sa_family == AF_INET) {
    auto *in = reinterpret_cast<const sockaddr_in *>(sa);
    std::memcpy(ip.bytes.data(), &in->sin_addr, 4);
    *port = ntohs(in->sin_port);
  } else if (sa->sa_family == AF_INET6) {
    auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
    *port = ntohs(in6->sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      // A dual-stack socket shows IPv4 peers as ::ffff:a.b.c.d; keep them IPv4 so
      // the stream peer and its datagrams compare equal whichever socket saw them.
      std::memcpy(ip.bytes.data(), reinterpret_cast<const std::uint8_t *>(&in6->sin6_addr) + 12, 4);
    } else {
      ip.v6 = true;
      std::memcpy(ip.bytes.data(), &in6->sin6_addr, 16);
    }
  }
  return ip;
}

IpAddr FromAsio(const asio::ip::address &a) {
  std::uint16_t port = 0;
  if (a.is_v4()) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    auto b = a.to_v4().to_bytes();
    std::memcpy(&in.sin_addr, b.data(), 4);
    return FromSockaddr(reinterpret_cast<sockaddr *>(&in), &port);
  }
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  auto b = a.to_v6().to_bytes();
  std::memcpy(&in6.sin6_addr, b.data(), 16);
  return FromSockaddr(reinterpret_cast<sockaddr *>(&in6), &port);
}

socklen_t ToSockaddr(const Endpoint &e, bool v6_socket, sockaddr_storage *out) {
  if (!v6_socket) {
    auto *in = reinterpret_cast<sockaddr_in *>(out);
    std::memset(in, 0, sizeof *in);
    in->sin_family = AF_INET;
    in->sin_port = htons(e.port);
    std::memcpy(&in->sin_addr, e.ip.bytes.data(), 4);
    return sizeof *in;
  }
  auto *in6 = reinterpret_cast<sockaddr_in6 *>(out);
  std::memset(in6, 0, sizeof *in6);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(e.port);
  auto *dst = reinterpret_cast<std::uint8_t *>(&in6->sin6_addr);
  if (e.ip.v6) {
    std::memcpy(dst, e.ip.bytes.data(), 16);
  } else {
    dst[10] = 0xff;
    dst[11] = 0xff;
    std::memcpy(dst + 12, e.ip.bytes.data(), 4);
  }
  return sizeof *in6;
}

}  // namespace

// ---- one stream connection ----

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Server &server, asio::ip::tcp::socket socket, ConnId id)
      : server_(server),
        socket_(std::move(socket)),
        id_(id),
        gate_(server.options().flood_burst, server.options().flood_rate) {}

  void Start() {
    asio::error_code ec;
    socket_.non_blocking(true, ec);
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    // Notices are small: a fixed kernel buffer keeps a stalled reader's backlog in our
    // own bounded queue instead of megabytes of autotuned socket memory.
    socket_.set_option(asio::socket_base::send_buffer_size(64 * 1024), ec);
    // A peer whose link died without a FIN or RST is found by keepalive probes while the
    // stream is idle, and by the user timeout while notices wait unacknowledged.
    const ServerOptions &o = server_.options();
    const int fd = socket_.native_handle(), on = 1;
    const unsigned user_timeout =
        static_cast<unsigned>(o.keepalive_idle + o.keepalive_interval * o.keepalive_count) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &o.keepalive_idle, sizeof o.keepalive_idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &o.keepalive_interval, sizeof o.keepalive_interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &o.keepalive_count, sizeof o.keepalive_count);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout);
    // A plugin sends its login with the connect: read it now, so the connection spends no
    // time among those not logged in.
    OnReadable();
  }

  // Queues a notice; writes at once when the socket takes it, so notices reach the
  // kernel ahead of the datagrams that follow them.
  void Send(const std::string &text) {
    if (closed_) return;
    if (out_.size() - out_off_ + text.size() > server_.options().max_pending_output) {
      server_.CountOutputCapCut();
      return Cut("not reading: pending output over " + std::to_string(server_.options().max_pending_output) +
                 " bytes");
    }
    out_ += text;
    if (!waiting_write_) Write();
  }

  // Closed on the registry's word (logout, refused login): it already knows.
  void Close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    server_.Forget(id_);
  }

 private:
  void Read() {
    auto self = shared_from_this();
    socket_.async_wait(asio::ip::tcp::socket::wait_read, [this, self](const asio::error_code &ec) {
      if (closed_) return;
      if (ec) return Lost("read error: " + ec.message());
      OnReadable();
    });
  }

  void OnReadable() {
    // Read what is there (bounded, so one busy peer cannot starve the others).
    for (int round = 0; round < 8 && !closed_; ++round) {
      asio::error_code ec;
      std::size_t n = socket_.read_some(asio::buffer(buf_.data() + len_, buf_.size() - len_), ec);
      if (ec == asio::error::would_block || ec == asio::error::try_again) break;
      if (ec == asio::error::eof) return Lost("connection closed");
      if (ec) return Lost("read error: " + ec.message());
      len_ += n;
      Split();
      if (n == 0) break;
    }
    if (!closed_) Read();
  }

  void Split() {
    std::size_t off = 0;
    while (!closed_) {
      std::string_view line;
      std::size_t used = 0;
      SplitResult r = SplitLine(std::string_view(buf_.data() + off, len_ - off), &line, &used);
      if (r == SplitResult::kNeedMore) break;
      if (r == SplitResult::kBad) {
        server_.registry().CountDrop(Drop::kLongLine);
        return Cut("line over " + std::to_string(kMaxLine) + " bytes");
      }
      off += used;
      double now = server_.Now();
      if (!gate_.Take(now)) {
        server_.registry().CountDrop(Drop::kLineFlood);
        return Cut("flooding");
      }
      server_.registry().OnLine(id_, line, now);
      server_.Drain();
    }
    if (closed_) return;
    std::memmove(buf_.data(), buf_.data() + off, len_ - off);
    len_ -= off;
  }

  void Write() {
    while (out_off_ < out_.size()) {
      asio::error_code ec;
      std::size_t n = socket_.write_some(asio::buffer(out_.data() + out_off_, out_.size() - out_off_), ec);
      if (ec == asio::error::would_block || ec == asio::error::try_again) {
        waiting_write_ = true;
        auto self = shared_from_this();
        socket_.async_wait(asio::ip::tcp::socket::wait_write, [this, self](const asio::error_code &wec) {
          waiting_write_ = false;
          if (closed_) return;
          if (wec) return Lost("write error: " + wec.message());
          Write();
        });
        return;
      }
      if (ec) return Lost("write error: " + ec.message());
      out_off_ += n;
      if (out_off_ >= 64 * 1024 && out_off_ < out_.size()) {
        // A slow reader: drop what was written so the buffer holds only what is pending.
        out_.erase(0, out_off_);
        out_off_ = 0;
      }
    }
    out_.clear();
    out_off_ = 0;
  }

  // The connection ends on our side or the peer's: the registry is told.
  void Lost(const std::string &why) {
    if (closed_) return;
    Close();
    server_.registry().Disconnect(id_, server_.Now(), why);
    server_.Drain();
  }

  void Cut(const std::string &why) {
    if (closed_) return;
    server_.Note(Event::kSessionCut, "connection " + std::to_string(id_) + " cut: " + why);
    Lost("cut: " + why);
  }

  Server &server_;
  asio::ip::tcp::socket socket_;
  ConnId id_;
  FloodGate gate_;
  // Room for one whole line at the limit plus one read.
  std::array<char, kMaxLine + 4096> buf_;
  std::size_t len_ = 0;
  std::string out_;
  std::size_t out_off_ = 0;
  bool waiting_write_ = false;
  bool closed_ = false;
};

// ---- the server ----

Server::Server(asio::io_context &io, ServerOptions options, Registry &registry)
    : io_(io),
      options_(std::move(options)),
      registry_(registry),
      acceptor_(io),
      udp_(io),
      tick_(io),
      accept_retry_(io),
      start_(std::chrono::steady_clock::now()) {
  for (int i = 0; i < kRecvBatch; ++i) {
    recv_iov_[i] = iovec{recv_buf_[i].data(), recv_buf_[i].size()};
  }
  relays_.reserve(kSendBatch);
}

Server::~Server() = default;

double Server::Now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

bool Server::Start(std::string *error) {
  asio::error_code ec;
  asio::ip::address addr = asio::ip::make_address(options_.listen, ec);
  if (ec) {
    *error = "bad listen address \"" + options_.listen + "\": " + ec.message();
    return false;
  }
  // With port 0 the kernel picks the TCP port; UDP must then get the same number.
  const int attempts = options_.port == 0 ? 50 : 1;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    asio::ip::tcp::endpoint tep(addr, static_cast<unsigned short>(options_.port));
    acceptor_.open(tep.protocol(), ec);
    if (!ec) acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec && options_.steered) acceptor_.set_option(ReusePort(true), ec);
    if (!ec && addr.is_v6()) acceptor_.set_option(asio::ip::v6_only(false), ec);
    if (!ec) acceptor_.bind(tep, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      *error = "cannot listen on " + options_.listen + ":" + std::to_string(options_.port) + " (TCP): " + ec.message();
      acceptor_.close();
      return false;
    }
    port_ = acceptor_.local_endpoint().port();
    asio::ip::udp::endpoint uep(addr, static_cast<unsigned short>(port_));
    udp_.open(uep.protocol(), ec);
    if (!ec && addr.is_v6()) udp_.set_option(asio::ip::v6_only(false), ec);
    if (!ec && options_.steered) udp_.set_option(ReusePort(true), ec);
    if (!ec) udp_.bind(uep, ec);
    if (!ec) break;
    asio::error_code ignore;
    udp_.close(ignore);
    acceptor_.close(ignore);
    if (attempt + 1 == attempts || ec != asio::error::address_in_use) {
      *error = "cannot bind " + options_.listen + ":" + std::to_string(port_) + " (UDP): " + ec.message();
      return false;
    }
  }
  if (options_.steered &&
      !JoinSteeredGroups(acceptor_.native_handle(), udp_.native_handle(), options_.steering, error)) {
    return false;
  }
  udp_v6_ = addr.is_v6();
  udp_.non_blocking(true, ec);
  // Big kernel buffers absorb bursts of reports between two turns of the loop.
  udp_.set_option(asio::socket_base::receive_buffer_size(8 << 20), ec);
  udp_.set_option(asio::socket_base::send_buffer_size(8 << 20), ec);
  // The kernel stamps each datagram as it arrives, so its wait in the socket can be told, and the
  // relay rates pace reports by when they came.
  int on = 1;
  if (setsockopt(udp_.native_handle(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0 &&
      options_.max_report_age > 0)
    LogLine("no arrival times on datagrams: every report is relayed however late");

  Accept();
  ArmUdp();
  ArmTick();
  remote_values_.reserve(1 << 20);
  LogLine("listening on " + local_address() + ":" + std::to_string(port_) +
          (options_.steered ? " as node " + std::to_string(options_.steering.index) + " of " +
                                  std::to_string(options_.steering.nodes) + " on this address"
                            : std::string()));
  return true;
}

std::string Server::local_address() const {
  asio::error_code ec;
  auto ep = acceptor_.local_endpoint(ec);
  return ec ? options_.listen : ep.address().to_string();
}

void Server::Stop() {
  if (stopped_) return;
  stopped_ = true;
  asio::error_code ec;
  acceptor_.close(ec);
  udp_.close(ec);
  tick_.cancel();
  accept_retry_.cancel();
  auto sessions = sessions_;
  for (auto &entry : sessions) entry.second->Close();
  sessions_.clear();
}

void Server::Forget(ConnId id) { sessions_.erase(id); }

void Server::Note(Event kind, std::string line) {
  std::vector<std::string> lines;
  events_.Note(kind, Now(), std::move(line), &lines);
  for (const std::string &l : lines) LogLine(l);
}

void Server::Accept() {
  acceptor_.async_accept([this](const asio::error_code &ec, asio::ip::tcp::socket socket) {
    if (stopped_) return;
    if (ec) {
      // Out of descriptors and the like: wait, longer each time it fails again, rather than spin.
      accept_backoff_ = std::min(std::max(2 * accept_backoff_, 0.01), 1.0);
      Note(Event::kAcceptFailed, "accept failed: " + ec.message() + "; next try in " +
                                     std::to_string(static_cast<int>(accept_backoff_ * 1000)) + " ms");
      accept_retry_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(accept_backoff_)));
      accept_retry_.async_wait([this](const asio::error_code &wec) {
        if (!wec && !stopped_) Accept();
      });
      return;
    }
    accept_backoff_ = 0;
    asio::error_code pec;
    auto peer = socket.remote_endpoint(pec);
    if (pec) {
      Accept();
      return;
    }
    ConnId id = next_conn_++;
    auto session = std::make_shared<Session>(*this, std::move(socket), id);
    sessions_[id] = session;
    registry_.Connect(id, FromAsio(peer.address()), Now());
    Drain();  // older connections it closes to make room
    session->Start();
    Accept();
  });
}

void Server::Drain() {
  if (draining_) return;  // the outer call picks up whatever is added meanwhile
  draining_ = true;
  std::vector<Output> batch;
  while (!registry_.outputs().empty() || !registry_.logs().empty() || !registry_.cluster_events().empty()) {
    if (cluster_ != nullptr) cluster_->TakeEvents();
    registry_.cluster_events().clear();  // standalone: none are made
    for (const std::string &line : registry_.logs()) LogLine(line);
    registry_.logs().clear();
    batch.clear();
    batch.swap(registry_.outputs());
    for (const Output &out : batch) {
      auto it = sessions_.find(out.conn);
      if (it == sessions_.end()) continue;
      std::shared_ptr<Session> s = it->second;
      if (out.kind == Output::Kind::kSend) s->Send(out.text);
      else s->Close();
    }
  }
  draining_ = false;
}

void Server::ArmTick() {
  tick_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(options_.tick_interval)));
  tick_.async_wait([this](const asio::error_code &ec) {
    if (ec || stopped_) return;
    registry_.Tick(Now());
    Drain();
    std::vector<std::string> summaries;
    events_.Flush(Now(), &summaries);
    for (const std::string &l : summaries) LogLine(l);
    if (udp_send_failures_ != udp_send_failures_logged_) {
      LogLine("dropped " + std::to_string(udp_send_failures_ - udp_send_failures_logged_) +
              " x outgoing datagram the socket refused (total " + std::to_string(udp_send_failures_) + ")");
      udp_send_failures_logged_ = udp_send_failures_;
    }
    ArmTick();
  });
}

void Server::ArmUdp() {
  udp_.async_wait(asio::ip::udp::socket::wait_read, [this](const asio::error_code &ec) {
    if (ec || stopped_) return;
    ReadDatagrams();
    ArmUdp();
  });
}

void Server::ReadDatagrams() {
  const int fd = udp_.native_handle();
  for (int round = 0; round < kRecvRounds; ++round) {
    for (int i = 0; i < kRecvBatch; ++i) {
      msghdr &h = recv_msg_[i].msg_hdr;
      std::memset(&h, 0, sizeof h);
      h.msg_name = &recv_addr_[i];
      h.msg_namelen = sizeof recv_addr_[i];
      h.msg_iov = &recv_iov_[i];
      h.msg_iovlen = 1;
      h.msg_control = recv_ctl_[i].bytes;
      h.msg_controllen = sizeof recv_ctl_[i].bytes;
      recv_msg_[i].msg_len = 0;
    }
    int n = recvmmsg(fd, recv_msg_.data(), kRecvBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) break;
    double now = Now();
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    int relayed = 0;
    for (int i = 0; i < n; ++i) {
      const msghdr &h = recv_msg_[i].msg_hdr;
      // One byte more than kMaxDatagram fits the buffer, so an over-long one shows as such.
      if ((h.msg_flags & MSG_TRUNC) != 0 || recv_msg_[i].msg_len > kMaxDatagram) {
        registry_.CountDrop(Drop::kBadDatagram);
        continue;
      }
      const timespec arrived = Arrival(h, wall);
      const double waited = static_cast<double>(wall.tv_sec - arrived.tv_sec) +
                            1e-9 * static_cast<double>(wall.tv_nsec - arrived.tv_nsec);
      if (options_.max_report_age > 0 && waited > options_.max_report_age) {
        registry_.CountDrop(Drop::kStale);
        continue;
      }
      Endpoint from;
      from.ip = FromSockaddr(reinterpret_cast<const sockaddr *>(&recv_addr_[i]), &from.port);
      std::string_view values;
      std::size_t first = relays_.size();
      std::string_view datagram(recv_buf_[i].data(), recv_msg_[i].msg_len);
      int shared = -1;
      // Paced by when it arrived, so a round that reads several of one pilot's positions does not
      // hold back the later ones.
      bool relay = registry_.OnDatagram(datagram, from, now - std::clamp(waited, 0.0, 1.0), &relays_, &values,
                                        cluster_ ? &shared : nullptr);
      // Notices for newly given slots go out on the streams before any report.
      if (!registry_.outputs().empty() || !registry_.logs().empty() || !registry_.cluster_events().empty())
        Drain();
      if (relay) {
        QueueRelays(relays_.data() + first, relays_.data() + relays_.size(), values);
        relayed_arrivals_[relayed++] = arrived;
      }
      relays_.clear();
      // The node's own pilots first; then the other nodes, through Redis (never waited on).
      if (shared >= 0) {
        cluster_->Position(shared, datagram,
                           static_cast<std::int64_t>(arrived.tv_sec) * 1000000 + arrived.tv_nsec / 1000);
      }
    }
    // The queued reports point into this round's buffers: send before reading again.
    FlushSends();
    if (relayed > 0) {
      timespec sent;
      clock_gettime(CLOCK_REALTIME, &sent);
      for (int i = 0; i < relayed; ++i) {
        const timespec &a = relayed_arrivals_[i];
        latency_.Add(static_cast<double>(sent.tv_sec - a.tv_sec) + 1e-9 * static_cast<double>(sent.tv_nsec - a.tv_nsec));
      }
    }
    if (n < kRecvBatch) break;
  }
}

timespec Server::Arrival(const msghdr &h, const timespec &now) const {
  for (const cmsghdr *c = CMSG_FIRSTHDR(&h); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr *>(&h), const_cast<cmsghdr *>(c))) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec arrived;
    std::memcpy(&arrived, CMSG_DATA(c), sizeof arrived);
    return arrived;
  }
  return now;  // no stamp: nothing to judge by
}

void Server::RelayCopy(std::string_view values, const std::vector<Relay> &relays) {
  if (remote_values_.size() + values.size() > remote_values_.capacity()) FlushRelays();
  const std::size_t at = remote_values_.size();
  remote_values_.append(values);
  QueueRelays(relays.data(), relays.data() + relays.size(), std::string_view(remote_values_).substr(at));
}

void Server::FlushRelays() {
  FlushSends();
  remote_values_.clear();
}

void Server::QueueRelays(const Relay *begin, const Relay *end, std::string_view values) {
  for (const Relay *rp = begin; rp != end; ++rp) {
    if (send_count_ == kSendBatch) FlushSends();
    const Relay &r = *rp;
    std::string_view header = ReportHeader(r.slot);
    auto &iov = send_iov_[send_count_];
    iov[0] = iovec{const_cast<char *>(header.data()), header.size()};
    iov[1] = iovec{const_cast<char *>(values.data()), values.size()};
    msghdr &h = send_msg_[send_count_].msg_hdr;
    std::memset(&h, 0, sizeof h);
    h.msg_name = &send_addr_[send_count_];
    h.msg_namelen = ToSockaddr(r.to, udp_v6_, &send_addr_[send_count_]);
    h.msg_iov = iov.data();
    h.msg_iovlen = 2;
    ++send_count_;
  }
}

void Server::FlushSends() {
  const int fd = udp_.native_handle();
  int off = 0;
  while (off < send_count_) {
    int n = sendmmsg(fd, send_msg_.data() + off, send_count_ - off, MSG_DONTWAIT);
    if (n > 0) {
      off += n;
      reports_out_ += static_cast<std::uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The socket buffer is full: these reports are stale by the next frame anyway.
      udp_send_failures_ += send_count_ - off;
      break;
    }
    // This one destination failed (unreachable and the like): skip it, send the rest.
    ++udp_send_failures_;
    ++off;
  }
  send_count_ = 0;
}

void Server::Status(StatusSnapshot *s) const {
  registry_.StatusPilots(Now(), s->node, &s->pilots);
  s->connections_pending = registry_.pending();
  s->logins = registry_.events(Event::kLogin);
  s->refused_logins = registry_.events(Event::kRefusedLogin);
  s->positions_in = registry_.positions_in();
  s->reports_out = reports_out_;
  s->reports_refused = udp_send_failures_;
  s->reports_held = registry_.reports_held();
  for (int k = 0; k < static_cast<int>(Drop::kCount); ++k) s->dropped[k] = registry_.dropped(static_cast<Drop>(k));
  s->output_cap_cuts = output_cap_cuts_;
  s->chat_lines = registry_.chat_lines();
  s->latency = latency_;
}

}  // namespace skytether
