#include "test_peer.h"

#include "net/server_text.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace sttest {

namespace {

socklen_t Length(const sockaddr_storage &a) {
  return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

void NonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

sockaddr_storage SocketAddress(const std::string &text, uint16_t port) {
  sockaddr_storage a{};
  socklen_t length = 0;
  NumericServerAddress(text, port, a, length);
  return a;
}

TestPeer::TestPeer() : TestPeer(Options()) {}

TestPeer::TestPeer(const Options &options) {
  // Another checkout's tests may hold the port for a while: a bind failure is retried.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!Open(options) && std::chrono::steady_clock::now() < deadline) {
    CloseAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

bool TestPeer::Open(const Options &options) {
  sockaddr_storage addr = SocketAddress(options.address, options.port);
  int one = 1;
  ok_ = true;
  if (options.listen) {
    listener_ = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener_, reinterpret_cast<sockaddr *>(&addr), Length(addr)) != 0 ||
        listen(listener_, options.backlog) != 0) {
      ok_ = false;
    }
    NonBlocking(listener_);
  }
  if (options.bindDatagram) {
    udp_ = socket(addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (bind(udp_, reinterpret_cast<sockaddr *>(&addr), Length(addr)) != 0) ok_ = false;
    NonBlocking(udp_);
  }
  return ok_;
}

void TestPeer::CloseAll() {
  closeClient();
  if (listener_ >= 0) close(listener_);
  if (udp_ >= 0) close(udp_);
  listener_ = udp_ = -1;
}

TestPeer::~TestPeer() { CloseAll(); }

bool TestPeer::acceptPending() {
  if (listener_ < 0) return false;
  int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return false;
  closeClient();
  client_ = fd;
  clientClosed = false;
  return true;
}

size_t TestPeer::pollStream() {
  if (client_ < 0) return 0;
  size_t total = 0;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(client_, buf, sizeof buf, 0);
    if (n > 0) {
      streamText.append(buf, size_t(n));
      total += size_t(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) clientClosed = true;
    break;
  }
  return total;
}

bool TestPeer::sendStream(const std::string &bytes) {
  if (client_ < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

size_t TestPeer::sendStreamSome(const std::string &bytes) {
  if (client_ < 0) return 0;
  ssize_t n = send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  return n > 0 ? size_t(n) : 0;
}

void TestPeer::closeClient() {
  if (client_ >= 0) close(client_);
  client_ = -1;
}

void TestPeer::resetClient() {
  if (client_ < 0) return;
  linger l{1, 0};
  setsockopt(client_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  closeClient();
}

std::vector<std::string> TestPeer::streamLines() const {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t at = streamText.find('\n'); at != std::string::npos; at = streamText.find('\n', start)) {
    lines.push_back(streamText.substr(start, at + 1 - start));
    start = at + 1;
  }
  return lines;
}

size_t TestPeer::pollDatagrams() {
  if (udp_ < 0) return 0;
  size_t count = 0;
  char buf[65536];
  for (;;) {
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(udp_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
    if (n < 0) break;
    datagrams.emplace_back(buf, size_t(n));
    pluginAddress = from;
    knowsPlugin = true;
    ++count;
  }
  return count;
}

bool TestPeer::sendDatagram(const std::string &bytes) {
  if (udp_ < 0 || !knowsPlugin) return false;
  return sendto(udp_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&pluginAddress),
                Length(pluginAddress)) == ssize_t(bytes.size());
}

bool SendDatagramFrom(const std::string &sourceAddress, const sockaddr_storage &to,
                      const std::string &bytes) {
  sockaddr_storage src = SocketAddress(sourceAddress, 0);
  int fd = socket(src.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool sent = bind(fd, reinterpret_cast<sockaddr *>(&src), Length(src)) == 0 &&
              sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                     Length(to)) == ssize_t(bytes.size());
  close(fd);
  return sent;
}

}  // namespace sttest
