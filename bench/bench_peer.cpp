#include "bench_peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace bench {

namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

void NonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

void CloseFd(int &fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double ThreadCpu() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

BenchPeer::~BenchPeer() {
  CloseFd(client_);
  CloseFd(listener_);
  CloseFd(udp_);
}

bool BenchPeer::Open(double waitSeconds, std::string *error) {
  const double deadline = Now() + waitSeconds;
  sockaddr_in addr = Loopback(kProtocolPort);
  for (;;) {
    int one = 1;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // Room for every datagram a timed batch sends before it is drained.
    int big = 4 << 20;
    ::setsockopt(udp_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && ::listen(listener_, 8) == 0 &&
        ::bind(udp_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
      NonBlocking(listener_);
      NonBlocking(udp_);
      return true;
    }
    int err = errno;
    CloseFd(listener_);
    CloseFd(udp_);
    if (Now() > deadline) {
      *error = std::string("cannot take 127.0.0.1:49556: ") + std::strerror(err);
      return false;
    }
    ::usleep(200 * 1000);  // another test holds the port: wait for it to finish
  }
}

void BenchPeer::Poll() {
  if (listener_ >= 0) {
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      CloseFd(client_);
      client_ = fd;
    }
  }
  DrainStream();
  char buf[2048];
  for (;;) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(udp_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
    if (n < 0) break;
    lastDatagram_.assign(buf, size_t(n));
    pluginAddress_ = from;
    knowsPlugin_ = true;
    ++datagramsRead_;
  }
}

void BenchPeer::DrainStream() {
  if (client_ < 0) return;
  char buf[4096];
  for (;;) {
    ssize_t n = ::recv(client_, buf, sizeof buf, 0);
    if (n <= 0) break;
    streamText_.append(buf, size_t(n));
  }
}

std::size_t BenchPeer::DrainDatagrams() {
  constexpr int kBatch = 64;
  static char bufs[kBatch][2048];
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  std::size_t total = 0;
  for (;;) {
    for (int i = 0; i < kBatch; ++i) {
      iov[i] = iovec{bufs[i], sizeof bufs[i]};
      std::memset(&msgs[i], 0, sizeof msgs[i]);
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = ::recvmmsg(udp_, msgs, kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) break;
    total += size_t(n);
    if (n < kBatch) break;
  }
  datagramsRead_ += total;
  return total;
}

bool BenchPeer::SendDatagrams(const std::vector<std::string> &texts) {
  if (!knowsPlugin_) return false;
  constexpr size_t kBatch = 64;
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  size_t done = 0;
  while (done < texts.size()) {
    size_t count = std::min(kBatch, texts.size() - done);
    for (size_t i = 0; i < count; ++i) {
      const std::string &t = texts[done + i];
      iov[i] = iovec{const_cast<char *>(t.data()), t.size()};
      std::memset(&msgs[i], 0, sizeof msgs[i]);
      msgs[i].msg_hdr.msg_name = &pluginAddress_;
      msgs[i].msg_hdr.msg_namelen = sizeof pluginAddress_;
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = ::sendmmsg(udp_, msgs, unsigned(count), 0);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool BenchPeer::SendStream(const std::string &bytes) {
  if (client_ < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

}  // namespace bench
