#pragma once
// The server's side of the plugin benchmarks: a stream listener and a datagram socket on the
// protocol's address, polled from the benchmark's own thread (nothing waits in a read while a
// timed call runs, so no wake-up cost lands in the figures).
#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

constexpr std::uint16_t kProtocolPort = 49556;

class BenchPeer {
 public:
  BenchPeer() = default;
  ~BenchPeer();
  BenchPeer(const BenchPeer &) = delete;
  BenchPeer &operator=(const BenchPeer &) = delete;

  // Takes 127.0.0.1:49556 for both sockets, retrying while another run holds the port.
  bool Open(double waitSeconds, std::string *error);

  // Accepts a waiting connection and reads what the plugin sent; learns its datagram address.
  void Poll();
  bool HasClient() const { return client_ >= 0; }
  bool KnowsPlugin() const { return knowsPlugin_; }
  const sockaddr_in &PluginAddress() const { return pluginAddress_; }
  const std::string &StreamText() const { return streamText_; }
  const std::string &LastDatagram() const { return lastDatagram_; }
  std::uint64_t DatagramsRead() const { return datagramsRead_; }

  // Reads and discards every waiting datagram (batched); returns how many there were.
  std::size_t DrainDatagrams();
  // Sends each text as one datagram to the plugin's socket (one sendmmsg call per 64).
  bool SendDatagrams(const std::vector<std::string> &texts);
  bool SendStream(const std::string &bytes);
  void DrainStream();

  int DatagramFd() const { return udp_; }

 private:
  int listener_ = -1;
  int client_ = -1;
  int udp_ = -1;
  bool knowsPlugin_ = false;
  sockaddr_in pluginAddress_{};
  std::string streamText_;
  std::string lastDatagram_;
  std::uint64_t datagramsRead_ = 0;
};

// Seconds on the monotonic clock.
double Now();
// CPU seconds (user + system) used by this thread so far.
double ThreadCpu();

}  // namespace bench
