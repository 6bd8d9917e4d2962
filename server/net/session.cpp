#include "net/session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cstring>

#include "net/clock.h"
#include "net/server.h"

namespace skytether {

Session::Session(Server &server, asio::ip::tcp::socket socket, ConnId id)
    : server_(server),
      socket_(std::move(socket)),
      id_(id),
      gate_(server.options().flood_burst, server.options().flood_rate) {}

void Session::Start() {
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

void Session::Send(const std::string &text) {
  if (closed_) return;
  if (out_.size() - out_off_ + text.size() > server_.options().max_pending_output) {
    server_.CountOutputCapCut();
    return Cut("not reading: pending output over " + std::to_string(server_.options().max_pending_output) +
               " bytes");
  }
  out_ += text;
  if (!waiting_write_) Write();
}

void Session::Close() {
  if (closed_) return;
  closed_ = true;
  asio::error_code ec;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket_.close(ec);
  server_.Forget(id_);
}

void Session::Read() {
  auto self = shared_from_this();
  socket_.async_wait(asio::ip::tcp::socket::wait_read, [this, self](const asio::error_code &ec) {
    if (closed_) return;
    if (ec) return Lost("read error: " + ec.message());
    OnReadable();
  });
}

void Session::OnReadable() {
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

void Session::Split() {
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
    double now = Now();
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

void Session::Write() {
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

void Session::Lost(const std::string &why) {
  if (closed_) return;
  Close();
  server_.registry().Disconnect(id_, Now(), why);
  server_.Drain();
}

void Session::Cut(const std::string &why) {
  if (closed_) return;
  server_.Note(Event::kSessionCut, "connection " + std::to_string(id_) + " cut: " + why);
  Lost("cut: " + why);
}

}  // namespace skytether
