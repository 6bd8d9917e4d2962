// The registry without sockets: logins, slots, relays and notices as actions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "position_text.h"
#include "core/registry.h"
#include "core/status.h"

using namespace skytether;
using Lines = std::vector<std::string>;

namespace {

const std::string kZeros(32, '0');

// Clients by uniqueID, what each was sent, and each one's own picture of its slots
// built only from the notices it got, the way the plugin keeps it.
struct World {
  explicit World(RegistryOptions o = {}, const Accounts *accounts = nullptr) : reg(o, accounts) {}

  ConnId Open(int id, IpAddr ip = IpAddr::V4(127, 0, 0, 1)) {
    conn[id] = next;
    id_of[next] = id;
    reg.Connect(next, ip, now);
    Collect();
    return next++;
  }
  void Line(int id, const std::string &line) {
    reg.OnLine(conn.at(id), line, now);
    Collect();
  }
  ConnId Login(int id, const std::string &user = "user", const std::string &token = kZeros,
               IpAddr ip = IpAddr::V4(127, 0, 0, 1)) {
    ConnId c = Open(id, ip);
    Line(id, std::to_string(id) + "|Opening Connection|" + user + "|" + token + "|");
    return c;
  }
  void Join(int id, const std::string &callsign, const std::string &model = "") {
    Login(id, "u" + std::to_string(id));
    if (!model.empty()) Line(id, std::to_string(id) + "|PLANE|" + model);
    Line(id, std::to_string(id) + "|CALLSIGN|" + callsign + "|");
  }
  static std::uint16_t Port(int id) { return static_cast<std::uint16_t>(20000 + id); }
  std::vector<Relay> Pos(int id, double lat, double lon, bool observer = false, std::uint16_t port = 0,
                         IpAddr ip = IpAddr::V4(127, 0, 0, 1)) {
    std::vector<Relay> relays;
    std::string_view values;
    std::string text = PositionText(id, observer, lat, lon);
    bool any = reg.OnDatagram(text, Endpoint{ip, port ? port : Port(id)}, now, &relays, &values);
    EXPECT_EQ(any, !relays.empty());
    if (any) {
      EXPECT_EQ(std::string(values), text.substr(text.find("LOC|") + 4));
    }
    Collect();
    return relays;
  }
  void Advance(double dt) {
    now += dt;
    reg.Tick(now);
    Collect();
  }
  void Collect() {
    // A cluster node's questions: claims are granted at once unless the test answers them.
    std::vector<ClusterEvent> fresh;
    fresh.swap(reg.cluster_events());
    for (ClusterEvent &e : fresh) {
      if (e.kind == ClusterEvent::Kind::kClaim && grant_claims) reg.ClaimResult(e.conn, e.id, true, now);
      events.push_back(std::move(e));
    }
    if (!reg.cluster_events().empty()) return Collect();
    for (Output &o : reg.outputs()) {
      if (o.kind == Output::Kind::kClose) {
        closed.insert(o.conn);
        continue;
      }
      int id = id_of.at(o.conn);
      sent[id].push_back(o.text);
      std::size_t bar = o.text.find('|');
      int slot = std::stoi(o.text);
      std::string text = o.text.substr(bar + 3, o.text.size() - bar - 4);
      if (text == "BLANK") text.clear();
      if (o.text[bar + 1] == 'c') callsign_seen[id][slot] = text;
      if (o.text[bar + 1] == 'p') model_seen[id][slot] = text;
    }
    reg.outputs().clear();
    reg.logs().clear();
  }
  Lines Take(int id) { return std::exchange(sent[id], {}); }
  bool Closed(int id) { return closed.count(conn.at(id)) != 0; }
  void ExpectConsistent() {
    std::string why;
    EXPECT_TRUE(reg.CheckConsistency(&why)) << why;
  }
  static Lines Blanks(int slot) {
    std::string s = std::to_string(slot);
    return {s + "|c|BLANK\n", s + "|p|BLANK\n"};
  }

  Registry reg;
  double now = 1000.0;
  ConnId next = 1;
  std::map<int, ConnId> conn;
  std::map<ConnId, int> id_of;
  std::map<int, Lines> sent;
  std::set<ConnId> closed;
  std::map<int, std::map<int, std::string>> callsign_seen, model_seen;
  std::vector<ClusterEvent> events;
  bool grant_claims = true;
};

double Km(double km) { return km / 111.195; }  // degrees of latitude

// Every report to every holder, whatever the distance: for tests of where reports go.
RegistryOptions EveryReport() {
  RegistryOptions o;
  o.relay_rates.on = false;
  return o;
}

RegistryOptions Rule(const char *rates) {
  RegistryOptions o;
  std::string error;
  EXPECT_TRUE(o.relay_rates.Parse(rates, &error)) << error;
  return o;
}

}  // namespace

RegistryOptions Clustered() {
  RegistryOptions o;
  o.cluster = true;
  return o;
}

PilotState Remote(int id, double lat, double lon, std::string callsign = "RRR", bool in_view = true) {
  PilotState p;
  p.id = id;
  p.in_view = in_view;
  p.lat = lat;
  p.lon = lon;
  p.callsign = std::move(callsign);
  p.model = "Aircraft/Jets/Liner/liner.acf";
  return p;
}

// The events of one kind the registry told the cluster about, as "kind id" or "kind text".
std::vector<std::string> Told(World &w, ClusterEvent::Kind kind) {
  std::vector<std::string> out;
  for (const ClusterEvent &e : w.events) {
    if (e.kind == kind) out.push_back(e.text.empty() ? std::to_string(e.id) : e.text);
  }
  return out;
}

// ---- logins ----

TEST(RegistryLogin, AccountsCheckTheTokenOpenServerDoesNot) {
  World open;
  open.Login(5, "anyone");
  EXPECT_TRUE(open.reg.IsLoggedIn(5));

  Accounts accounts;
  std::string error;
  ASSERT_TRUE(accounts.Parse("# pilots\n\nalice pw\n  bob  two words \r\n", &error)) << error;
  World w({}, &accounts);
  w.Login(42, "alice", "92421ec809d0f17913ba3ea24db1039d");  // md5("42alicepw")
  w.Login(43, "alice", "92421ec809d0f17913ba3ea24db1039d");  // a token for another uniqueID
  w.Login(44, "mallory", LoginToken(44, "mallory", "pw"));
  w.Login(45, "bob", LoginToken(45, "bob", "two words "));  // the rest of the line, as the plugin hashes it
  w.Login(46, "bob", LoginToken(46, "bob", "two words"));
  EXPECT_TRUE(w.reg.IsLoggedIn(42) && w.reg.IsLoggedIn(45));
  EXPECT_FALSE(w.reg.IsLoggedIn(43) || w.reg.IsLoggedIn(44) || w.reg.IsLoggedIn(46));
  EXPECT_TRUE(w.Closed(43) && w.Closed(44) && !w.Closed(42));
  EXPECT_EQ(w.reg.events(Event::kRefusedLogin), 3u);
  std::vector<std::string> notes;
  EXPECT_TRUE(Accounts::Problems("alice pw\n  bob  two words \r\n", &notes).empty());
  EXPECT_EQ(notes, (std::vector<std::string>{"line 2: the password ends in a blank, which is part of it"}));

  EXPECT_FALSE(accounts.Parse("alice pw\nbob\n", &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
  EXPECT_FALSE(accounts.Parse("alice pw\nalice other\n", &error));
}

TEST(RegistryLogin, UniqueIdInUseAndFullServerAreRefusedASilentSessionIsReplaced) {
  RegistryOptions o;
  o.max_pilots = 2;
  o.idle_timeout = 20;
  World w(o);
  ConnId first = w.Login(1);
  w.Join(2, "BBB");
  w.Pos(1, 0, 0);
  w.Pos(2, 0, 0);
  ConnId again = w.Login(1);
  EXPECT_TRUE(w.closed.count(again) && !w.closed.count(first));
  EXPECT_EQ(w.reg.IdOf(first), 1);
  w.Login(3);
  EXPECT_TRUE(w.Closed(3));
  EXPECT_EQ(w.reg.logged_in(), 2u);

  // Its link died: no line and no datagram for longer than the idle timeout. The plugin comes
  // back with the same uniqueID, from another port or address, and takes the session over.
  for (int i = 0; i < 19; ++i) {
    w.Advance(1);
    w.Line(1, "1|CALLSIGN|AAA|");  // a line keeps a session alive as a datagram does
    w.Pos(2, 0, 0);
  }
  EXPECT_TRUE(w.closed.count(w.Login(1)));
  int slot = w.reg.SlotOf(2, 1);
  ASSERT_NE(slot, 0);
  w.Take(2);
  for (int i = 0; i < 21; ++i) {
    w.Advance(1);
    w.Pos(2, 0, 0);
  }
  EXPECT_EQ(w.Take(2), World::Blanks(slot)) << "idle";
  ConnId back = w.Login(1, "user", kZeros, IpAddr::V4(10, 1, 2, 3));
  EXPECT_TRUE(w.closed.count(first) && !w.closed.count(back));
  EXPECT_EQ(w.reg.IdOf(back), 1);
  EXPECT_EQ(w.reg.IdOf(first), -1);
  EXPECT_EQ(w.reg.SlotTable(1),
            std::vector<int>({-1, 2, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}))
      << "the new session starts afresh, and sees who flies";
  EXPECT_EQ(w.reg.events(Event::kReplacedSession), 1u);
  w.ExpectConsistent();
}

TEST(RegistryLogin, StrayLinesAreDroppedAndCountedByKind) {
  World w;
  w.Open(9);
  w.Line(9, "9|MESSAGE|hi");
  EXPECT_EQ(w.reg.dropped(Drop::kBeforeLogin), 1u);
  w.Line(9, "9|Opening Connection|u|" + kZeros + "|");
  w.Line(9, "8|MESSAGE|spoofed");
  w.Line(9, "9|Opening Connection|u|" + kZeros + "|");
  w.Line(9, "9|WHAT|x");
  w.Line(9, "garbage");
  EXPECT_EQ(w.reg.dropped(Drop::kWrongId), 1u);
  EXPECT_EQ(w.reg.dropped(Drop::kRepeatLogin), 1u);
  EXPECT_EQ(w.reg.dropped(Drop::kUnknownKeyword), 1u);
  EXPECT_EQ(w.reg.dropped(Drop::kMalformed), 1u);
  EXPECT_TRUE(w.Take(9).empty()) << "nothing answers dropped input";

  ConnId silent = w.Open(3);
  w.Advance(11);
  EXPECT_TRUE(w.closed.count(silent)) << "a connection that never logs in is closed";
}

TEST(RegistryLogin, ConnectionsNotLoggedInMakeRoomOldestFirst) {
  RegistryOptions o;
  o.pending_per_address = 4;
  o.pending_total = 6;
  World w(o);
  const IpAddr hostile = IpAddr::V4(10, 0, 0, 66);
  std::vector<ConnId> held;
  for (int i = 0; i < 10; ++i, w.now += 0.01) held.push_back(w.Open(100 + i, hostile));
  EXPECT_EQ(w.reg.pending(), 4u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(w.closed.count(held[i]) == 1, i < 6) << i;
  // Another address gets its turn while the first holds its cap; past the total, the oldest goes.
  for (int i = 0; i < 3; ++i, w.now += 0.01) w.Open(200 + i, IpAddr::V4(10, 0, 0, 1 + i));
  EXPECT_EQ(w.reg.pending(), 6u);
  EXPECT_TRUE(w.closed.count(held[6]) && !w.closed.count(held[7]));
  w.Line(200, "200|Opening Connection|u|" + kZeros + "|");
  EXPECT_TRUE(w.reg.IsLoggedIn(200));
  EXPECT_EQ(w.reg.pending(), 5u) << "a login leaves the count";
  EXPECT_EQ(w.reg.events(Event::kPendingCut), 7u);

  // The one that makes room may be the last of the newcomer's own address.
  o.pending_total = 1;
  World one(o);
  ConnId first = one.Open(1, hostile), second = one.Open(2, hostile);
  EXPECT_TRUE(one.closed.count(first) && !one.closed.count(second));
  EXPECT_EQ(one.reg.pending(), 1u);
}

// ---- slots and relay ----

TEST(RegistrySlots, NoticesFirstThenStableSlots) {
  World w;
  w.Join(1, "AAA", "/home/u/Sim/Aircraft/GA/Trainer/Trainer.acf");
  w.Join(2, "BBB");
  w.Join(3, "CCC");
  w.Join(4, "DDD");  // never sends a datagram: holds slots, gets notices, no reports
  w.Pos(2, 0, 0);
  w.Pos(3, 0, 0);
  w.Take(2);
  auto relays = w.Pos(1, 0, 0.1);
  ASSERT_EQ(relays.size(), 2u);
  int slot = w.reg.SlotOf(2, 1);
  for (const Relay &r : relays) EXPECT_EQ(r.slot, w.reg.SlotOf(r.to.port - 20000, 1));
  // By the time the reports are handed out, name and model are queued, once per slot.
  std::string s = std::to_string(slot);
  EXPECT_EQ(w.Take(2), (Lines{s + "|c|AAA\n", s + "|p|Aircraft/GA/Trainer/Trainer.acf\n"}));
  ASSERT_NE(w.reg.SlotOf(4, 1), 0);
  EXPECT_EQ(w.callsign_seen[4][w.reg.SlotOf(4, 1)], "AAA");

  auto table = w.reg.SlotTable(2);
  for (int i = 0; i < 30; ++i) {
    for (int id : {1, 2, 3}) w.Pos(id, i * 0.001, id * 0.01);
    w.Advance(0.4);
  }
  EXPECT_EQ(w.reg.SlotTable(2), table);
  EXPECT_TRUE(w.Take(2).empty());
  w.ExpectConsistent();
}

TEST(RegistrySlots, DatagramPortIsLearnedStrangersAndJunkChangeNothing) {
  World w(EveryReport());
  w.Join(1, "AAA");
  w.Join(2, "BBB");
  w.Pos(2, 0, 0, false, 5000);
  w.Pos(2, 0, 0, false, 6666, IpAddr::V4(10, 0, 0, 9));  // 2's uniqueID from another host
  w.Pos(77, 0, 0);                                     // nobody logged in as 77
  EXPECT_EQ(w.reg.dropped(Drop::kStranger), 2u);
  std::vector<Relay> relays;
  std::string_view values;
  std::string junk = PositionText(1, false, 0, 0) + "|9";
  EXPECT_FALSE(w.reg.OnDatagram(junk, Endpoint{IpAddr::V4(127, 0, 0, 1), 1}, w.now, &relays, &values));
  EXPECT_EQ(w.reg.dropped(Drop::kBadDatagram), 1u);
  EXPECT_FALSE(w.reg.InView(1)) << "a refused datagram does not put its sender in view";

  relays = w.Pos(1, 0, 0);
  ASSERT_EQ(relays.size(), 1u);
  EXPECT_EQ(relays[0].to.port, 5000);

  // Another port of the same address, while the pilot keeps sending from its own: never moves it.
  for (int i = 0; i < 30; ++i, w.now += 0.1) {
    EXPECT_TRUE(w.Pos(2, 1, 1, false, 5001).empty());
    w.Pos(2, 0, 0, false, 5000);
  }
  EXPECT_EQ(w.reg.dropped(Drop::kOtherPort), 30u);
  EXPECT_EQ(w.Pos(1, 0, 0).at(0).to.port, 5000);
  // A NAT moved it: the old port has gone quiet, and the new one keeps talking.
  w.now += 1.5;
  w.Pos(2, 0, 0, false, 5001);
  w.Pos(2, 0, 0, false, 5001);
  EXPECT_EQ(w.Pos(1, 0, 0).at(0).to.port, 5000) << "two datagrams are not enough";
  w.Pos(2, 0, 0, false, 5001);
  EXPECT_EQ(w.Pos(1, 0, 0).at(0).to.port, 5001);
  EXPECT_EQ(w.reg.events(Event::kDatagramAddress), 3u) << "1 and 2 learned, 2 moved";
}

// Sender 9 at 0,0 reporting at `rate` for `seconds` to 1 (5 km), 2 (30 km) and 3 (200 km): the
// reports each recipient got and the longest time between two of them.
struct Paced {
  std::map<int, int> got;
  std::map<int, double> gap;
};
Paced Fly(World &w, double rate, double seconds) {
  Paced out;
  std::map<int, double> last;
  for (int frame = 0; frame < std::lround(rate * seconds); ++frame, w.now += 1 / rate) {
    for (const Relay &r : w.Pos(9, 0, 0)) {
      const int id = r.to.port - 20000;
      ++out.got[id];
      if (last.count(id)) out.gap[id] = std::max(out.gap[id], w.now - last[id]);
      last[id] = w.now;
    }
  }
  return out;
}

void JoinPaced(World &w) {
  w.Join(9, "S");
  const double at[] = {0, Km(5), Km(30), Km(200)};
  for (int id : {1, 2, 3}) {
    w.Join(id, "R" + std::to_string(id));
    w.Pos(id, at[id], 0);
  }
}

TEST(RegistrySlots, RelayRatesPaceEachPairByItsDistance) {
  World w(Rule("steps"));  // up to 10 km 40/s, up to 50 km 10/s, 2/s beyond
  JoinPaced(w);
  Paced p = Fly(w, 60, 2);
  EXPECT_NEAR(p.got[1], 80, 1) << "near: the sender's rate up to the cap";
  EXPECT_NEAR(p.got[2], 20, 1);
  EXPECT_NEAR(p.got[3], 4, 1);
  EXPECT_LE(p.gap[1], 1 / 40.0 + 1 / 60.0 + 1e-9);
  EXPECT_LE(p.gap[2], 1 / 10.0 + 1 / 60.0 + 1e-9);
  EXPECT_LE(p.gap[3], 1 / 2.0 + 1 / 60.0 + 1e-9) << "never longer without a report than the step's period";
  EXPECT_EQ(w.reg.reports_held(), 3u * 120 - p.got[1] - p.got[2] - p.got[3]);
  EXPECT_EQ(Fly(w, 30, 2).got[1], 60) << "below the cap, every report of a near pilot";

  // Just after a far report: recipient 3 comes close, and its next report from 9 goes at once.
  while (Fly(w, 60, 1 / 60.0).got[3] == 0) {
  }
  w.Pos(3, Km(2), 0);
  EXPECT_EQ(Fly(w, 60, 1 / 60.0).got[3], 1);
  // A sender near and far from 1 in turn, 150 reports a second: never more than the near cap
  // (each move nearer restarting the pace would let every other report through).
  int flipped = 0;
  for (int frame = 0; frame < 300; ++frame, w.now += 1 / 150.0) {
    for (const Relay &r : w.Pos(9, frame % 2 ? Km(200) : 0, 0)) flipped += r.to.port == World::Port(1);
  }
  EXPECT_LE(flipped, 81) << "2 s at most 40 a second";
  EXPECT_GE(flipped, 60);
  // 2's slot for 9 changes hands: the new holder's first report goes at once, whatever 9's pace.
  const int slot = w.reg.SlotOf(2, 9);
  w.Line(9, "9|Closing Connection");
  w.Join(8, "N");
  std::vector<Relay> first = w.Pos(8, 0, 0);
  EXPECT_EQ(w.reg.SlotOf(2, 8), slot);
  EXPECT_TRUE(std::any_of(first.begin(), first.end(), [](const Relay &r) { return r.to.port == 20002; }));

  World off(EveryReport());
  JoinPaced(off);
  p = Fly(off, 60, 1);
  EXPECT_EQ(p.got[1] + p.got[2] + p.got[3], 180) << "off: every report to every holder";
  EXPECT_EQ(off.reg.reports_held(), 0u);
}

// Sender 9 as its plugin reports it at sender time t (seconds): x and z metres east and south of
// where latitude and longitude are 0 (its local x, y, z say nothing: they stay put), heading psi,
// gear and the first light as given, its microseconds from t.
std::string Flown(double t, double x, double z, double psi, float gear = 1, int beacon = 1) {
  std::vector<std::string> v = PositionValues(static_cast<float>(Km(-z / 1000)), static_cast<float>(Km(x / 1000)));
  v[8] = FloatText(static_cast<float>(psi));
  for (int g = 17; g < 27; ++g) v[g] = FloatText(gear);
  v[27] = std::to_string(beacon);
  v[41] = std::to_string(std::lround(std::fmod(t, 1.0) * 1e6) % 1000000);
  return PositionTextFrom(9, false, v);
}

// The change rule: what a recipient can predict stays, what it cannot goes, near tighter than far.
// In a cluster, recipients on another node (`twin`, which takes the word of the sender's node,
// `home`, where only one recipient is near, on each report) get what they would get at home.
TEST(RegistrySlots, RelayChangesGoWhenTheRecipientsPictureWouldBeOff) {
  World w(Rule("changes"));  // up to 10 km 40/s, 0.1 m or every 2 s; ...; beyond 2/s, 20 m or every 5 s
  JoinPaced(w);
  RegistryOptions o = Rule("changes");
  o.cluster = true;
  World home(o), twin(o);
  JoinPaced(home);
  home.Line(2, "2|Closing Connection");
  home.Line(3, "3|Closing Connection");
  JoinPaced(twin);
  twin.Line(9, "9|Closing Connection");
  ASSERT_TRUE(twin.reg.UpdateRemote("n1", Remote(9, 0, 0)));
  twin.Collect();
  std::map<int, int> got, got_there;
  std::map<int, double> last, gap;
  double t = 0;
  // Reports of 9 at 60 a second for `seconds`, placed by where(t); counts what 1 (near) and 3 got,
  // and the longest time each went without one.
  auto fly = [&](double seconds, auto where) {
    got.clear();
    gap.clear();
    got_there.clear();
    for (int frame = 0; frame < std::lround(60 * seconds); ++frame, t += 1 / 60.0, w.now += 1 / 60.0) {
      std::vector<Relay> relays, there;
      std::string_view values;
      const std::string line = where(t);
      w.reg.OnDatagram(line, Endpoint{IpAddr::V4(127, 0, 0, 1), World::Port(9)}, w.now, &relays, &values);
      w.Collect();
      for (const Relay &r : relays) {
        const int id = r.to.port - 20000;
        if (got[id]++ > 0) gap[id] = std::max(gap[id], w.now - last[id]);
        last[id] = w.now;
      }
      relays.clear();
      home.reg.OnDatagram(line, Endpoint{IpAddr::V4(127, 0, 0, 1), World::Port(9)}, w.now, &relays, &values);
      home.Collect();
      twin.reg.OnRemoteDatagram(9, line, w.now, &there, &values, home.reg.steps_word());
      twin.Collect();
      for (const Relay &r : there) ++got_there[r.to.port - 20000];
    }
    EXPECT_EQ(got_there, got) << "on the other node";
  };
  fly(5, [](double at) { return Flown(at, 10, 10, 90); });
  EXPECT_EQ(got[1], 3) << "parked: the first report, then a heartbeat every 2 s";
  EXPECT_EQ(got[3], 1) << "far: every 5 s";
  fly(1, [](double at) { return Flown(at, 10, 10, 90, 0.98f); });
  EXPECT_EQ(got[1], 1) << "the gear starts to move: at once, near and far";
  EXPECT_EQ(got[3], 1);
  fly(1, [](double at) { return Flown(at, 10, 10, 90, 0.98f, 0); });
  EXPECT_EQ(got[1] + got[3], 2) << "a light";

  // Straight and level at 60 m/s: the plugin flies it on from two reports for a second, then slows
  // it down; a report comes before the slowing shows, near, and before it is off by 20 m, far.
  const double from = t;
  fly(4, [from](double at) { return Flown(at, 10 + 60 * (at - from), 10, 90, 0.98f, 0); });
  EXPECT_LE(got[1], 7) << "a straight line costs little more than its heartbeats";
  EXPECT_LT(gap[1], 0.95);
  EXPECT_LT(gap[3], 1 + std::sqrt(2 * 20 / 60.0));

  // A steady turn at 60 m/s, 3 degrees a second: a few reports a second once the recipient has
  // two to fly on from; far, one before the plugin's slowing it down puts it 20 m off.
  const double radius = 60 / (3 * M_PI / 180);
  auto turn = [radius](double rate) {
    return [radius, rate](double at) {
      const double a = at * rate * M_PI / 180;
      return Flown(at, radius * std::sin(a), radius * (1 - std::cos(a)), 90 + at * rate, 0.98f, 0);
    };
  };
  fly(1, turn(3));
  fly(4, turn(3));
  EXPECT_GE(got[1], 4);
  EXPECT_LE(got[1], 12) << "a steady turn";
  EXPECT_GE(got[3], 2);
  EXPECT_LE(got[3], 4);
  // Buffeted: up to a metre off the path, any way, every frame: every report near (up to the cap),
  // few far.
  fly(2, [](double at) {
    const unsigned frame = static_cast<unsigned>(std::lround(at * 60));
    return Flown(at, 60 * at + ((frame * 2654435761u) >> 12) % 1000 / 500.0 - 1, 0, 90, 0.98f, 0);
  });
  EXPECT_GE(got[1], 74) << "2 s at up to 40 a second";
  EXPECT_LE(got[1], 81);
  EXPECT_LE(got[3], 5);
  // A recipient that just got its slot gets the first report at once, parked or not.
  for (World *at : {&w, &twin}) {
    at->Join(4, "R4");
    at->Pos(4, Km(1), 0);
  }
  fly(1 / 60.0, [&](double at) { return Flown(at, 10, 10, 90); });
  EXPECT_EQ(got[4], 1);

  // Taxiing north at 5 m/s at 47 degrees north, where a float's latitude moves in steps of 0.42 m:
  // written as floats, the place is judged no finer than those steps (a few reports a second where
  // every step would be one); with more digits, to the tolerance, and a straight line at a steady
  // speed costs its heartbeats.
  w.Pos(4, 47.001, 8.0);
  twin.Pos(4, 47.001, 8.0);
  for (const int digits : {9, 11}) {
    fly(3, [digits](double at) {
      std::vector<std::string> v = PositionValues(0, 8.0);
      char text[40];
      const double lat = 47.0 + at * 5 / 111195.0;
      std::snprintf(text, sizeof text, "%.*g", digits, digits == 9 ? double(static_cast<float>(lat)) : lat);
      v[3] = text;
      v[41] = std::to_string(std::lround(std::fmod(at, 1.0) * 1e6) % 1000000);
      return PositionTextFrom(9, false, v);
    });
    EXPECT_GE(got[4], 3) << digits;
    EXPECT_LE(got[4], digits == 9 ? 20 : 6) << digits << " digits (every float step a report: about 100)";
  }

  // The turn from a sender whose time fields never move: placed by their arrivals, not starved, and
  // as the plugin then shows the sender's reports as they come, relayed up to the cap near.
  fly(4, [&](double at) {
    std::string line = turn(3)(at);
    return line.substr(0, line.rfind('|') + 1) + "0";
  });
  EXPECT_GE(got[1], 150) << "a clock that stands: 4 s at 40 a second";
}

TEST(RegistrySlots, RelayRatesOptionAndItsRefusals) {
  RelayRates r;
  std::string error;
  ASSERT_TRUE(r.Parse("5:30,20:8,100:3,0.5", &error)) << error;
  EXPECT_EQ(r.Describe(), "steps: up to 5 km 30/s, up to 20 km 8/s, up to 100 km 3/s, beyond 0.5/s");
  ASSERT_TRUE(r.Parse("changes:5:60:0.05:0.5,3:10:4", &error)) << error;
  EXPECT_EQ(r.Describe(), "changes: up to 5 km 60/s, 0.05 m or every 0.5 s; beyond 3/s, 10 m or every 4 s");
  ASSERT_TRUE(r.Parse("off", &error) && !r.on);
  ASSERT_TRUE(r.Parse("steps", &error) && r.on);
  EXPECT_EQ(r.Describe(), "steps: up to 10 km 40/s, up to 50 km 10/s, beyond 2/s");
  ASSERT_TRUE(r.Parse("changes", &error) && r.on);
  EXPECT_EQ(r.Describe(),
            "changes: up to 10 km 40/s, 0.1 m or every 2 s; up to 50 km 10/s, 2 m or every 3 s; beyond 2/s, 20 m "
            "or every 5 s");
  ASSERT_TRUE(r.Parse("on", &error) && r.on);
  EXPECT_EQ(r.Describe(), RelayRates().Describe()) << "the default";
  EXPECT_EQ(r.Describe().substr(0, 9), "changes: ");
  for (const char *bad : {"", "10:40", "10:40,,2", "50:10,10:40,2", "10:10,50:40,2", "10:40,x,2",
                          "10:40,50:10,0.1", "-1:40,2", "10:40,2,50:1", "10:nan,2", "1e9:40,2", "10:40,2 ",
                          "changes:10:40,2", "changes:10:40:0.1:1,2:20", "changes:10:40:1:1,2:0.5:5",
                          "changes:2:0.1:9", "changes:10:40:0.1:0.01,2:20:5", "steps:10:40:0.1:1,2",
                          "1:9,2:8,3:7,4:6,5:5,6:4,7:3,8:2,1"}) {
    RelayRates kept;
    kept.on = false;
    EXPECT_FALSE(kept.Parse(bad, &error)) << bad;
    EXPECT_FALSE(kept.on) << bad;
  }
}

TEST(RegistrySlots, PastItsRateAPilotsNewestPositionWaitsTheRestAreDropped) {
  RegistryOptions o = EveryReport();
  o.position_rate = 10;
  o.position_burst = 3;
  World w(o);
  w.Join(1, "AAA");
  w.Join(2, "BBB");
  w.Pos(2, 47.01, 8.0);
  int relayed = 0;
  for (int i = 0; i < 10; ++i) relayed += !w.Pos(1, 47.0 + i * 0.001, 8.0).empty();
  EXPECT_EQ(relayed, 3) << "the burst";
  EXPECT_EQ(w.reg.dropped(Drop::kPositionRate), 6u) << "of the seven over it, the newest waits";
  EXPECT_TRUE(w.Pos(2, 47.01, 8.0).size() == 1) << "a neighbour's own rate is its own";

  std::string held;
  double waited = 0;
  std::vector<Relay> relays;
  std::string_view values;
  EXPECT_FALSE(w.reg.ReleaseHeld(w.now, &held, &waited, &relays, &values)) << "not its turn yet";
  w.now += 0.1;
  ASSERT_TRUE(w.reg.ReleaseHeld(w.now, &held, &waited, &relays, &values));
  EXPECT_EQ(held, PositionText(1, false, 47.009, 8.0));
  EXPECT_EQ(relays.size(), 1u);
  EXPECT_NEAR(waited, 0.1, 1e-9);
  EXPECT_FALSE(w.reg.ReleaseHeld(w.now + 1, &held, &waited, &relays, &values) || w.reg.HoldsPositions());
}

TEST(RegistrySlots, LogoutClosedStreamAndIdleFreeWithBlanks) {
  RegistryOptions o;
  o.idle_timeout = 20;
  World w(o);
  for (int id : {1, 2, 3, 4}) {
    w.Join(id, "C" + std::to_string(id), "/Aircraft/a/a.acf");
    w.Pos(id, 0, 0);
  }
  int s1 = w.reg.SlotOf(4, 1), s2 = w.reg.SlotOf(4, 2), s3 = w.reg.SlotOf(4, 3);
  w.Take(4);
  w.Line(1, "1|Closing Connection");
  EXPECT_TRUE(w.Closed(1));
  EXPECT_EQ(w.Take(4), World::Blanks(s1));
  w.reg.Disconnect(w.conn[2], w.now, "connection closed");
  w.Collect();
  EXPECT_EQ(w.Take(4), World::Blanks(s2));

  for (int i = 0; i < 21; ++i) {
    w.Pos(4, 0, 0);  // 4 keeps sending, 3 has gone quiet
    w.Advance(1);
  }
  EXPECT_EQ(w.Take(4), World::Blanks(s3));
  EXPECT_FALSE(w.reg.InView(3));
  EXPECT_NE(w.reg.SlotOf(3, 4), 0) << "an idle pilot still receives";
  EXPECT_EQ(w.Pos(3, 0, 0).size(), 1u) << "and is back on its next datagram";
  EXPECT_EQ(w.callsign_seen[4][w.reg.SlotOf(4, 3)], "C3");
  w.ExpectConsistent();
}

TEST(RegistrySlots, ObserversReceiveAndAreNotReceived) {
  World w(EveryReport());
  w.Join(1, "AAA");
  w.Join(2, "BBB");
  w.Login(9, "tower");
  w.Line(9, "9|VOCALLSIGN|Tower|");
  EXPECT_TRUE(w.reg.IsObserver(9));
  EXPECT_TRUE(w.Pos(9, 0, 0, true).empty());
  EXPECT_EQ(w.reg.dropped(Drop::kViewOnlyDatagram), 0u);
  auto relays = w.Pos(1, 0, 0);
  ASSERT_EQ(relays.size(), 1u);
  EXPECT_EQ(relays[0].to.port, World::Port(9));
  EXPECT_EQ(w.reg.SlotOf(1, 9), 0);

  // A view-only datagram, from the pilot's own port or another of its address, changes nothing.
  w.Pos(2, 0, 0);
  int slot = w.reg.SlotOf(1, 2);
  ASSERT_NE(slot, 0);
  w.Take(1);
  w.Pos(2, 0, 0, true);
  w.Pos(2, 0, 0, true, 7777);
  EXPECT_FALSE(w.reg.IsObserver(2));
  EXPECT_EQ(w.reg.dropped(Drop::kViewOnlyDatagram), 2u);
  EXPECT_EQ(w.Pos(2, 0, 0).size(), 2u) << "still seen by 1 and the tower";
  // A pilot who switches to view-only on its stream disappears from those who saw it.
  w.Line(2, "2|VOCALLSIGN|BBB|");
  EXPECT_TRUE(w.reg.IsObserver(2));
  EXPECT_EQ(w.Take(1), World::Blanks(slot));
  EXPECT_TRUE(w.Pos(2, 0, 0, true).empty());
  w.ExpectConsistent();
}

// ---- announcements and chat ----

TEST(RegistryNotices, CallsignAndModelTravelOnlyWhenChangedAndNotTooOften) {
  World w;
  w.Join(1, "AAA", "/home/u/Sim/Aircraft/GA/Trainer/Trainer.acf");
  w.Join(2, "BBB");
  w.Pos(2, 0, 0);
  w.Pos(1, 0, 0);
  std::string s = std::to_string(w.reg.SlotOf(2, 1));
  w.Take(2);
  w.Line(1, "1|PLANE|/home/u/Sim/Aircraft/GA/Trainer/Trainer.acf");  // the 10-second repeat
  w.Line(1, "1|CALLSIGN|AAA|");
  EXPECT_TRUE(w.Take(2).empty());
  w.Line(1, "1|PLANE|C:\\Sim\\Aircraft\\Jets\\Liner\\liner.acf");
  w.Line(1, "1|CALLSIGN|N\r\n1====23" + std::string(50, 'Q') + "|");
  EXPECT_EQ(w.Take(2), (Lines{s + "|p|Aircraft/Jets/Liner/liner.acf\n",
                              s + "|c|N1===23" + std::string(kMaxCallsign - 7, 'Q') + "\n"}));
  w.Line(1, "1|PLANE|/etc/passwd");  // unusable: the known model stays
  EXPECT_TRUE(w.Take(2).empty());
  EXPECT_EQ(w.reg.dropped(Drop::kModelPath), 1u);

  // Churn: every model notice makes the recipient's host load an aircraft. A change every 10 ms
  // for 10 s reaches it at most once every 5 s, and the latest value is the one that stays.
  int models = 0;
  for (int i = 0; i < 1000; ++i) {
    w.Line(1, i % 2 ? "1|PLANE|/s/Aircraft/B/b.acf" : "1|PLANE|/s/Aircraft/A/a.acf");
    w.Advance(0.01);
    for (const std::string &line : w.Take(2)) models += line.find("|p|") != std::string::npos;
  }
  EXPECT_GE(models, 1);
  EXPECT_LE(models, 2);
  EXPECT_GT(w.reg.events(Event::kHeldAnnouncement), 700u);
  w.Line(1, "1|PLANE|/s/Aircraft/C/c.acf");
  w.Line(1, "1|CALLSIGN|BLANK|");  // "BLANK" would read as no name at all
  w.Advance(5);
  w.Advance(5);
  EXPECT_EQ(w.Take(2), (Lines{s + "|c|BLANK \n", s + "|p|Aircraft/C/c.acf\n"}));
}

TEST(RegistryChat, ReachesEveryoneWithinTheAllowance) {
  World w;
  w.Join(1, "AAA");
  w.Login(2, "bob");  // no callsign yet: named by user ID
  w.Login(9, "tower");
  w.Line(9, "9|VOCALLSIGN|Tower|");
  w.Line(1, "1|MESSAGE|hello | all");
  w.Line(2, "2|MESSAGE|");
  w.Advance(0.1);
  for (int id : {1, 2, 9}) EXPECT_EQ(w.Take(id), (Lines{"0|m|AAA: hello | all\n0|m|bob: \n"})) << id;
  w.Line(1, "1|MESSAGE|" + std::string(500, 'x') + "\r====");
  w.Advance(0.1);
  EXPECT_EQ(w.Take(2), (Lines{"0|m|AAA: " + std::string(kMaxChat, 'x') + "\n"}));
  // A final "=" gets a blank: on the plugin's side it would join the line marker.
  w.Line(1, "1|MESSAGE|1+1=");
  w.Advance(0.1);
  EXPECT_EQ(w.Take(2), (Lines{"0|m|AAA: 1+1= \n"}));

  w.Take(1);
  for (int i = 0; i < 8; ++i, w.now += 0.1) w.Line(9, "9|MESSAGE|m");
  w.Advance(0.1);
  EXPECT_EQ(w.Take(1), (Lines{"0|m|Tower: m\n0|m|Tower: m\n0|m|Tower: m\n0|m|Tower: m\n0|m|Tower: m\n"}))
      << "five lines in five seconds";
  EXPECT_EQ(w.reg.dropped(Drop::kChatFlood), 3u);
  w.now += 5;
  w.Line(9, "9|MESSAGE|later");
  w.Advance(0.1);
  EXPECT_EQ(w.Take(1), (Lines{"0|m|Tower: later\n"}));
}

// Many connections, each within its own allowance: one address gets no more than its own, and
// all of them together no more than the server-wide budget, the rest waiting or dropped.
TEST(RegistryChat, AddressesAndTheServerShareBudgets) {
  RegistryOptions o;
  o.chat_per_second = 4;
  o.chat_queue = 6;
  World w(o);
  w.Join(1, "AAA");
  auto delivered = [&] {
    std::size_t lines = 0;
    for (const std::string &batch : w.Take(1)) lines += std::count(batch.begin(), batch.end(), '\n');
    return lines;
  };
  for (int id = 10; id < 14; ++id) w.Login(id, "nat", kZeros, IpAddr::V4(10, 0, 0, 5));
  for (int round = 0; round < 5; ++round) {
    for (int id = 10; id < 14; ++id) w.Line(id, std::to_string(id) + "|MESSAGE|x");
    w.Advance(1);
    EXPECT_LE(delivered(), 4u) << round;
  }
  EXPECT_EQ(w.reg.dropped(Drop::kChatFlood), 10u) << "10 lines in 5 s from one address";

  for (int id = 20; id < 30; ++id) w.Login(id, "far", kZeros, IpAddr::V4(10, 0, 1, id));
  w.Advance(2);
  w.Take(1);
  for (int id = 20; id < 30; ++id) w.Line(id, std::to_string(id) + "|MESSAGE|y");
  EXPECT_EQ(w.reg.dropped(Drop::kChatBudget), 4u);
  w.Advance(0.1);
  EXPECT_EQ(delivered(), 4u);
  w.Advance(0.5);
  EXPECT_EQ(delivered(), 2u);
}

// ---- nearest 19 ----

// Recipient 1 at 0,0; pilot 100+k at (k+1)*10 km north, joined nearest first.
class Crowd : public ::testing::Test {
 protected:
  void Fill(int pilots) {
    w.Join(1, "ME");
    lat[1] = 0;
    for (int k = 0; k < pilots; ++k) {
      w.Join(100 + k, "P" + std::to_string(k));
      lat[100 + k] = Km((k + 1) * 10.0);
    }
    for (int tick = 0; tick < 5; ++tick) Step(0.1);  // a few slots a tick
  }
  void Step(double dt) {  // everyone reports, so nobody goes idle, then time moves on
    for (auto &e : lat) w.Pos(e.first, e.second, 0);
    w.Advance(dt);
  }
  std::set<int> Seen() {
    std::set<int> s;
    for (int id : w.reg.SlotTable(1)) {
      if (id >= 0) s.insert(id);
    }
    return s;
  }
  static std::set<int> Range(int from, int to) {
    std::set<int> s;
    for (int i = from; i < to; ++i) s.insert(i);
    return s;
  }
  World w;
  std::map<int, double> lat;
};

TEST_F(Crowd, ACrowdJoiningAtOnceFillsTablesOverAFewTicksNearestFirstThenTheNearestWin) {
  w.Join(1, "ME");
  w.Pos(1, 0, 0);
  w.Take(1);
  for (int k = 24; k >= 0; --k) {  // the far ones come first
    w.Join(100 + k, "P" + std::to_string(k));
    w.Pos(100 + k, Km((k + 1) * 10.0), 0);
  }
  EXPECT_EQ(Seen(), Range(121, 125)) << "a few slots at once, first come";
  EXPECT_EQ(w.Take(1).size(), 4u);
  std::set<int> want = Range(121, 125);
  for (int tick = 0; tick < 4; ++tick) {
    w.Advance(0.1);
    for (int k = 0; k < 4 && want.size() < kSlots - 1; ++k) want.insert(100 + 4 * tick + k);
    EXPECT_EQ(Seen(), want) << "then a few a tick, nearest first";
  }
  w.Advance(0.6);
  EXPECT_EQ(Seen(), Range(100, 119));
  auto table = w.reg.SlotTable(1);
  for (int s = 1; s < kSlots; ++s) EXPECT_EQ(w.callsign_seen[1][s], "P" + std::to_string(table[s] - 100));
  w.ExpectConsistent();
}

TEST_F(Crowd, ATickInPiecesDoesWhatAWholeTickDoesAndSurvivesLeavesBetweenPieces) {
  World whole;
  for (World *x : {&w, &whole})
    for (int k = 0; k < 30; ++k) x->Join(100 + k, "P" + std::to_string(k)), x->Pos(100 + k, Km((k + 1) * 10.0), 0);
  whole.Advance(0.1);
  auto in_pieces = [this](bool leave) {  // pilots leaving mid-tick when asked
    w.reg.BeginTick(w.now += 0.1);
    for (; w.reg.ContinueTick(3); leave = false)
      for (int k = 0; leave && k < 30; k += 7) w.Line(100 + k, std::to_string(100 + k) + "|Closing Connection");
    w.Collect();
  };
  in_pieces(false);
  for (int k = 0; k < 30; ++k) EXPECT_EQ(w.reg.SlotTable(100 + k), whole.reg.SlotTable(100 + k)) << 100 + k;
  in_pieces(true);
  w.ExpectConsistent();
}

TEST_F(Crowd, SwapsAtMostOncePerSecondAndOnlyForAClearGain) {
  Fill(20);  // 118 holds a slot at 190 km, 119 is out at 200 km
  Step(1.0);
  int slot = w.reg.SlotOf(1, 118);
  ASSERT_NE(slot, 0);
  w.Take(1);
  // They cross back and forth by less than the margin: nothing moves.
  for (int i = 0; i < 10; ++i) {
    lat[118] = Km(i % 2 ? 188 : 196);
    lat[119] = Km(i % 2 ? 195 : 187);
    Step(1.0);
    ASSERT_EQ(w.reg.SlotOf(1, 118), slot) << "round " << i;
  }
  EXPECT_TRUE(w.Take(1).empty());
  // 119 comes close: the swap waits for the next evaluation, then reuses the slot.
  lat[119] = Km(50);
  Step(0.1);
  EXPECT_EQ(w.reg.SlotOf(1, 119), 0);
  Step(0.95);
  EXPECT_EQ(w.reg.SlotOf(1, 119), slot);
  std::string s = std::to_string(slot);
  EXPECT_EQ(w.Take(1), (Lines{s + "|c|BLANK\n", s + "|p|BLANK\n", s + "|c|P19\n"}));

  // A slot freed by a logout goes to the nearest outsider without waiting.
  w.Line(105, "105|Closing Connection");
  w.Advance(0.1);
  EXPECT_EQ(Seen().count(118), 1u);
  w.ExpectConsistent();
}

// Random churn: the registry stays consistent, and every plugin's picture of its slots
// (built only from notices) matches the registry's tables.
TEST(RegistryChurn, PluginPictureMatchesRegistry) {
  RegistryOptions o = Rule("steps");
  o.idle_timeout = 3;
  World w(o);
  std::mt19937 rng(12345);
  std::map<int, std::string> online;  // uniqueID -> current callsign
  auto pick = [&] { return std::next(online.begin(), rng() % online.size())->first; };
  // The relay rates' promises for every report: a slot that changed hands gets it at once, and a
  // holder that does not get it had one from the same pilot less than the slowest period ago.
  std::set<int> addressed;                                    // datagram address known
  std::map<std::pair<int, int>, std::pair<int, double>> fed;  // (recipient, slot) -> last (sender, time)
  auto check_pace = [&](int sender, const std::vector<Relay> &relays) {
    for (int r : addressed) {
      const int slot = w.reg.SlotOf(r, sender);
      if (slot == 0) continue;
      const bool got = std::any_of(relays.begin(), relays.end(),
                                   [&](const Relay &x) { return x.to.port == World::Port(r); });
      auto &last = fed[{r, slot}];
      if (!got) {
        EXPECT_EQ(last.first, sender) << "held back the first report of slot " << slot << " on " << r;
        EXPECT_LT(w.now - last.second, 0.5 + 1e-9) << sender << " on " << r;
      }
      if (got) last = {sender, w.now};
    }
  };
  for (int step = 0; step < 4000; ++step) {
    int op = rng() % 10, id = online.size() < 3 ? 0 : pick();
    std::string ids = std::to_string(id);
    if (op == 0 || id == 0) {
      id = 1 + rng() % 60;
      if (online.count(id)) continue;
      online[id] = "C" + std::to_string(id);
      w.Join(id, online[id], "/s/Aircraft/m" + std::to_string(id % 3) + "/x.acf");
    } else if (op == 1) {
      if (rng() % 2) w.Line(id, ids + "|Closing Connection");
      else w.reg.Disconnect(w.conn[id], w.now, "closed"), w.Collect();
      online.erase(id);
      w.callsign_seen.erase(id), w.model_seen.erase(id);
      addressed.erase(id);
      for (int s = 1; s < kSlots; ++s) fed.erase({id, s});
    } else if (op == 2 && !w.reg.IsObserver(id)) {
      online[id] = "C" + std::to_string(rng() % 1000);
      w.Line(id, ids + "|CALLSIGN|" + online[id] + "|");
    } else if (op == 3) {
      w.Advance(0.05 + (rng() % 100) / 100.0);
    } else {
      if (id % 17 == 0) w.Line(id, ids + "|VOCALLSIGN|" + (online[id] = "obs") + "|");
      auto relays = w.Pos(id, (rng() % 2000) / 100.0 - 10, (rng() % 2000) / 100.0 - 10, id % 13 == 0);
      if (id % 13 != 0 || w.reg.IsObserver(id)) addressed.insert(id);
      if (w.reg.InView(id)) check_pace(id, relays);
    }
    std::string why;
    ASSERT_TRUE(w.reg.CheckConsistency(&why)) << "step " << step << ": " << why;
  }
  std::size_t held = 0;
  for (const auto &r : online) {
    auto table = w.reg.SlotTable(r.first);
    for (int s = 1; s < kSlots; ++s) {
      std::string want = table[s] < 0 ? "" : online[table[s]];
      EXPECT_EQ(w.callsign_seen[r.first][s], want) << "slot " << s << " on " << r.first;
      if (table[s] >= 0) {
        EXPECT_EQ(w.model_seen[r.first][s], "Aircraft/m" + std::to_string(table[s] % 3) + "/x.acf");
      }
      held += table[s] >= 0;
    }
  }
  EXPECT_GT(held, 20u) << "the churn should leave slots in use";
}

// The distances the registry orders pilots by and the relay rates step at.
TEST(ChordDistance, KnownDistancesBothWays) {
  auto meters = [](double lat1, double lon1, double lat2, double lon2) {
    return ChordToMeters(UnitVector::Of(lat1, lon1).Chord2(UnitVector::Of(lat2, lon2)));
  };
  EXPECT_NEAR(meters(0, 0, 0, 1), 111195, 10);
  EXPECT_NEAR(meters(0, 179.5, 0, -179.5), 111195, 10) << "across the date line";
  EXPECT_NEAR(meters(51.5, -0.12, 40.64, -73.78), 5.56e6, 0.01e6);
  for (double m : {1.0, 10e3, 50e3, 5.56e6}) EXPECT_NEAR(ChordToMeters(MetersToChord2(m)), m, m * 1e-9);
}

// Mangled input of every kind, through the same entries the sockets use: nothing crashes,
// the tables stay consistent, and the pilots' good state survives.
TEST(RegistryJunk, MangledLinesAndDatagramsHarmNobody) {
  World w;
  w.Join(1, "AAA", "/s/Aircraft/a/a.acf");
  w.Join(2, "BBB");
  w.Pos(1, 0, 0);
  w.Pos(2, 0, 0);
  std::mt19937 rng(7);
  const std::string samples[] = {PositionText(1, false, 0, 0), PositionText(2, true, 0, 0),
                                 "1|CALLSIGN|AAA|", "1|PLANE|/s/Aircraft/a/a.acf", "1|MESSAGE|hi",
                                 "2|Opening Connection|u|" + kZeros + "|"};
  for (int i = 0; i < 20000; ++i) {
    std::string s = samples[rng() % 6];
    for (int k = 1 + rng() % 4; k > 0; --k) {
      std::size_t at = rng() % (s.size() + 1);
      switch (rng() % 3) {
        case 0: s.insert(at, 1, "|0.-e\r\n=\x80"[rng() % 10]); break;
        case 1: if (at < s.size()) s.erase(at, 1 + rng() % 8); break;
        default: if (at < s.size()) s[at] = static_cast<char>(rng()); break;
      }
    }
    if (s == samples[1] || s.find("VO") != std::string::npos) continue;  // keep 2 a pilot
    std::vector<Relay> relays;
    std::string_view values;
    w.reg.OnDatagram(s, Endpoint{IpAddr::V4(127, 0, 0, 1), World::Port(1)}, w.now, &relays, &values);
    w.Line(1, s);
    if (!w.reg.IsLoggedIn(1)) break;  // a mangled line may still be a valid logout
  }
  w.ExpectConsistent();
  EXPECT_GT(w.reg.dropped(Drop::kBadDatagram), 1000u);
  EXPECT_GT(w.reg.dropped(Drop::kMalformed) + w.reg.dropped(Drop::kUnknownKeyword), 1000u);
  if (w.reg.IsLoggedIn(1)) {
    EXPECT_NE(w.reg.SlotOf(2, 1), 0) << "still seen: its good state survived";
  }
}

// ---- cluster nodes: pilots of other nodes, logins that wait for the cluster ----

TEST(RegistryCluster, PilotsOfOtherNodesGetSlotsNoticesReportsAndBlanksAsLocalOnes) {
  RegistryOptions o = Clustered();
  o.relay_rates = Rule("steps").relay_rates;
  World w(o);
  auto update = [&w](const char *node, const PilotState &p) {
    bool taken = w.reg.UpdateRemote(node, p);
    w.Collect();
    return taken;
  };
  w.Join(1, "AAA");
  w.Pos(1, 47.0, 8.0);
  w.Take(1);
  ASSERT_TRUE(update("n2", Remote(50, 47.01, 8.0)));
  const int s = w.reg.SlotOf(1, 50);
  ASSERT_GE(s, 1);
  const std::string n = std::to_string(s);
  EXPECT_EQ(w.Take(1), (Lines{n + "|c|RRR\n", n + "|p|Aircraft/Jets/Liner/liner.acf\n"}));
  EXPECT_EQ(Told(w, ClusterEvent::Kind::kWatch), (std::vector<std::string>{"50"}));

  // The status feed knows it from presence alone (node, place), its attitude once positions come.
  auto status_of = [&w](int id) {
    std::vector<StatusPilot> all;
    StatusPilots(w.reg, w.now, "n1", "k1", &all);
    auto it = std::find_if(all.begin(), all.end(), [id](const StatusPilot &p) { return p.id == id; });
    return it == all.end() ? StatusPilot{} : *it;
  };
  EXPECT_TRUE(status_of(1).local && status_of(1).has_attitude);
  StatusPilot seen = status_of(50);
  // Every node shows a pilot under the id its own node makes (the node's identity is its key).
  EXPECT_EQ(status_of(1).feed_id, FeedId("k1", 1));
  EXPECT_EQ(seen.feed_id, FeedId("n2", 50));
  EXPECT_NE(FeedId("k1", 50), FeedId("n2", 50));
  EXPECT_FALSE(seen.local);
  EXPECT_EQ(seen.node, "n2");
  EXPECT_EQ(seen.callsign, "RRR");
  EXPECT_TRUE(seen.has_position && seen.in_view);
  EXPECT_FALSE(seen.has_attitude);

  // Its positions are relayed byte for byte; one that is not its own, or not a position, is not.
  std::vector<Relay> relays;
  std::string_view values;
  const std::string pos = PositionText(50, false, 47.02, 8.0);
  ASSERT_TRUE(w.reg.OnRemoteDatagram(50, pos, w.now, &relays, &values));
  seen = status_of(50);
  EXPECT_TRUE(seen.has_attitude);
  EXPECT_DOUBLE_EQ(seen.heading, 271.75);
  EXPECT_NEAR(seen.latitude, 47.02, 1e-6);
  ASSERT_EQ(relays.size(), 1u);
  EXPECT_EQ(relays[0].slot, s);
  EXPECT_EQ(relays[0].to.port, World::Port(1));
  EXPECT_EQ(std::string(values), pos.substr(pos.find("LOC|") + 4));
  relays.clear();
  EXPECT_FALSE(w.reg.OnRemoteDatagram(50, pos, w.now + 0.001, &relays, &values)) << "paced as a local pilot";
  EXPECT_TRUE(w.reg.OnRemoteDatagram(50, pos, w.now + 0.03, &relays, &values));
  relays.clear();
  EXPECT_FALSE(w.reg.OnRemoteDatagram(50, PositionText(51, false, 47, 8), w.now, &relays, &values));
  EXPECT_FALSE(w.reg.OnRemoteDatagram(50, "50|LOC|1|2", w.now, &relays, &values));
  EXPECT_FALSE(w.reg.OnRemoteDatagram(77, PositionText(77, false, 47, 8), w.now, &relays, &values));
  EXPECT_TRUE(relays.empty());

  // Changes reach the holder; leaving view, or its node going, frees the slot with BLANKs.
  ASSERT_TRUE(update("n2", Remote(50, 47.01, 8.0, "NEW")));
  EXPECT_EQ(w.Take(1), (Lines{n + "|c|NEW\n"}));
  ASSERT_TRUE(update("n2", Remote(50, 47.01, 8.0, "NEW", false)));
  EXPECT_EQ(w.Take(1), World::Blanks(s));
  EXPECT_EQ(Told(w, ClusterEvent::Kind::kUnwatch), (std::vector<std::string>{"50"}));
  ASSERT_TRUE(update("n2", Remote(50, 47.01, 8.0, "NEW")));
  ASSERT_TRUE(update("n3", Remote(60, 47.03, 8.0, "SSS")));
  w.Take(1);
  w.reg.RemoveRemote("n2", 60, "left");  // not n2's pilot: stays
  w.reg.RemoveNode("n2", "node n2 left");
  w.Collect();
  EXPECT_EQ(w.Take(1), World::Blanks(s));
  EXPECT_EQ(w.reg.remote_pilots(), 1u);
  w.ExpectConsistent();

  // One sky: a remote pilot nearer than the farthest local holder by the margin takes its slot.
  for (int id = 2; id <= 19; ++id) {
    w.Join(id, "L" + std::to_string(id));
    w.Pos(id, 47.0 + Km(10 + id), 8.0);
  }
  w.Advance(1.1);
  ASSERT_NE(w.reg.SlotOf(1, 60), 0) << "a full table: 18 pilots here and one of node n3";
  ASSERT_TRUE(update("n2", Remote(50, 47.0 + Km(1), 8.0)));
  w.Advance(1.1);
  EXPECT_NE(w.reg.SlotOf(1, 50), 0);
  EXPECT_EQ(w.reg.SlotOf(1, 19), 0) << "the farthest local made room";
  w.ExpectConsistent();

  // A uniqueID logged in here is not taken from another node, and the other way round.
  EXPECT_FALSE(update("n2", Remote(1, 0, 0)));
  w.Login(50, "mallory");
  EXPECT_TRUE(w.Closed(50));
  EXPECT_FALSE(w.reg.IsLoggedIn(50));
}

TEST(RegistryCluster, LoginsWaitForTheClusterAndTheNodeHearsOfEveryChange) {
  World w(Clustered());
  w.grant_claims = false;
  w.Login(7, "seven");
  ASSERT_EQ(Told(w, ClusterEvent::Kind::kClaim), (std::vector<std::string>{"7"}));
  w.Line(7, "7|CALLSIGN|SSS|");  // arrives while the cluster is asked
  EXPECT_FALSE(w.reg.IsLoggedIn(7));
  w.Login(7, "twin");  // the same uniqueID meanwhile, here
  EXPECT_TRUE(w.Closed(7));
  w.conn[7] = 1;
  w.reg.ClaimResult(1, 7, true, w.now);
  w.Collect();
  ASSERT_TRUE(w.reg.IsLoggedIn(7));
  ASSERT_FALSE(w.events.empty());
  EXPECT_EQ(w.events.back().kind, ClusterEvent::Kind::kChanged);
  EXPECT_EQ(w.events.back().state.callsign, "SSS") << "the line that waited was not lost";

  w.Login(8, "eight");
  w.reg.ClaimResult(w.conn[8], 8, false, w.now);
  w.Collect();
  EXPECT_TRUE(w.Closed(8));
  EXPECT_FALSE(w.reg.IsLoggedIn(8));
  w.Login(9, "nine");
  w.reg.Disconnect(w.conn[9], w.now, "gone");
  w.reg.ClaimResult(w.conn[9], 9, true, w.now);
  w.Collect();
  EXPECT_EQ(Told(w, ClusterEvent::Kind::kRelease), (std::vector<std::string>{"9"})) << "its key goes back";

  // In view, chat (told once it goes out), logout.
  w.events.clear();
  w.Pos(7, 47, 8);
  ASSERT_EQ(w.events.size(), 1u);
  EXPECT_TRUE(w.events[0].state.in_view);
  w.Line(7, "7|MESSAGE|hi");
  w.reg.RemoteChat("RRR: yo");
  w.Advance(0.1);
  EXPECT_EQ(w.Take(7), (Lines{"0|m|SSS: hi\n0|m|RRR: yo\n"}));
  EXPECT_EQ(Told(w, ClusterEvent::Kind::kChat), (std::vector<std::string>{"SSS: hi"}));
  w.Line(7, "7|Closing Connection");
  EXPECT_EQ(Told(w, ClusterEvent::Kind::kGone), (std::vector<std::string>{"7"}));
  EXPECT_EQ(Told(w, ClusterEvent::Kind::kRelease), (std::vector<std::string>{"7"}));

  // Another node holds the uniqueID of a pilot here (two nodes let it in while Redis was away).
  w.grant_claims = true;
  w.Join(10, "TEN");
  w.reg.Evict(10, "uniqueID in use on another node");
  w.Collect();
  EXPECT_TRUE(w.Closed(10));
  EXPECT_FALSE(w.reg.IsLoggedIn(10));
  w.ExpectConsistent();

  // A standalone server tells nobody anything.
  World alone;
  alone.Join(1, "AAA");
  alone.Pos(1, 0, 0);
  alone.Line(1, "1|MESSAGE|x");
  alone.Advance(0.1);
  EXPECT_TRUE(alone.events.empty());
}
