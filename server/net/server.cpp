#include "net/server.h"

#include <netinet/in.h>
#include <netinet/udp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/clock.h"
#include "net/log.h"
#include "net/session.h"
#include "net/sockaddr.h"

namespace skytether {
namespace {

// Several nodes on one address and port: the socket joins the kernel's SO_REUSEPORT group.
void SetReusePort(int fd, asio::error_code &ec) {
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
    ec.assign(errno, asio::system_category());
}

}  // namespace

Server::Server(asio::io_context &io, ServerOptions options, Registry &registry)
    : options_(std::move(options)),
      registry_(registry),
      acceptor_(io),
      udp_(io),
      tick_(io),
      accept_retry_(io),
      publish_(io),
      release_(io) {
  for (int i = 0; i < kRecvBatch; ++i) {
    recv_iov_[i] = iovec{recv_buf_[i].data(), recv_buf_[i].size()};
  }
  relays_.reserve(kSendBatch);
}

Server::~Server() = default;

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
    if (!ec && options_.steered) SetReusePort(acceptor_.native_handle(), ec);
    if (!ec && addr.is_v6()) acceptor_.set_option(asio::ip::v6_only(false), ec);
    if (!ec) acceptor_.bind(tep, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      *error = "cannot listen on " + HostPort(options_.listen, options_.port) + " (TCP): " + ec.message();
      acceptor_.close();
      return false;
    }
    port_ = acceptor_.local_endpoint().port();
    asio::ip::udp::endpoint uep(addr, static_cast<unsigned short>(port_));
    udp_.open(uep.protocol(), ec);
    if (!ec && addr.is_v6()) udp_.set_option(asio::ip::v6_only(false), ec);
    if (!ec && options_.steered) SetReusePort(udp_.native_handle(), ec);
    if (!ec) udp_.bind(uep, ec);
    if (!ec) break;
    asio::error_code ignore;
    udp_.close(ignore);
    acceptor_.close(ignore);
    if (attempt + 1 == attempts || ec != asio::error::address_in_use) {
      *error = "cannot bind " + HostPort(options_.listen, port_) + " (UDP): " + ec.message();
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
  // Segmented sends are asked for per send; a kernel without them refuses the option.
  int unsegmented = 0;
  segment_ = options_.udp_segment &&
             setsockopt(udp_.native_handle(), SOL_UDP, UDP_SEGMENT, &unsegmented, sizeof unsegmented) == 0;

  started_ = WallSeconds();
  Accept();
  ArmUdp();
  ArmTick();
  remote_values_.reserve(1 << 20);
  LogLine("listening on " + HostPort(local_address(), port_) +
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
  publish_.cancel();
  release_.cancel();
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
  std::unordered_map<ConnId, std::size_t> merged;  // connection -> its output in the batch
  while (!registry_.outputs().empty() || !registry_.logs().empty() || !registry_.cluster_events().empty()) {
    if (wing_ != nullptr) wing_->TakeEvents();
    registry_.cluster_events().clear();  // standalone: none are made
    for (const std::string &line : registry_.logs()) LogLine(line);
    registry_.logs().clear();
    batch.clear();
    batch.swap(registry_.outputs());
    // One write per connection: the notices of a batch (a slot's callsign and model, the slots a
    // newcomer is given) joined in their order, a close after them.
    merged.clear();
    for (Output &out : batch) {
      if (out.kind == Output::Kind::kClose) {
        merged.erase(out.conn);  // the close stays where it is, after what came before it
        continue;
      }
      auto at = merged.emplace(out.conn, static_cast<std::size_t>(&out - batch.data()));
      if (at.second) continue;
      batch[at.first->second].text += out.text;
      out.conn = 0;  // sent with the first
    }
    for (const Output &out : batch) {
      if (out.conn == 0) continue;
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
    registry_.BeginTick(Now());
    TickPiece();
    ArmTick();
  });
}

void Server::TickPiece() {
  const bool more = registry_.ContinueTick(kTickPiece);
  Drain();
  if (more) {
    // The rest behind the datagrams that arrived meanwhile.
    asio::post(udp_.get_executor(), [this] {
      if (!stopped_) TickPiece();
    });
  } else {
    std::vector<std::string> summaries;
    events_.Flush(Now(), &summaries);
    refused_sends_.Flush(
        Now(), &udp_send_failures_, [](std::size_t) { return "outgoing datagram the socket refused"; },
        &summaries);
    for (const std::string &l : summaries) LogLine(l);
  }
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
                                        wing_ ? &shared : nullptr);
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
        wing_->Position(shared, datagram,
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
  if (registry_.HoldsPositions()) ReleaseHeld();
}

void Server::ReleaseHeld() {
  const double now = Now();
  timespec wall{};
  clock_gettime(CLOCK_REALTIME, &wall);
  const std::int64_t wall_us = static_cast<std::int64_t>(wall.tv_sec) * 1000000 + wall.tv_nsec / 1000;
  double waited = 0;
  int shared = -1;
  std::string_view values;
  relays_.clear();
  while (registry_.ReleaseHeld(now, &held_datagram_, &waited, &relays_, &values, wing_ ? &shared : nullptr)) {
    if (!registry_.outputs().empty() || !registry_.logs().empty() || !registry_.cluster_events().empty())
      Drain();
    // The values point into the held datagram, which the next release overwrites.
    QueueRelays(relays_.data(), relays_.data() + relays_.size(), values);
    FlushSends();
    relays_.clear();
    if (shared >= 0)
      wing_->Position(shared, held_datagram_, wall_us - static_cast<std::int64_t>(waited * 1e6));
  }
  if (registry_.HoldsPositions()) ArmRelease();
}

void Server::ArmRelease() {
  if (release_armed_ || stopped_) return;
  release_armed_ = true;
  // The next turn of a pilot at its rate.
  release_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / registry_.options().position_rate)));
  release_.async_wait([this](const asio::error_code &ec) {
    release_armed_ = false;
    if (ec || stopped_) return;
    ReleaseHeld();
  });
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
    if (segment_) send_key_[send_count_] = IpAddr::Hash()(r.to.ip) * 65599u + r.to.port;
    ++send_count_;
  }
}

int Server::JoinSegments() {
  const int n = send_count_;
  for (int i = 0; i < n; ++i) send_order_[i] = i;
  // By recipient, in the order queued.
  std::sort(send_order_.begin(), send_order_.begin() + n, [this](int a, int b) {
    return send_key_[a] != send_key_[b] ? send_key_[a] < send_key_[b] : a < b;
  });
  auto same_recipient = [this](int a, int b) {
    const msghdr &x = send_msg_[a].msg_hdr, &y = send_msg_[b].msg_hdr;
    return send_key_[a] == send_key_[b] && x.msg_namelen == y.msg_namelen &&
           std::memcmp(x.msg_name, y.msg_name, x.msg_namelen) == 0;
  };
  auto length = [this](int i) { return send_iov_[i][0].iov_len + send_iov_[i][1].iov_len; };
  int out = 0, iovs = 0;
  for (int k = 0; k < n;) {
    const int first = send_order_[k];
    const std::size_t size = length(first);
    // The run: reports to the same recipient of the same length, the last one possibly shorter.
    int end = k + 1;
    std::size_t bytes = size;
    while (end < n && end - k < kMaxSegments && same_recipient(first, send_order_[end])) {
      const std::size_t next = length(send_order_[end]);
      if (next > size || bytes + next > static_cast<std::size_t>(kMaxSegmentBytes)) break;
      bytes += next;
      ++end;
      if (next < size) break;
    }
    out_reports_[out] = end - k;
    mmsghdr &m = out_msg_[out];
    if (end - k == 1) {
      m = send_msg_[first];
    } else {
      std::memset(&m, 0, sizeof m);
      msghdr &h = m.msg_hdr;
      h.msg_name = send_msg_[first].msg_hdr.msg_name;
      h.msg_namelen = send_msg_[first].msg_hdr.msg_namelen;
      h.msg_iov = &out_iov_[iovs];
      for (int j = k; j < end; ++j) {
        out_iov_[iovs++] = send_iov_[send_order_[j]][0];
        out_iov_[iovs++] = send_iov_[send_order_[j]][1];
      }
      h.msg_iovlen = static_cast<std::size_t>(2 * (end - k));
      h.msg_control = out_ctl_[out].bytes;
      h.msg_controllen = sizeof out_ctl_[out].bytes;
      cmsghdr *c = CMSG_FIRSTHDR(&h);
      c->cmsg_level = SOL_UDP;
      c->cmsg_type = UDP_SEGMENT;
      c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
      const auto segment = static_cast<std::uint16_t>(size);
      std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
    }
    ++out;
    k = end;
  }
  return out;
}

void Server::FlushSends() {
  const int fd = udp_.native_handle();
  // Joined only when it saves sends; otherwise the queue goes as it is, a report a send.
  int count = send_count_;
  mmsghdr *msgs = send_msg_.data();
  const bool joined = segment_ && send_count_ > 1 && (count = JoinSegments()) < send_count_;
  if (joined) {
    msgs = out_msg_.data();
  } else {
    count = send_count_;
  }
  auto reports = [&](int from, int to) {
    if (!joined) return static_cast<std::uint64_t>(to - from);
    std::uint64_t sum = 0;
    for (int i = from; i < to; ++i) sum += static_cast<std::uint64_t>(out_reports_[i]);
    return sum;
  };
  int off = 0;
  while (off < count) {
    int n = sendmmsg(fd, msgs + off, count - off, MSG_DONTWAIT);
    if (n > 0) {
      reports_out_ += reports(off, off + n);
      for (int i = off; joined && i < off + n; ++i)
        if (out_reports_[i] > 1) segmented_reports_ += static_cast<std::uint64_t>(out_reports_[i]);
      off += n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The socket buffer is full: these reports are stale by the next frame anyway.
      udp_send_failures_ += reports(off, count);
      break;
    }
    if (joined && msgs[off].msg_hdr.msg_controllen != 0 && (errno == EIO || errno == EINVAL)) {
      // The way to this recipient cannot take segmented sends (no checksum offload, say): from now
      // on a report a send, starting with these.
      segment_ = false;
      LogLine(std::string("segmented sends refused (") + std::strerror(errno) + "): a report a send from now on");
      for (std::size_t i = 0; i < msgs[off].msg_hdr.msg_iovlen; i += 2) {
        msghdr h{};
        h.msg_name = msgs[off].msg_hdr.msg_name;
        h.msg_namelen = msgs[off].msg_hdr.msg_namelen;
        h.msg_iov = msgs[off].msg_hdr.msg_iov + i;
        h.msg_iovlen = 2;
        if (sendmsg(fd, &h, MSG_DONTWAIT) >= 0) {
          ++reports_out_;
        } else {
          ++udp_send_failures_;
        }
      }
      ++off;
      continue;
    }
    // This one destination failed (unreachable and the like): skip it, send the rest.
    udp_send_failures_ += reports(off, off + 1);
    ++off;
  }
  send_count_ = 0;
}

std::shared_ptr<StatusSnapshot> Server::Snapshot() const {
  auto s = std::make_shared<StatusSnapshot>();
  s->version = options_.version;
  s->node = options_.node_name;
  s->started = started_;
  s->taken = WallSeconds();
  StatusPilots(registry_, Now(), s->node, feed_key_, &s->pilots);
  s->connections_pending = registry_.pending();
  s->logins = registry_.events(Event::kLogin);
  s->refused_logins = registry_.events(Event::kRefusedLogin);
  s->positions_in = registry_.positions_in();
  s->reports_out = reports_out_;
  s->reports_refused = udp_send_failures_;
  s->reports_held = registry_.reports_held();
  s->reports_segmented = segmented_reports_;
  for (std::size_t k = 0; k < kDropKinds; ++k) s->dropped[k] = registry_.dropped(static_cast<Drop>(k));
  s->output_cap_cuts = output_cap_cuts_;
  s->chat_lines = registry_.chat_lines();
  s->latency = latency_;
  if (wing_ != nullptr) wing_->AddStatus(s.get());
  return s;
}

void Server::PublishTo(StatusBoard *board) {
  board_ = board;
  board_->Publish(Snapshot());
  ArmPublish();
}

void Server::ArmPublish() {
  publish_.expires_after(std::chrono::seconds(1));
  publish_.async_wait([this](const asio::error_code &ec) {
    if (ec || stopped_) return;
    board_->Publish(Snapshot());
    ArmPublish();
  });
}

}  // namespace skytether
