#pragma once
// A fake server on 127.0.0.1: a stream listener and a datagram socket on one port (by default one
// the kernel picks, which the plugin's settings then name: serverText()), to accept the plugin's
// connection, read what it sends and send reports and notices back. Polled from the caller's own
// thread: nothing waits in a read while a test step or a timed call runs. Make it before the
// plugin connects: the plugin's datagram socket asks to bind the server's own address, which must
// already be taken.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#endif

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace harness {

constexpr uint16_t kProtocolPort = 49556;

class FakeServer {
 public:
  struct Options {
    std::string address = "127.0.0.1";  // or an IPv6 address ("::1")
    uint16_t port = 0;                  // 0: one the kernel picks (the same number for both sockets)
    bool listen = true;                 // open the stream listener (else the port is only held: refused)
    bool bindDatagram = true;  // take the datagram port
    int backlog = 8;
    double waitSeconds = 60;    // a fixed port another run holds is waited for this long
    int receiveBuffer = 0;      // > 0: the datagram socket's receive buffer, in bytes
    bool keepDatagrams = true;  // false: keep the last one only (benchmarks read millions)
  };
  FakeServer();
  explicit FakeServer(const Options &options);
  ~FakeServer();
  FakeServer(const FakeServer &) = delete;
  FakeServer &operator=(const FakeServer &) = delete;

  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }
  // "127.0.0.1:PORT" or "[::1]:PORT": what the plugin's server setting names to reach it.
  std::string serverText() const;
  const std::string &error() const { return error_; }
  int listenerFd() const { return listener_; }
  int datagramFd() const { return udp_; }

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
  size_t pollDatagrams();   // reads what is waiting into datagrams; learns the plugin's address
  size_t drainDatagrams();  // reads and forgets what is waiting, 64 a call; how many there were
  bool sendDatagram(const std::string &bytes);                // to the plugin's datagram socket
  bool sendDatagrams(const std::vector<std::string> &texts);  // each one datagram, 64 a call
  std::vector<std::string> datagrams;
  std::string lastDatagram;
  uint64_t datagramsRead = 0;
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
  bool keep_ = true;
  bool accepting_ = true;
  std::string address_;
  uint16_t port_ = 0;
  std::string error_;
  int listener_ = -1;
  int client_ = -1;
  int udp_ = -1;
};

// An IPv4 or IPv6 address in text, with the port.
sockaddr_storage SocketAddress(const std::string &text, uint16_t port);
// Sends one datagram from a socket bound to sourceAddress (any port) to the given address.
bool SendDatagramFrom(const std::string &sourceAddress, const sockaddr_storage &to, const std::string &bytes);

}  // namespace harness
