#pragma once
// The relay: one TCP listener with its sessions and one UDP socket, on one port, all driven from
// one io_context thread. Everything they learn goes to the Registry; everything it asks for is
// carried out here. A wing attached from outside (the cluster node) is known only through
// RelayWing; the status snapshot is handed to readers on other threads through a StatusBoard.
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/events.h"
#include "core/registry.h"
#include "core/status.h"
#include "net/asio.h"
#include "net/steering.h"

namespace skytether {

struct ServerOptions {
  std::string listen = "0.0.0.0";
  int port = kPort;  // 0: pick a port free for both TCP and UDP
  std::size_t max_pending_output = 256 * 1024;  // per connection, before it is cut
  double flood_burst = 400;      // stream lines allowed at once ...
  double flood_rate = 200;       // ... and per second after that
  double tick_interval = 0.1;    // seconds between registry ticks
  // Seconds a position may have waited in the socket and still be relayed (0: any age). When
  // the server falls behind, what it relays stays fresh instead of ever later.
  double max_report_age = 0.1;
  // Reports of one length to one recipient go out as one send the kernel cuts into datagrams
  // (UDP_SEGMENT), where the kernel offers it.
  bool udp_segment = true;
  // Keepalive on every stream: probes after this many idle seconds, then every interval seconds;
  // the peer is dead after count unanswered ones (25 s in all), or as long without an ACK.
  int keepalive_idle = 10;
  int keepalive_interval = 5;
  int keepalive_count = 3;
  // One of several nodes on this address and port (SO_REUSEPORT groups, steered by source).
  bool steered = false;
  SteeringOptions steering;
  // How the status snapshot names this server.
  std::string version;
  std::string node_name;
};

// A wing attached to the relay (the cluster node): what the relay hands it, and asks of it.
class RelayWing {
 public:
  virtual ~RelayWing() = default;
  // Carries out what the registry asked of the cluster (Registry::cluster_events()).
  virtual void TakeEvents() = 0;
  // A position of a pilot here, in view, as it came, and when it reached the socket
  // (microseconds since 1970). Called after the pilots here have their reports.
  virtual void Position(int id, std::string_view datagram, std::int64_t arrival_us) = 0;
  // Its figures, and its names for the pilots of other nodes, into the status snapshot.
  virtual void AddStatus(StatusSnapshot *s) const = 0;
};

class Session;

class Server {
 public:
  Server(asio::io_context &io, ServerOptions options, Registry &registry);
  ~Server();

  // Binds both sockets and starts serving; false with a message if it cannot.
  bool Start(std::string *error);
  // Closes every socket; the io_context then runs out of work.
  void Stop();
  std::string local_address() const;
  int local_port() const { return port_; }

  // Makes this server a cluster node: the wing hears of the registry's cluster events and of
  // the positions of pilots in view.
  void Attach(RelayWing *wing) { wing_ = wing; }
  // Carries out the registry's outputs and prints its log lines (and has the wing carry out what
  // the registry asked of the cluster).
  void Drain();
  // Sends values behind each relay's header; a copy of values is kept until FlushRelays().
  void RelayCopy(std::string_view values, const std::vector<Relay> &relays);
  void FlushRelays();
  // The snapshot of the whole server: registry, relay figures, and the wing's part.
  std::shared_ptr<StatusSnapshot> Snapshot() const;
  // Publishes a snapshot on the board now and every second until Stop().
  void PublishTo(StatusBoard *board);
  // The secret the feed's pilot ids are made with (see FeedId).
  void SetFeedKey(std::string key) { feed_key_ = std::move(key); }

  Registry &registry() { return registry_; }
  const ServerOptions &options() const { return options_; }
  void Forget(ConnId id);
  // Logs one event a client can repeat, within its kind's allowance (see EventLog).
  void Note(Event kind, std::string line);
  void CountOutputCapCut() { ++output_cap_cuts_; }

 private:
  static constexpr int kRecvBatch = 64;
  static constexpr int kSendBatch = 512;
  static constexpr int kRecvRounds = 16;  // batches per wake-up before TCP gets a turn
  static constexpr std::size_t kTickPiece = 32;  // recipients evaluated before waiting datagrams get a turn

  void Accept();
  void ArmUdp();
  void ReadDatagrams();
  // When the kernel stamped a datagram's arrival (`now` when it did not).
  timespec Arrival(const msghdr &h, const timespec &now) const;
  void QueueRelays(const Relay *begin, const Relay *end, std::string_view values);
  void FlushSends();
  // Joins the queued reports to one recipient into segmented sends (its runs of one length, the
  // last of a run possibly shorter, in the order queued) into out_msg_; how many sends.
  int JoinSegments();
  // Positions held back by their pilot's rate, as their turns come.
  void ReleaseHeld();
  void ArmRelease();
  void ArmTick();
  void TickPiece();
  void ArmPublish();

  ServerOptions options_;
  Registry &registry_;
  asio::ip::tcp::acceptor acceptor_;
  asio::ip::udp::socket udp_;
  asio::steady_timer tick_;
  asio::steady_timer accept_retry_;
  asio::steady_timer publish_;
  asio::steady_timer release_;
  bool release_armed_ = false;
  std::string held_datagram_;  // the held position being released
  StatusBoard *board_ = nullptr;
  std::string feed_key_;
  bool udp_v6_ = false;
  int port_ = 0;
  bool stopped_ = false;
  bool draining_ = false;
  ConnId next_conn_ = 1;
  std::unordered_map<ConnId, std::shared_ptr<Session>> sessions_;
  double started_ = 0;  // seconds since 1970

  // Datagram batches, reused for every read so the relay path allocates nothing.
  std::array<std::array<char, kMaxDatagram + 1>, kRecvBatch> recv_buf_;
  std::array<mmsghdr, kRecvBatch> recv_msg_;
  std::array<iovec, kRecvBatch> recv_iov_;
  std::array<sockaddr_storage, kRecvBatch> recv_addr_;
  union ArrivalControl {
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(timespec))];
  };
  std::array<ArrivalControl, kRecvBatch> recv_ctl_;
  std::array<mmsghdr, kSendBatch> send_msg_;
  std::array<std::array<iovec, 2>, kSendBatch> send_iov_;
  std::array<sockaddr_storage, kSendBatch> send_addr_;
  int send_count_ = 0;
  // Segmented sends, built from the queue at each flush where the kernel offers them.
  static constexpr int kMaxSegments = 64;       // the kernel's limit for one send
  static constexpr int kMaxSegmentBytes = 60000;  // a send's bytes in all, below the datagram limit
  bool segment_ = false;
  union SegmentControl {
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(std::uint16_t))];
  };
  std::array<std::uint64_t, kSendBatch> send_key_;  // the recipient, to group by
  std::array<int, kSendBatch> send_order_;
  std::array<mmsghdr, kSendBatch> out_msg_;
  std::array<int, kSendBatch> out_reports_;  // reports in each send
  std::array<iovec, 2 * kSendBatch> out_iov_;
  std::array<SegmentControl, kSendBatch> out_ctl_;
  std::uint64_t segmented_reports_ = 0;
  std::vector<Relay> relays_;
  RelayWing *wing_ = nullptr;
  // Values of remote positions, kept while sends point into them; never grows past its first
  // capacity (a full arena is flushed first).
  std::string remote_values_;
  std::uint64_t udp_send_failures_ = 0;
  std::uint64_t reports_out_ = 0, output_cap_cuts_ = 0;
  LatencyHistogram latency_;
  std::array<timespec, kRecvBatch> relayed_arrivals_;  // of this round's relayed positions
  EventLog events_;
  DropSummary refused_sends_{1, 0};  // reports the socket refused, summed up at each tick
  double accept_backoff_ = 0;        // seconds; doubles while accept keeps failing
};

}  // namespace skytether
