#include "fake_server.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace harness {

namespace {

socklen_t Length(const sockaddr_storage &a) {
  return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

#if defined(_WIN32)
// Winsock, started once for the test program's life.
struct Winsock {
  Winsock() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};
void Start() { static Winsock winsock; }
void NonBlocking(int fd) {
  u_long on = 1;
  ioctlsocket(SOCKET(fd), FIONBIO, &on);
}
int OpenSocket(int family, int type) {
  Start();
  const SOCKET s = socket(family, type, 0);
  return s == INVALID_SOCKET ? -1 : int(s);
}
int Accept(int listener) {
  const SOCKET s = accept(SOCKET(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return -1;
  NonBlocking(int(s));
  return int(s);
}
void CloseSocket(int fd) { closesocket(SOCKET(fd)); }
bool Retry() { return WSAGetLastError() == WSAEWOULDBLOCK || WSAGetLastError() == WSAEINTR; }
std::string LastError() { return "error " + std::to_string(WSAGetLastError()); }
constexpr int kNoSignal = 0;
#else
void NonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }
int OpenSocket(int family, int type) { return socket(family, type | SOCK_CLOEXEC, 0); }
int Accept(int listener) { return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }
void CloseSocket(int fd) { close(fd); }
bool Retry() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
std::string LastError() { return std::strerror(errno); }
constexpr int kNoSignal = MSG_NOSIGNAL;
#endif

}  // namespace

sockaddr_storage SocketAddress(const std::string &text, uint16_t port) {
  sockaddr_storage a{};
  auto *v4 = reinterpret_cast<sockaddr_in *>(&a);
  auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a);
  if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
  } else if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
  }
  return a;
}

FakeServer::FakeServer() : FakeServer(Options()) {}

FakeServer::FakeServer(const Options &options) : keep_(options.keepDatagrams), address_(options.address) {
  // A fixed port another run may hold for a while is waited for; with port 0 the kernel picks
  // the stream's port and the datagram port must then be free under the same number, which a
  // few tries find.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.waitSeconds);
  for (int tries = 0; !Open(options); ++tries) {
    CloseAll();
    if (options.port == 0 ? tries >= 50 : std::chrono::steady_clock::now() >= deadline) break;
    if (options.port != 0) std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

bool FakeServer::Open(const Options &options) {
  sockaddr_storage addr = SocketAddress(options.address, options.port);
  ok_ = true;
  port_ = options.port;
  const auto fail = [this](const char *what) {
    if (ok_) error_ = std::string("cannot take ") + what + ": " + LastError();
    ok_ = false;
  };
  // The stream port is taken even when nothing listens on it (a connect is then refused), so
  // that with port 0 no other run can listen there meanwhile.
  if (options.listen || options.port == 0) {
    listener_ = OpenSocket(addr.ss_family, SOCK_STREAM);
#if !defined(_WIN32)  // on Windows it would let another socket take the port from this one
    const int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
    if (bind(listener_, reinterpret_cast<sockaddr *>(&addr), Length(addr)) != 0 ||
        (options.listen && listen(listener_, options.backlog) != 0)) {
      fail("the stream port");
    }
    NonBlocking(listener_);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (ok_ && getsockname(listener_, reinterpret_cast<sockaddr *>(&bound), &length) == 0) {
      port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(bound).sin6_port
                                                : reinterpret_cast<sockaddr_in &>(bound).sin_port);
    }
    if (!options.listen) accepting_ = false;
  }
  if (options.bindDatagram && ok_) {
    addr = SocketAddress(options.address, port_);
    udp_ = OpenSocket(addr.ss_family, SOCK_DGRAM);
    // Room for every datagram a timed batch sends before it is drained.
    if (options.receiveBuffer > 0)
      setsockopt(udp_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&options.receiveBuffer),
                 sizeof options.receiveBuffer);
    if (bind(udp_, reinterpret_cast<sockaddr *>(&addr), Length(addr)) != 0) fail("the datagram port");
    NonBlocking(udp_);
  }
  if (ok_) error_.clear();
  return ok_;
}

std::string FakeServer::serverText() const {
  const bool v6 = address_.find(':') != std::string::npos;
  return (v6 ? "[" + address_ + "]" : address_) + ":" + std::to_string(port_);
}

void FakeServer::CloseAll() {
  closeClient();
  if (listener_ >= 0) CloseSocket(listener_);
  if (udp_ >= 0) CloseSocket(udp_);
  listener_ = udp_ = -1;
}

FakeServer::~FakeServer() {
  CloseAll();
}

bool FakeServer::acceptPending() {
  if (listener_ < 0 || !accepting_) return false;
  int fd = Accept(listener_);
  if (fd < 0) return false;
  closeClient();
  client_ = fd;
  clientClosed = false;
  return true;
}

size_t FakeServer::pollStream() {
  if (client_ < 0) return 0;
  size_t total = 0;
  char buf[4096];
  for (;;) {
    const long n = long(recv(client_, buf, sizeof buf, 0));
    if (n > 0) {
      streamText.append(buf, size_t(n));
      total += size_t(n);
      continue;
    }
    if (n == 0 || !Retry()) clientClosed = true;
    break;
  }
  return total;
}

bool FakeServer::sendStream(const std::string &bytes) {
  if (client_ < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const long n = long(send(client_, bytes.data() + done, int(bytes.size() - done), kNoSignal));
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

size_t FakeServer::sendStreamSome(const std::string &bytes) {
  if (client_ < 0) return 0;
  const long n = long(send(client_, bytes.data(), int(bytes.size()), kNoSignal));
  return n > 0 ? size_t(n) : 0;
}

void FakeServer::closeClient() {
  if (client_ >= 0) CloseSocket(client_);
  client_ = -1;
}

void FakeServer::resetClient() {
  if (client_ < 0) return;
  linger l{1, 0};
  setsockopt(client_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&l), sizeof l);
  closeClient();
}

std::vector<std::string> FakeServer::streamLines() const {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t at = streamText.find('\n'); at != std::string::npos; at = streamText.find('\n', start)) {
    lines.push_back(streamText.substr(start, at + 1 - start));
    start = at + 1;
  }
  return lines;
}

size_t FakeServer::pollDatagrams() {
  if (udp_ < 0) return 0;
  size_t count = 0;
  char buf[65536];
  for (;;) {
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    const long n = long(recvfrom(udp_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len));
    if (n < 0) break;
    lastDatagram.assign(buf, size_t(n));
    if (keep_) datagrams.push_back(lastDatagram);
    pluginAddress = from;
    knowsPlugin = true;
    ++datagramsRead;
    ++count;
  }
  return count;
}

size_t FakeServer::drainDatagrams() {
#if defined(_WIN32)
  size_t total = 0;
  char buf[2048];
  while (recv(udp_, buf, sizeof buf, 0) >= 0 || WSAGetLastError() == WSAEMSGSIZE) ++total;
#else
  constexpr int kBatch = 64;
  static char bufs[kBatch][2048];
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  size_t total = 0;
  for (;;) {
    for (int i = 0; i < kBatch; ++i) {
      iov[i] = iovec{bufs[i], sizeof bufs[i]};
      std::memset(&msgs[i], 0, sizeof msgs[i]);
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(udp_, msgs, kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) break;
    total += size_t(n);
    if (n < kBatch) break;
  }
#endif
  datagramsRead += total;
  return total;
}

bool FakeServer::sendDatagrams(const std::vector<std::string> &texts) {
  if (udp_ < 0 || !knowsPlugin) return false;
#if defined(_WIN32)
  for (const std::string &t : texts)
    if (!sendDatagram(t)) return false;
  return true;
#else
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
      msgs[i].msg_hdr.msg_name = &pluginAddress;
      msgs[i].msg_hdr.msg_namelen = Length(pluginAddress);
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = sendmmsg(udp_, msgs, unsigned(count), 0);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
#endif
}

bool FakeServer::sendDatagram(const std::string &bytes) {
  if (udp_ < 0 || !knowsPlugin) return false;
  return long(sendto(udp_, bytes.data(), int(bytes.size()), 0, reinterpret_cast<const sockaddr *>(&pluginAddress),
                     Length(pluginAddress))) == long(bytes.size());
}

bool SendDatagramFrom(const std::string &sourceAddress, const sockaddr_storage &to,
                      const std::string &bytes) {
  sockaddr_storage src = SocketAddress(sourceAddress, 0);
  int fd = OpenSocket(src.ss_family, SOCK_DGRAM);
  bool sent = bind(fd, reinterpret_cast<sockaddr *>(&src), Length(src)) == 0 &&
              long(sendto(fd, bytes.data(), int(bytes.size()), 0, reinterpret_cast<const sockaddr *>(&to),
                          Length(to))) == long(bytes.size());
  CloseSocket(fd);
  return sent;
}

}  // namespace harness
