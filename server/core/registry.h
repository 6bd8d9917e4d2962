#pragma once
// The registry: who is logged in, who sees whom in which slot, what goes where.
// Pure: it owns no socket and reads no clock. Callers pass the time in seconds and
// carry out what it asks for (stream texts, closes, datagram relays, log lines).
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/accounts.h"
#include "core/address.h"
#include "core/chat.h"
#include "core/codec.h"
#include "core/counters.h"
#include "core/events.h"
#include "core/pilot.h"
#include "core/relay_rates.h"

namespace skytether {

// One datagram to send: the report header for `slot` then the relayed values.
struct Relay {
  Endpoint to;
  int slot = 0;
};

// What a cluster node must tell the others or ask Redis (only with RegistryOptions::cluster).
struct ClusterEvent {
  enum class Kind {
    kClaim,    // a login waits: may conn have uniqueID id? Answer with ClaimResult
    kRelease,  // uniqueID id is no longer used here
    kChanged,  // a local pilot's state changed (state)
    kGone,     // local pilot id logged out
    kChat,     // a chat line of a local pilot (text: the notice's text), for the other nodes
    kWatch,    // a local recipient holds remote pilot id: its positions are wanted
    kUnwatch,  // ... no longer
  };
  Kind kind = Kind::kChanged;
  int id = -1;
  ConnId conn = 0;
  std::string text;
  PilotState state;
};

// The operator's rules, asked at every login and chat line (none set: everyone may).
class AccessPolicy {
 public:
  virtual ~AccessPolicy() = default;
  // Why user (as it logs in, from address, with uniqueID id) may not log in now; empty when it may.
  virtual std::string LoginRefusal(std::string_view user, const IpAddr &address, int id) const = 0;
  // The pilot's chat is not relayed.
  virtual bool Muted(std::string_view user, const IpAddr &address, int id) const = 0;
};

struct Output {
  enum class Kind { kSend, kClose };
  Kind kind = Kind::kSend;
  ConnId conn = 0;
  std::string text;  // kSend: a complete notice line
};

struct RegistryOptions {
  int max_pilots = 1000;            // logged-in clients, observers included
  // Seconds without a datagram before a pilot leaves view; without a line or a datagram, before
  // a login with its uniqueID may take its session over.
  double idle_timeout = 20.0;
  double eval_interval = 1.0;       // nearest-19 re-evaluation period per recipient
  // Free slots filled per recipient at once, and again at each tick (nearest first): a crowd that
  // joins at once gets its slots over a few ticks, not two notices a slot for all of them at once.
  int fills_per_tick = 4;
  double margin_fraction = 0.10;    // an outsider must be nearer than the farthest holder
  double margin_meters = 1000.0;    //   by the larger of these two
  int chat_lines = 5;               // at most this many chat lines ...
  double chat_window = 5.0;         // ... in this many seconds per pilot,
  int chat_lines_per_address = 10;  // and this many per address;
  double chat_per_second = 20;      // lines delivered server-wide (as many at once) ...
  std::size_t chat_queue = 100;     // ... while the others wait here, up to this many
  int announce_burst = 4;           // callsign or model changes relayed at once ...
  double announce_interval = 5.0;   // ... then one per this many seconds per pilot
  int pending_per_address = 16;     // connections not logged in yet, per address ...
  int pending_total = 256;          // ... and in all; past either, the oldest is closed
  int port_move_datagrams = 3;      // a pilot's datagram port moves after this many from a new
  double port_quiet = 1.0;          //   one, the old one quiet for this many seconds
  double drop_log_interval = 1.0;   // drop summaries at most this often
  double login_timeout = 10.0;      // a connection must log in within this many seconds
  // Positions taken from one pilot: a plugin sends one a frame, so this is well above any real
  // frame rate; past it only the newest waits for the next turn, the rest are dropped before
  // they reach anyone.
  double position_rate = 150;  // a second, averaged over ...
  double position_burst = 30;  // ... this many positions (0.2 s)
  // A cluster node: logins wait for the cluster's word on their uniqueID, and the registry tells
  // the node what changes (cluster_events()). Off: the standalone server, no events at all.
  bool cluster = false;
  // Evaluates full tables by sorting too, as the short path must agree with (for tests).
  bool sort_every_evaluation = false;
  RelayRates relay_rates;  // how often a pilot's reports go to each holder, by distance
};

class Registry {
 public:
  // Without accounts any login is accepted.
  explicit Registry(RegistryOptions options = {}, const Accounts *accounts = nullptr);
  ~Registry();
  Registry(const Registry &) = delete;
  Registry &operator=(const Registry &) = delete;

  // A stream connection was accepted from peer. It may close older connections not logged in.
  void Connect(ConnId conn, const IpAddr &peer, double now);
  // The stream connection is gone (peer closed, error, cut). Unknown ids are ignored.
  void Disconnect(ConnId conn, double now, std::string_view reason);
  // One complete stream line (terminator removed).
  void OnLine(ConnId conn, std::string_view line, double now);
  // One datagram; relays for it are appended to *relays (not cleared here).
  // Returns true when the datagram is a position that should be relayed with
  // RelayedValues() of the parse, i.e. *relays got entries. *shared (when given) is the
  // uniqueID of a pilot in view whose position it is, for the other nodes of a cluster, or -1.
  bool OnDatagram(std::string_view datagram, const Endpoint &from, double now, std::vector<Relay> *relays,
                  std::string_view *values, int *shared = nullptr);
  // A position a pilot sent beyond its rate and that no newer one overtook, once the rate lets it
  // go: *datagram gets a copy of it, then it is taken as OnDatagram takes a position (values
  // point into *datagram); *waited is how long it was held. False when none is due.
  bool ReleaseHeld(double now, std::string *datagram, double *waited, std::vector<Relay> *relays,
                   std::string_view *values, int *shared = nullptr);
  // Whether positions wait for their pilot's rate (ReleaseHeld lets them go).
  bool HoldsPositions() const { return !held_.empty(); }
  // Idle timeouts, slot fills and nearest-19 re-evaluation, held announcements, chat delivery,
  // log summaries. Call a few times a second.
  void Tick(double now);
  // The same tick in pieces, so positions that arrive meanwhile need not wait for all of it:
  // BeginTick does the quick part; each ContinueTick then walks the recipients until it has run
  // `evaluations` of them (fills and re-evaluations), and says whether any remain.
  void BeginTick(double now);
  bool ContinueTick(std::size_t evaluations);
  void CountDrop(Drop kind) { ++drops_[static_cast<int>(kind)]; }

  // What the caller must do; it clears these after carrying them out.
  std::vector<Output> &outputs() { return outputs_; }
  std::vector<std::string> &logs() { return logs_; }
  std::vector<ClusterEvent> &cluster_events() { return cluster_events_; }

  // ---- the operator's controls (registry_admin.cpp) ----

  void SetPolicy(const AccessPolicy *policy) { policy_ = policy; }
  // Closes this node's sessions of uniqueID id (id >= 0) or of user ID user, and its logins
  // waiting for the cluster's word, each told `notice` (a chat line) first; the logout's reason
  // in the log is why. Returns the names of the pilots closed ("1111 (alice/AAA)").
  std::vector<std::string> Kick(int id, std::string_view user, std::string_view why, std::string_view notice,
                                double now);
  // The same for every session of this node (logged in or waiting for the cluster) that match takes.
  std::vector<std::string> KickIf(const std::function<bool(const Client &)> &match, std::string_view why,
                                  std::string_view notice, double now);
  // The accounts now in force (the caller keeps them): this node's pilots whose user ID they no
  // longer hold are logged out. Returns their names.
  std::vector<std::string> ReplaceAccounts(const Accounts *accounts, double now);
  // The user ID a local pilot logged in with; empty when id is not logged in here.
  std::string AccountOf(int id) const;

  // ---- the other nodes of a cluster: their pilots are pilots without a connection here ----

  // A pilot of another node as its node describes it: callsign and model changes reach its
  // holders here, in view it takes free slots, out of view (or an observer) it leaves them.
  // False (and nothing changes) when the uniqueID is logged in or being claimed here.
  bool UpdateRemote(std::string_view node, const PilotState &p);
  // A remote pilot left (logout); only if node is still its node.
  void RemoveRemote(std::string_view node, int id, std::string_view why);
  // Every pilot of a node that left or went silent; costs time in proportion to its pilots.
  void RemoveNode(std::string_view node, std::string_view why);
  // A position of a remote pilot, as it sent it, that reached its node at `arrived` (this node's
  // clock; it paces the relay and moves no other clock of the registry): relayed as a local one's
  // would be. steps: the change rule's word on it as its node weighed it (steps_word()), taken as
  // this node's own; -1: weighed here.
  bool OnRemoteDatagram(int id, std::string_view datagram, double arrived, std::vector<Relay> *relays,
                        std::string_view *values, int steps = -1);
  // The change rule's word on the last position a local pilot sent: bit k set when it goes to
  // recipients at step k. A cluster node weighs every step (the other nodes' recipients may be at
  // any); kEveryStep under another rule.
  static constexpr int kEveryStep = 0xff;
  int steps_word() const { return steps_word_; }
  // A chat line from another node, to every client here within the chat budget.
  void RemoteChat(std::string_view text);
  // The answer to a kClaim: the login goes on, or is refused as in use on another node.
  void ClaimResult(ConnId conn, int id, bool granted, double now);
  // A local pilot whose uniqueID another node holds: its connection is closed.
  void Evict(int id, std::string_view why);
  // Every local logged-in client as the other nodes should know it.
  std::vector<PilotState> LocalPilots() const;
  std::size_t remote_pilots() const { return remote_.size(); }
  // Calls f(const Client &) for every logged-in client, local and remote.
  template <typename F>
  void ForEachPilot(F f) const {
    for (const auto &entry : by_id_) f(*entry.second);
    for (const auto &entry : remote_) f(*entry.second);
  }
  std::uint64_t positions_in() const { return positions_in_; }
  // Reports the relay rates held back (a later report of the same pilot went instead).
  std::uint64_t reports_held() const { return reports_held_; }
  std::uint64_t chat_lines() const { return chat_lines_; }

  const RegistryOptions &options() const { return options_; }

  // Inspection (tests and status lines).
  std::uint64_t dropped(Drop kind) const { return drops_[static_cast<int>(kind)]; }
  std::uint64_t events(Event kind) const { return events_.total(kind); }
  std::size_t logged_in() const { return by_id_.size(); }
  std::size_t pending() const { return pending_.size(); }
  bool IsLoggedIn(int id) const { return by_id_.count(id) != 0; }
  // The uniqueID logged in on conn, -1 when none.
  int IdOf(ConnId conn) const;
  bool IsObserver(int id) const;
  bool HoldsPositionOf(int id) const;
  bool InView(int id) const;
  // The slot pilot_id holds on recipient_id, 0 when none.
  int SlotOf(int recipient_id, int pilot_id) const;
  // uniqueIDs per slot on a recipient, -1 for a free slot; empty if unknown recipient.
  std::vector<int> SlotTable(int recipient_id) const;
  // Every slot entry matched by the holder's back reference, nobody twice on one
  // recipient, nobody on its own table, no observer or out-of-view pilot held.
  bool CheckConsistency(std::string *why) const;

 private:
  using Age = std::pair<double, ConnId>;  // connected at, then id: oldest first
  struct Address {
    int clients = 0;
    std::set<Age> pending;
    RecentTimes chat;  // the last chat lines accepted from the address
  };

  Client *FindConn(ConnId conn) const;
  // A local pilot or a remote one.
  Client *FindPilot(int id) const;
  void Login(Client &c, const ClientLine &m, double now);
  void CompleteLogin(Client &c, double now);
  void Emit(ClusterEvent::Kind kind, const Client &c);
  // A report of p, arrived at t, for each of its holders whose datagram address is known and whose
  // pace lets it go; false when none.
  bool RelayTo(Client &p, const Position &pos, double t, std::vector<Relay> *relays, int given_steps = -1);
  // Reads what the change rule needs of a report of p that arrived at t into p.motion.
  void ReadMotion(Client &p, const Position &pos, double t);
  // Takes a position of a local pilot that passed every check (and its rate).
  bool TakePosition(Client &c, const Position &pos, std::vector<Relay> *relays, std::string_view *values,
                    int *shared);
  // Sets where a pilot is (and the unit vector the distances use).
  void PlaceAt(Client &c, double lat, double lon);
  void Refuse(Client &c, int id, std::string_view user, std::string_view why);
  void Remove(Client &c, std::string_view why);
  void Erase(Client &c);
  void ForgetNodePilot(const std::string &node, int id);
  void ClosePending(ConnId conn, std::string_view why);
  void SetCallsign(Client &c, std::string_view raw, bool observer_keyword);
  void SetModel(Client &c, std::string_view raw);
  void Announce(Client &c, bool model, std::string value);
  void SendAnnouncement(Client &c, bool model);
  void ReleaseHeld(Client &c);
  void Chat(Client &c, std::string_view raw, double now);
  void DeliverChat(double now);
  void MakeObserver(Client &c);
  void Show(Client &p);
  void Hide(Client &p, std::string_view why);
  void Give(Client &r, Client &p);
  void Free(Client &r, int slot, bool announce, std::string_view why);
  void Evaluate(Client &r, bool allow_swap);
  void Send(const Client &to, std::string text);
  void Note(Event kind, std::string line);
  std::string Name(const Client &c) const;

  RegistryOptions options_;
  const Accounts *accounts_;
  const AccessPolicy *policy_ = nullptr;
  std::map<ConnId, std::unique_ptr<Client>> clients_;  // every stream connection
  std::unordered_map<int, Client *> by_id_;            // logged-in clients by uniqueID
  std::vector<Client *> visible_;                      // pilots in view, in any order
  std::vector<UnitVector> visible_places_;             // ... and their places, in the same order
  std::set<Age> pending_;                              // connections not logged in
  // Every address with a connection: its connections not logged in, its chat allowance.
  std::unordered_map<IpAddr, Address, IpAddr::Hash> addresses_;
  std::unordered_map<int, std::unique_ptr<Client>> remote_;  // other nodes' pilots by uniqueID
  std::unordered_map<std::string, std::unordered_set<int>> node_pilots_;  // ... by their node
  std::unordered_map<int, ConnId> claiming_;                 // logins waiting for the cluster's word
  std::vector<int> held_;  // pilots with a position held back by their rate (some may have left)
  std::vector<ClusterEvent> cluster_events_;
  ChatQueue chat_queue_;  // chat notices not yet delivered
  EventLog events_;
  double now_ = 0;  // the time of the call being served
  std::vector<Output> outputs_;
  std::vector<std::string> logs_;
  std::array<std::uint64_t, kDropKinds> drops_{};
  DropSummary drop_summary_;
  std::uint64_t positions_in_ = 0;  // positions accepted from local pilots (observers apart)
  std::uint64_t chat_lines_ = 0;    // chat lines delivered
  RelayPacer pacer_;
  int steps_word_ = kEveryStep;
  std::uint64_t reports_held_ = 0;
  std::uint64_t eval_epoch_ = 0;
  double last_tick_ = 0;
  // The tick under way: its time, the recipients it still has to walk, its re-evaluation budget.
  double tick_now_ = 0;
  std::vector<int> tick_ids_;
  std::size_t tick_next_ = 0;
  std::size_t tick_due_left_ = 0;

  struct Candidate {
    Client *pilot;
    double key;  // squared chord between unit vectors: orders like great-circle distance
  };
  std::vector<Candidate> scratch_holders_, scratch_outsiders_;
};

}  // namespace skytether
