#pragma once
// A fake server on 127.0.0.1: a stream listener and a datagram socket on the protocol's port, to
// accept the plugin's connection, read what it sends and send reports and notices back.
// Make it before the plugin connects: the plugin's datagram socket asks to bind the server's own
// address, which must already be taken.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "skyhost/Host.h"

namespace sttest {

constexpr uint16_t kProtocolPort = 49556;

class TestPeer {
 public:
  struct Options {
    std::string address = "127.0.0.1";  // or an IPv6 address ("::1")
    uint16_t port = kProtocolPort;
    bool listen = true;        // open the stream listener
    bool bindDatagram = true;  // take the datagram port
    int backlog = 8;
  };
  TestPeer();
  explicit TestPeer(const Options &options);
  ~TestPeer();
  TestPeer(const TestPeer &) = delete;
  TestPeer &operator=(const TestPeer &) = delete;

  bool ok() const { return ok_; }
  int listenerFd() const { return listener_; }

  // ---- stream ----
  bool acceptPending();  // takes a waiting connection, if any (replacing a previous client)
  bool hasClient() const { return client_ >= 0; }
  size_t pollStream();  // reads what is waiting into streamText; notes a close
  bool sendStream(const std::string &bytes);
  size_t sendStreamSome(const std::string &bytes);  // as much as the socket takes now
  void closeClient();
  void resetClient();  // closes with a reset instead of an orderly end
  std::vector<std::string> streamLines() const;  // streamText split after each "\n"
  std::string streamText;
  bool clientClosed = false;

  // ---- datagrams ----
  size_t pollDatagrams();  // reads what is waiting into datagrams; learns the plugin's address
  bool sendDatagram(const std::string &bytes);  // to the plugin's datagram socket
  std::vector<std::string> datagrams;
  bool knowsPlugin = false;
  sockaddr_storage pluginAddress{};

  void poll() {
    acceptPending();
    pollStream();
    pollDatagrams();
  }

 private:
  bool Open(const Options &options);
  void CloseAll();

  bool ok_ = false;
  int listener_ = -1;
  int client_ = -1;
  int udp_ = -1;
};

// An IPv4 or IPv6 address in text, with the port.
sockaddr_storage SocketAddress(const std::string &text, uint16_t port);
// Sends one datagram from a socket bound to sourceAddress (any port) to the given address.
bool SendDatagramFrom(const std::string &sourceAddress, const sockaddr_storage &to, const std::string &bytes);

// Runs frames of the host (simulated 60 fps, paced by nothing) and polls the peer after each,
// until done() holds or timeoutSeconds of wall-clock time pass. Returns done().
template <typename Done>
bool RunUntil(skyhost::Host &host, TestPeer *peer, Done done, double timeoutSeconds = 5.0) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    host.runFrame(1.0 / 60.0);
    if (peer != nullptr) peer->poll();
  }
  return true;
}

}  // namespace sttest
