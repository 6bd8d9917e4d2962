// The server's registry driven by any sequence of connections, stream bytes (split into lines as
// a session splits them), datagrams and ticks. After every step: the registry's own consistency
// check holds, every notice is one message the plugin reads, every slot a recipient loses is
// announced to it with "BLANK" (name and model), and each position goes to exactly the
// recipients that hold its sender, in the slot they hold it in.
// An input whose first byte is 0xC1 runs the registry of a cluster node instead: logins wait for
// answers the input gives, and other nodes' pilots come, change, send positions and go (through
// the same decoding as messages from Redis); their positions too go to exactly their holders, and
// the node watches exactly the remote pilots its recipients hold.
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cluster/wire.h"
#include "core/codec.h"
#include "fuzz_input.h"
#include "net/wire.h"
#include "core/registry.h"

using namespace skytether;

namespace {

// uniqueIDs 1..24 in the canned lines, and room for 22: tables fill up (nearest-19 swaps), and the
// server can be full.
constexpr int kIds = 24;

struct Conn {
  IpAddr ip;
  std::string pending;  // stream bytes not yet split into a line
  bool open = true;
  int id = -1;  // the uniqueID it logged in with, once the registry knows it
};

class Run {
 public:
  explicit Run(bool cluster) : registry_(Options(cluster)), cluster_(cluster) {}

  void Step(fuzz::Input &in) {
    now_ += 0.01;
    Before();
    switch (in.Byte() % (cluster_ ? 12 : 8)) {
      case 0:
        Connect(in);
        break;
      case 1:
        if (Conn *c = PickOpen(in)) Drop(*c);
        break;
      case 2: {
        Conn *c = PickOpen(in);
        const std::string bytes = in.ShortString();
        if (c) Feed(*c, bytes);
        break;
      }
      case 3: {
        Conn *c = PickOpen(in);
        const int id = 1 + int(in.Pick(kIds));
        if (c) Feed(*c, Login(id));
        break;
      }
      case 4: {
        Conn *c = PickOpen(in);
        const std::string line = Canned(c, in);
        if (c) Feed(*c, line);
        break;
      }
      case 5: {
        const std::string d = in.ShortString();
        Datagram(d, From(in));
        break;
      }
      case 6:
        Position(in);
        break;
      case 7:
        now_ += in.Byte() * 0.05;
        registry_.Tick(now_);
        break;
      case 8:
        RemoteState(in);
        break;
      case 9: {
        const std::string node = Node(in);
        const int id = 1 + int(in.Pick(kIds));
        if (in.Flag())
          registry_.RemoveNode(node, "node left");
        else
          registry_.RemoveRemote(node, id, "left");
        break;
      }
      case 10:
        RemotePosition(in);
        break;
      case 11:
        Answer(in);
        break;
    }
    After();
  }

 private:
  static RegistryOptions Options(bool cluster) {
    RegistryOptions o;
    o.max_pilots = 22;
    o.idle_timeout = 3.0;
    o.cluster = cluster;
    o.position_rate = 20;  // steps are 10 ms apart: pilots go over their rate
    o.position_burst = 2;
    return o;
  }

  static std::string Node(fuzz::Input &in) { return in.Flag() ? "n2" : "n3"; }

  // Another node's word on one of its pilots, as it reads from Redis.
  void RemoteState(fuzz::Input &in) {
    const std::string node = Node(in);
    const int id = 1 + int(in.Pick(kIds));
    const uint8_t flags = in.Byte();
    const double lat = 47.0 + (in.Byte() - 128) * 0.01, lon = 8.0 + (in.Byte() - 128) * 0.01;
    const std::string callsign = in.ShortString(), model = in.ShortString();
    std::string text = "C\t" + node + "\t" + node + "\nP\t" + std::to_string(id) + "\t" +
                       (flags % 8 == 0 ? "o"
                        : flags % 2    ? "v"
                                       : "-") +
                       "\t" + std::to_string(lat) + "\t" + std::to_string(lon) + "\t" + callsign + "\t" +
                       model + "\n";
    Presence p;
    if (!DecodePresence(text, &p)) return;  // a tab or line break in the texts: not ours
    for (const PilotState &ps : p.pilots) registry_.UpdateRemote(node, ps);
  }

  void RemotePosition(fuzz::Input &in) {
    const int id = 1 + int(in.Pick(kIds));
    const int sender = in.Byte() % 8 == 0 ? 1 + int(in.Pick(kIds)) : id;
    const double lat = 47.0 + (in.Byte() - 128) * 0.01, lon = 8.0 + (in.Byte() - 128) * 0.01;
    const std::string d = PositionLine(sender, in.Byte() % 16 == 0, lat, lon);
    const bool in_view = registry_.InView(id) && !registry_.IsLoggedIn(id);
    std::vector<Relay> relays;
    std::string_view values;
    const bool relay = registry_.OnRemoteDatagram(id, d, now_, &relays, &values);
    Collect();
    skytether::Position pos;
    const bool valid = ParsePosition(d, &pos) && pos.id == id && !pos.observer;
    CheckRelays(valid && in_view ? id : -1, relays, values, d);
    FUZZ_CHECK(relay == !relays.empty(), d);
  }

  // The cluster's answer to a login that waits (or to one whose connection is gone), or a chat
  // line from another node, or another node holding a local pilot's uniqueID.
  void Answer(fuzz::Input &in) {
    const uint8_t what = in.Byte();
    const size_t which = in.Pick(8);
    if (what % 4 == 3) return registry_.RemoteChat(SanitizeText(in.ShortString(), 233));
    if (what % 4 == 2) return registry_.Evict(1 + int(which % kIds), "uniqueID in use on another node");
    if (claims_.empty()) return;
    const auto claim = claims_[which % claims_.size()];
    claims_.erase(claims_.begin() + long(which % claims_.size()));
    registry_.ClaimResult(claim.first, claim.second, what % 4 == 0, now_);
    auto it = conns_.find(claim.first);
    if (it != conns_.end() && registry_.IdOf(claim.first) >= 0) it->second.id = registry_.IdOf(claim.first);
  }

  // Every choice reads its bytes whatever the state, so an input means the same steps in any run.
  Conn *PickOpen(fuzz::Input &in) {
    const uint8_t which = in.Byte();
    std::vector<Conn *> open;
    for (auto &entry : conns_)
      if (entry.second.open) open.push_back(&entry.second);
    if (open.empty()) return nullptr;
    return open[which % open.size()];
  }

  static IpAddr Ip(size_t which) { return IpAddr::V4(127, 0, 0, uint8_t(1 + which)); }

  Endpoint From(fuzz::Input &in) {
    Endpoint e;
    e.ip = Ip(in.Pick(2));
    e.port = uint16_t(40000 + in.Pick(2));
    return e;
  }

  void Connect(fuzz::Input &in) {
    ConnId id = next_++;
    conns_[id].ip = Ip(in.Pick(2));
    registry_.Connect(id, conns_[id].ip, now_);
  }

  void Drop(Conn &c) {
    c.open = false;
    registry_.Disconnect(IdOf(c), now_, "connection closed");
  }

  ConnId IdOf(const Conn &c) const {
    for (const auto &entry : conns_)
      if (&entry.second == &c) return entry.first;
    return 0;
  }

  static std::string Login(int id) {
    return std::to_string(id) + "|Opening Connection|user" + std::to_string(id) + "|" + std::string(32, 'a') +
           "|\n";
  }

  // A line of a kind the plugin sends, mostly with the connection's own uniqueID.
  static std::string Canned(const Conn *c, fuzz::Input &in) {
    const uint8_t own = in.Byte();
    const int other = 1 + int(in.Pick(kIds));
    const uint8_t kind = in.Byte();
    const std::string text = in.ShortString();
    const std::string id = std::to_string(c != nullptr && c->id >= 0 && own % 8 != 0 ? c->id : other);
    switch (kind % 6) {
      case 0:
        return id + "|CALLSIGN|" + text + "|\n";
      case 1:
        return id + "|VOCALLSIGN|" + text + "|\n";
      case 2:
        return id + "|PLANE|/sim/Aircraft/" + text + "/plane.acf\n";
      case 3:
        return id + "|MESSAGE|" + text + "\n";
      case 4:
        return id + "|Closing Connection\n";
      default:
        return id + "|PLANE|" + text + "\n";
    }
  }

  // As a session does: whole lines to the registry, an over-long one cuts the connection.
  void Feed(Conn &c, const std::string &bytes) {
    c.pending += bytes;
    const ConnId id = IdOf(c);
    for (;;) {
      std::string_view line;
      size_t used = 0;
      SplitResult r = SplitLine(c.pending, &line, &used);
      if (r == SplitResult::kNeedMore) return;
      if (r == SplitResult::kBad) {
        c.open = false;
        registry_.Disconnect(id, now_, "cut: line over 4096 bytes");
        return;
      }
      const std::string text(line);
      c.pending.erase(0, used);
      registry_.OnLine(id, text, now_);
      // A login may also take over the silent session of its uniqueID (closed by Collect).
      if (registry_.IdOf(id) >= 0) c.id = registry_.IdOf(id);
      Collect();
      if (!c.open) return;
    }
  }

  void Position(fuzz::Input &in) {
    const int id = 1 + int(in.Pick(kIds));
    const double lat = 47.0 + (in.Byte() - 128) * 0.01, lon = 8.0 + (in.Byte() - 128) * 0.01;
    const bool observer = in.Byte() % 16 == 0;
    const size_t ip = in.Pick(2);
    const bool fromOwn = in.Byte() % 4 != 0;
    const uint16_t port = uint16_t(40000 + in.Pick(2));
    const std::string d = PositionLine(id, observer, lat, lon);
    Endpoint from;
    from.ip = Ip(ip);
    for (const auto &entry : conns_)
      if (fromOwn && entry.second.open && entry.second.id == id) from.ip = entry.second.ip;
    from.port = port;
    Datagram(d, from);
  }

  static std::string PositionLine(int id, bool observer, double lat, double lon) {
    std::string d = std::to_string(id) + (observer ? "|VOLOC" : "|LOC");
    for (int i = 0; i < kPositionValues; ++i) {
      if (i == 3)
        d += "|" + std::to_string(lat);
      else if (i == 4)
        d += "|" + std::to_string(lon);
      else if (i >= 27 && i < 32)
        d += "|1";
      else
        d += "|0.5";
    }
    return d;
  }

  // Whether the registry should take a position from `from`: from the pilot's own IP, not a
  // view-only one unless it is an observer, and from its datagram port. The first datagram
  // teaches the port; another port takes over after 3 datagrams once the old one has been quiet
  // for a second.
  bool Accepts(const skytether::Position &pos, const Endpoint &from) {
    bool own_ip = false;
    for (const auto &entry : conns_)
      own_ip |= entry.second.open && entry.second.id == pos.id && entry.second.ip == from.ip;
    if (!own_ip || !registry_.IsLoggedIn(pos.id) || (pos.observer && !registry_.IsObserver(pos.id)))
      return false;
    Port &p = ports_[pos.id];
    if (udp_.count(pos.id) && !(udp_[pos.id] == from)) {
      if (!(p.candidate == from)) p.candidate = from, p.count = 0;
      if (++p.count < 3 || now_ - p.heard < 1.0) return false;
    }
    udp_[pos.id] = from;
    p.heard = now_;
    p.count = 0;
    return true;
  }

  void Datagram(const std::string &d, const Endpoint &from) {
    skytether::Position pos;
    const bool parses = ParsePosition(d, &pos);
    const bool accepts = parses && Accepts(pos, from);
    std::vector<Relay> relays;
    std::string_view values;
    const bool relay = registry_.OnDatagram(d, from, now_, &relays, &values);
    Collect();

    // Past its rate a pilot's newest position waits for its turn (Release).
    const bool held = accepts && registry_.HoldsPositionOf(pos.id);
    CheckRelays(accepts && !held && !registry_.IsObserver(pos.id) ? pos.id : -1, relays, values, d);
    FUZZ_CHECK(relay == !relays.empty(), d);
  }

  // Positions held back by their pilot's rate go, when they go, to exactly its holders.
  void Release() {
    std::string d;
    double waited = 0;
    std::vector<Relay> relays;
    std::string_view values;
    while (registry_.ReleaseHeld(now_, &d, &waited, &relays, &values)) {
      Collect();
      skytether::Position pos;
      FUZZ_CHECK(ParsePosition(d, &pos) && waited >= 0, "released " + d);
      CheckRelays(pos.id, relays, values, d);
      relays.clear();
    }
  }

  // The relays of a position of pilot `sender` (-1: one nobody may get): its holders, in the slots
  // they hold it in, each a report the plugin reads whole; those the relay rates hold back counted.
  void CheckRelays(int sender, const std::vector<Relay> &relays, std::string_view values,
                   const std::string &d) {
    using Target = std::pair<std::string, int>;  // (recipient address, slot)
    std::vector<Target> want, got;
    if (sender >= 0) {
      for (const auto &entry : udp_) {
        int slot = registry_.SlotOf(entry.first, sender);
        if (slot > 0) want.emplace_back(Name(entry.second), slot);
      }
    }
    for (const Relay &r : relays) {
      got.emplace_back(Name(r.to), r.slot);
      // What the recipient's plugin gets: a report it reads whole, for a slot of its own.
      const std::string report = std::string(ReportHeader(r.slot)) + std::string(values);
      int n = 0;
      char letter = 0;
      size_t header = 0;
      ReportFields f;
      FUZZ_CHECK(report.size() <= kMaxDatagram && MatchDatagramHeader(report, n, letter, header) &&
                     n == r.slot && n >= 1 && n < kSlots && letter == 'l' &&
                     MatchPositionReport(std::string_view(report).substr(header), f),
                 report);
    }
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    FUZZ_CHECK(std::includes(want.begin(), want.end(), got.begin(), got.end()) &&
                   registry_.reports_held() - held_ == want.size() - got.size(),
               "relays of " + d);
    held_ = registry_.reports_held();
  }

  static std::string Name(const Endpoint &e) { return e.ip.ToString() + ":" + std::to_string(e.port); }

  // Outputs of the last call: closes forget the connection, sends are checked and kept.
  void Collect() {
    for (Output &o : registry_.outputs()) {
      auto it = conns_.find(o.conn);
      FUZZ_CHECK(it != conns_.end(), "output for an unknown connection");
      if (o.kind == Output::Kind::kClose) {
        it->second.open = false;
        continue;
      }
      CheckNotice(o.text);
      sent_[o.conn].push_back(o.text);
    }
    registry_.outputs().clear();
    registry_.logs().clear();
    for (const ClusterEvent &e : registry_.cluster_events()) {
      if (e.kind == ClusterEvent::Kind::kClaim) claims_.emplace_back(e.conn, e.id);
      if (e.kind == ClusterEvent::Kind::kWatch) FUZZ_CHECK(watched_.insert(e.id).second, "watched twice");
      if (e.kind == ClusterEvent::Kind::kUnwatch)
        FUZZ_CHECK(watched_.erase(e.id) == 1, "unwatched unwatched");
    }
    FUZZ_CHECK(cluster_ || registry_.cluster_events().empty(), "a standalone server told a cluster");
    registry_.cluster_events().clear();
  }

  // One name or model notice, or the chat lines of one tick: each line is one message, whole.
  static void CheckNotice(const std::string &text) {
    FUZZ_CHECK(!text.empty() && text.back() == '\n' && text.find('\r') == std::string::npos, text);
    std::string buffer, again;
    AppendStreamText(buffer, text.data(), text.size());
    int count = 0, chat = 0;
    TakeStreamMessages(buffer, [&](const StreamMessage &m) {
      ++count;
      chat += m.letter == 'm';
      FUZZ_CHECK(m.letter == 'm' ? m.number == 0
                                 : (m.letter == 'c' || m.letter == 'p') && m.number >= 1 && m.number < kSlots,
                 text);
      again += std::to_string(m.number) + "|" + m.letter + "|" + m.text + "\n";
    });
    FUZZ_CHECK(again == text && buffer.empty() && (count == 1 || chat == count),
               "the plugin reads whole messages, one unless chat: " + text);
  }

  // Slot tables by connection: a login that takes over a silent session's uniqueID is another
  // recipient, whose plugin starts with an empty table.
  std::map<ConnId, std::vector<int>> Tables() const {
    std::map<ConnId, std::vector<int>> t;
    for (const auto &entry : conns_)
      if (entry.second.open && entry.second.id >= 0 && registry_.IdOf(entry.first) == entry.second.id)
        t[entry.first] = registry_.SlotTable(entry.second.id);
    return t;
  }

  void Before() {
    held_ = registry_.reports_held();
    tables_ = Tables();
    sent_.clear();
  }

  void After() {
    Release();
    Collect();
    for (auto &entry : conns_) {
      Conn &c = entry.second;
      if (c.id >= 0 && (!c.open || !registry_.IsLoggedIn(c.id))) {
        udp_.erase(c.id);
        ports_.erase(c.id);
        c.id = -1;
      }
    }
    std::string why;
    FUZZ_CHECK(registry_.CheckConsistency(&why), why);
    // The node listens to the positions of exactly the remote pilots that its recipients hold.
    std::set<int> held;
    for (int id = 1; id <= kIds; ++id) {
      if (registry_.IsLoggedIn(id)) continue;
      for (const auto &entry : conns_)
        if (entry.second.id >= 0 && registry_.SlotOf(entry.second.id, id) > 0) held.insert(id);
    }
    FUZZ_CHECK(held == watched_, "watched pilots out of step with the tables");

    const auto now = Tables();
    for (const auto &entry : conns_) {
      const Conn &c = entry.second;
      if (c.id < 0 || !tables_.count(entry.first) || !now.count(entry.first)) continue;
      const std::vector<int> &was = tables_.at(entry.first), &is = now.at(entry.first);
      const std::vector<std::string> &notices = sent_[entry.first];
      for (int s = 1; s < kSlots; ++s) {
        const std::string c_blank = std::to_string(s) + "|c|BLANK\n",
                          p_blank = std::to_string(s) + "|p|BLANK\n";
        const std::string c_any = std::to_string(s) + "|c|", p_any = std::to_string(s) + "|p|";
        // The last name and model notice for s this step: a blank one if the slot is free now.
        std::string lastC, lastP;
        bool blankC = false, blankP = false;
        for (const std::string &n : notices) {
          if (n.rfind(c_any, 0) == 0) lastC = n, blankC |= n == c_blank;
          if (n.rfind(p_any, 0) == 0) lastP = n, blankP |= n == p_blank;
        }
        if (was[s] != -1 && is[s] != was[s])
          FUZZ_CHECK(blankC && blankP,
                     "slot " + std::to_string(s) + " on " + std::to_string(c.id) + " freed unannounced");
        if (is[s] == -1)
          FUZZ_CHECK((lastC.empty() || lastC == c_blank) && (lastP.empty() || lastP == p_blank),
                     lastC + lastP);
      }
    }
  }

  Registry registry_;
  bool cluster_;
  std::vector<std::pair<ConnId, int>> claims_;  // logins waiting for the cluster's answer
  std::set<int> watched_;                       // remote pilots whose positions the node wants
  std::map<ConnId, Conn> conns_;
  std::map<int, Endpoint> udp_;  // datagram address per logged-in uniqueID, as the registry should know it
  struct Port {
    double heard = 0;  // the last datagram taken from udp_
    Endpoint candidate;
    int count = 0;  // datagrams from candidate since
  };
  std::map<int, Port> ports_;
  std::map<ConnId, std::vector<int>> tables_;
  std::map<ConnId, std::vector<std::string>> sent_;
  ConnId next_ = 1;
  double now_ = 0;
  std::uint64_t held_ = 0;  // reports held back before this step
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const bool cluster = size > 0 && data[0] == 0xC1;
  fuzz::Input in(data + cluster, size - cluster);
  Run run(cluster);
  for (int steps = 0; !in.empty() && steps < 1000; ++steps) run.Step(in);
  return 0;
}
