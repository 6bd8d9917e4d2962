// The registry without sockets: logins, slots, relays and notices as actions.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "position_text.h"
#include "registry.h"

using namespace skytether;

namespace {

const char kZeros[] = "00000000000000000000000000000000";

// A small world: clients by uniqueID, everything the registry sent, and each client's own
// view of its slots built only from the notices it received.
class World {
 public:
  explicit World(RegistryOptions o = {}, const Accounts *accounts = nullptr) : reg(o, accounts) {}

  Registry reg;
  double now = 1000.0;
  std::map<int, ConnId> conn;          // uniqueID -> connection
  std::map<ConnId, int> id_of;
  std::map<int, std::vector<std::string>> sent;  // notices per uniqueID, in order
  std::set<ConnId> closed;
  std::map<int, std::map<int, std::string>> seen_callsign, seen_model;  // as the plugin keeps them
  ConnId next = 1;

  ConnId Open(int id, IpAddr ip = IpAddr::V4(127, 0, 0, 1)) {
    ConnId c = next++;
    conn[id] = c;
    id_of[c] = id;
    reg.Connect(c, ip, now);
    return c;
  }
  void Line(int id, const std::string &line) {
    reg.OnLine(conn.at(id), line, now);
    Collect();
  }
  ConnId Login(int id, const std::string &user = "user", const std::string &token = kZeros) {
    ConnId c = Open(id);
    Line(id, std::to_string(id) + "|Opening Connection|" + user + "|" + token + "|");
    return c;
  }
  void Join(int id, const std::string &callsign, const std::string &model = "") {
    Login(id, "u" + std::to_string(id));
    if (!model.empty()) Line(id, std::to_string(id) + "|PLANE|" + model);
    Line(id, std::to_string(id) + "|CALLSIGN|" + callsign + "|");
  }
  std::vector<Relay> Pos(int id, double lat, double lon, std::uint16_t port = 0, bool observer = false,
                         IpAddr ip = IpAddr::V4(127, 0, 0, 1)) {
    std::vector<Relay> relays;
    std::string_view values;
    std::string text = PositionText(id, observer, lat, lon);
    Endpoint from{ip, port ? port : static_cast<std::uint16_t>(20000 + id % 40000)};
    bool any = reg.OnDatagram(text, from, now, &relays, &values);
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
    for (Output &o : reg.outputs()) {
      if (o.kind == Output::Kind::kClose) {
        closed.insert(o.conn);
        continue;
      }
      int id = id_of.at(o.conn);
      sent[id].push_back(o.text);
      // Apply it the way the plugin does: "N|c|text" and "N|p|text".
      std::size_t bar = o.text.find('|');
      int slot = std::stoi(o.text.substr(0, bar));
      char letter = o.text[bar + 1];
      std::string text = o.text.substr(bar + 3, o.text.size() - bar - 4);
      if (letter == 'c') seen_callsign[id][slot] = text == "BLANK" ? "" : text;
      if (letter == 'p') seen_model[id][slot] = text == "BLANK" ? "" : text;
    }
    reg.outputs().clear();
    reg.logs().clear();
  }
  std::vector<std::string> Take(int id) {
    std::vector<std::string> v;
    v.swap(sent[id]);
    return v;
  }
  void ExpectConsistent() {
    std::string why;
    EXPECT_TRUE(reg.CheckConsistency(&why)) << why;
  }
  static int SlotIn(const std::vector<Relay> &relays, std::uint16_t port) {
    for (const Relay &r : relays) {
      if (r.to.port == port) return r.slot;
    }
    return 0;
  }
  static std::uint16_t PortOf(int id) { return static_cast<std::uint16_t>(20000 + id % 40000); }
};

// Degrees of latitude for a distance along a meridian.
double Km(double km) { return km / 111.195; }

}  // namespace

// ---- logins ----

TEST(RegistryLogin, OpenServerAcceptsAnyToken) {
  World w;
  w.Login(5, "anyone", kZeros);
  EXPECT_TRUE(w.reg.IsLoggedIn(5));
  EXPECT_TRUE(w.closed.empty());
}

TEST(RegistryLogin, AccountsCheckTheToken) {
  Accounts accounts;
  std::string error;
  ASSERT_TRUE(accounts.Parse("# pilots\n\nalice pw\nbob  two words \r\n", &error)) << error;
  World w({}, &accounts);

  ConnId good = w.Login(42, "alice", "92421ec809d0f17913ba3ea24db1039d");
  EXPECT_TRUE(w.reg.IsLoggedIn(42));
  EXPECT_EQ(w.closed.count(good), 0u);

  ConnId wrong = w.Login(43, "alice", "92421ec809d0f17913ba3ea24db1039d");  // token was for 42
  EXPECT_FALSE(w.reg.IsLoggedIn(43));
  EXPECT_EQ(w.closed.count(wrong), 1u);

  ConnId stranger = w.Login(44, "mallory", LoginToken(44, "mallory", "pw"));
  EXPECT_FALSE(w.reg.IsLoggedIn(44));
  EXPECT_EQ(w.closed.count(stranger), 1u);

  // The password is the rest of the line, inner spaces kept.
  w.Login(45, "bob", LoginToken(45, "bob", "two words"));
  EXPECT_TRUE(w.reg.IsLoggedIn(45));
}

TEST(RegistryLogin, AccountsFileErrorsNameTheLine) {
  Accounts a;
  std::string error;
  EXPECT_FALSE(a.Parse("alice pw\nbob\n", &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
  EXPECT_FALSE(a.Parse("alice pw\nalice other\n", &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

TEST(RegistryLogin, UniqueIdInUseAndFullServerAreRefused) {
  RegistryOptions o;
  o.max_pilots = 2;
  World w(o);
  ConnId first = w.Login(1);
  w.Login(2);
  ConnId again = w.Open(1);
  w.reg.OnLine(again, "1|Opening Connection|x|" + std::string(kZeros) + "|", w.now);
  w.Collect();
  EXPECT_EQ(w.closed.count(again), 1u);
  EXPECT_EQ(w.closed.count(first), 0u);
  EXPECT_TRUE(w.reg.IsLoggedIn(1));

  ConnId third = w.Login(3);
  EXPECT_EQ(w.closed.count(third), 1u);
  EXPECT_EQ(w.reg.logged_in(), 2u);
}

TEST(RegistryLogin, LinesBeforeLoginAndWithAnotherIdAreDropped) {
  World w;
  w.Open(9);
  w.Line(9, "9|MESSAGE|hi");
  w.Line(9, "9|CALLSIGN|X|");
  EXPECT_EQ(w.reg.dropped(Drop::kBeforeLogin), 2u);
  EXPECT_FALSE(w.reg.IsLoggedIn(9));

  w.Line(9, "9|Opening Connection|u|" + std::string(kZeros) + "|");
  w.Line(9, "8|MESSAGE|spoofed");
  EXPECT_EQ(w.reg.dropped(Drop::kWrongId), 1u);
  w.Line(9, "9|Opening Connection|u|" + std::string(kZeros) + "|");
  EXPECT_EQ(w.reg.dropped(Drop::kRepeatLogin), 1u);
  w.Line(9, "9|WHAT|x");
  EXPECT_EQ(w.reg.dropped(Drop::kUnknownKeyword), 1u);
  w.Line(9, "garbage");
  EXPECT_EQ(w.reg.dropped(Drop::kMalformed), 1u);
  EXPECT_TRUE(w.Take(9).empty()) << "nothing answers dropped input";
}

TEST(RegistryLogin, ConnectionThatNeverLogsInIsCut) {
  World w;
  ConnId idle = w.Open(3);
  w.Advance(5);
  EXPECT_EQ(w.closed.count(idle), 0u);
  w.Advance(6);
  EXPECT_EQ(w.closed.count(idle), 1u);
}

// ---- slots and relay ----

TEST(RegistrySlots, PilotsSeeEachOtherInStableSlots) {
  World w;
  w.Join(1, "AAA", "/home/u/Sim/Aircraft/GA/C172/C172.acf");
  w.Join(2, "BBB");
  w.Join(3, "CCC");
  w.Pos(1, 10, 10);
  w.Pos(2, 10.1, 10);
  auto relays = w.Pos(3, 10.2, 10);
  // 3 is seen by 1 and 2; neither got slot 0.
  ASSERT_EQ(relays.size(), 2u);
  for (const Relay &r : relays) EXPECT_GE(r.slot, 1);
  int on1 = w.reg.SlotOf(1, 3), on2 = w.reg.SlotOf(2, 3);
  EXPECT_EQ(World::SlotIn(relays, World::PortOf(1)), on1);
  EXPECT_EQ(World::SlotIn(relays, World::PortOf(2)), on2);

  auto table = w.reg.SlotTable(3);
  for (int i = 0; i < 50; ++i) {
    w.Pos(1, 10 + i * 0.001, 10);
    w.Pos(2, 10.1, 10 + i * 0.001);
    w.Advance(0.3);
  }
  EXPECT_EQ(w.reg.SlotTable(3), table) << "slots move only when someone leaves view";
  EXPECT_EQ(w.reg.SlotOf(1, 3), on1);
  w.ExpectConsistent();
}

TEST(RegistrySlots, NoticesComeBeforeTheFirstReportOfASlot) {
  World w;
  w.Join(1, "AAA", "/home/u/Sim/Aircraft/GA/C172/C172.acf");
  w.Join(2, "BBB");
  w.Pos(2, 0, 0);
  w.Take(2);
  auto relays = w.Pos(1, 0, 0.1);
  ASSERT_EQ(relays.size(), 1u);
  int slot = relays[0].slot;
  // By the time the report is handed out, the callsign and model are already queued.
  EXPECT_EQ(w.Take(2), (std::vector<std::string>{std::to_string(slot) + "|c|AAA\n",
                                                 std::to_string(slot) + "|p|Aircraft/GA/C172/C172.acf\n"}));
  // Only once per slot.
  w.Pos(1, 0, 0.2);
  EXPECT_TRUE(w.Take(2).empty());
}

TEST(RegistrySlots, UnknownModelIsNotAnnounced) {
  World w;
  w.Join(1, "AAA");
  w.Join(2, "BBB");
  w.Pos(2, 0, 0);
  w.Take(2);
  w.Pos(1, 0, 0);
  auto got = w.Take(2);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].substr(1), "|c|AAA\n");
}

TEST(RegistrySlots, RecipientWithoutDatagramAddressGetsNoReports) {
  World w;
  w.Join(1, "AAA");
  w.Join(2, "BBB");  // never sends a datagram
  auto relays = w.Pos(1, 0, 0);
  EXPECT_TRUE(relays.empty());
  EXPECT_NE(w.reg.SlotOf(2, 1), 0) << "but it still holds the slot and got the notices";
  EXPECT_FALSE(w.Take(2).empty());
}

TEST(RegistrySlots, DatagramPortIsLearnedAndFollowed) {
  World w;
  w.Join(1, "AAA");
  w.Join(2, "BBB");
  w.Pos(2, 0, 0, 5000);
  auto relays = w.Pos(1, 0, 0);
  ASSERT_EQ(relays.size(), 1u);
  EXPECT_EQ(relays[0].to.port, 5000);
  w.Pos(2, 0, 0, 5001);
  relays = w.Pos(1, 0, 0);
  ASSERT_EQ(relays.size(), 1u);
  EXPECT_EQ(relays[0].to.port, 5001);
}

TEST(RegistrySlots, StrangerAndMalformedDatagramsChangeNothing) {
  World w;
  w.Join(1, "AAA");
  w.Join(2, "BBB");
  w.Pos(2, 0, 0, 5000);
  // Same uniqueID from another host: not 2's datagram, and its port is not learned.
  w.Pos(2, 0, 0, 6666, false, IpAddr::V4(10, 0, 0, 9));
  w.Pos(77, 0, 0);  // nobody logged in as 77
  EXPECT_EQ(w.reg.dropped(Drop::kStranger), 2u);

  std::vector<Relay> relays;
  std::string_view values;
  Endpoint from{IpAddr::V4(127, 0, 0, 1), World::PortOf(1)};
  std::string bad = PositionText(1, false, 0, 0) + "|9";
  EXPECT_FALSE(w.reg.OnDatagram(bad, from, w.now, &relays, &values));
  EXPECT_EQ(w.reg.dropped(Drop::kBadDatagram), 1u);
  EXPECT_FALSE(w.reg.InView(1)) << "a refused datagram does not put its sender in view";

  relays = w.Pos(1, 0, 0);
  ASSERT_EQ(relays.size(), 1u);
  EXPECT_EQ(relays[0].to.port, 5000);
  w.ExpectConsistent();
}

TEST(RegistrySlots, LogoutAndClosedStreamFreeSlotsWithBlanks) {
  World w;
  w.Join(1, "AAA", "/Aircraft/a/a.acf");
  w.Join(2, "BBB");
  w.Join(3, "CCC");
  w.Pos(1, 0, 0);
  w.Pos(2, 0, 0);
  w.Pos(3, 0, 0);
  int slot_on_3 = w.reg.SlotOf(3, 1);
  ASSERT_NE(slot_on_3, 0);
  w.Take(3);
  w.Line(1, "1|Closing Connection");
  EXPECT_EQ(w.closed.count(w.conn[1]), 1u);
  std::string s = std::to_string(slot_on_3);
  EXPECT_EQ(w.Take(3), (std::vector<std::string>{s + "|c|BLANK\n", s + "|p|BLANK\n"}));

  int slot_of_2_on_3 = w.reg.SlotOf(3, 2);
  w.reg.Disconnect(w.conn[2], w.now, "connection closed");
  w.Collect();
  s = std::to_string(slot_of_2_on_3);
  EXPECT_EQ(w.Take(3), (std::vector<std::string>{s + "|c|BLANK\n", s + "|p|BLANK\n"}));
  EXPECT_FALSE(w.reg.IsLoggedIn(2));

  // The freed slot is handed out again.
  w.Join(4, "DDD");
  w.Pos(4, 0, 0);
  EXPECT_GE(w.reg.SlotOf(3, 4), 1);
  w.ExpectConsistent();
}

TEST(RegistrySlots, IdlePilotLeavesViewAndComesBack) {
  RegistryOptions o;
  o.idle_timeout = 20;
  World w(o);
  w.Join(1, "AAA");
  w.Join(2, "BBB");
  w.Pos(1, 0, 0);
  w.Pos(2, 0, 0);
  int slot = w.reg.SlotOf(2, 1);
  ASSERT_NE(slot, 0);
  for (int i = 0; i < 25; ++i) {
    w.Pos(2, 0, 0);  // 2 keeps sending, 1 goes quiet
    w.Advance(1);
  }
  EXPECT_EQ(w.reg.SlotOf(2, 1), 0);
  EXPECT_FALSE(w.reg.InView(1));
  EXPECT_EQ(w.seen_callsign[2][slot], "");
  EXPECT_NE(w.reg.SlotOf(1, 2), 0) << "an idle pilot still receives";

  w.Take(2);
  auto relays = w.Pos(1, 0, 0);
  EXPECT_EQ(relays.size(), 1u);
  int again = w.reg.SlotOf(2, 1);
  EXPECT_NE(again, 0);
  EXPECT_EQ(w.seen_callsign[2][again], "AAA");
  w.ExpectConsistent();
}

TEST(RegistrySlots, ObserversReceiveAndAreNotReceived) {
  World w;
  w.Join(1, "AAA");
  w.Login(9, "tower");
  w.Line(9, "9|VOCALLSIGN|Tower|");
  EXPECT_TRUE(w.reg.IsObserver(9));
  auto relays = w.Pos(9, 0, 0, 0, true);
  EXPECT_TRUE(relays.empty());
  EXPECT_FALSE(w.reg.InView(9));
  relays = w.Pos(1, 0, 0);
  ASSERT_EQ(relays.size(), 1u);
  EXPECT_EQ(relays[0].to.port, World::PortOf(9));
  EXPECT_EQ(w.reg.SlotOf(1, 9), 0);

  // A pilot seen by others that switches to view-only disappears from them.
  w.Join(2, "BBB");
  w.Pos(2, 0, 0);
  int slot = w.reg.SlotOf(1, 2);
  ASSERT_NE(slot, 0);
  w.Take(1);
  w.Pos(2, 0, 0, 0, true);
  EXPECT_TRUE(w.reg.IsObserver(2));
  EXPECT_EQ(w.reg.SlotOf(1, 2), 0);
  std::string s = std::to_string(slot);
  EXPECT_EQ(w.Take(1), (std::vector<std::string>{s + "|c|BLANK\n", s + "|p|BLANK\n"}));
  w.ExpectConsistent();
}

// ---- announcements and chat ----

TEST(RegistryNotices, CallsignAndModelTravelOnlyWhenChanged) {
  World w;
  w.Join(1, "AAA", "/home/u/Sim/Aircraft/GA/C172/C172.acf");
  w.Join(2, "BBB");
  w.Pos(2, 0, 0);
  w.Pos(1, 0, 0);
  int slot = w.reg.SlotOf(2, 1);
  w.Take(2);
  // The 10-second re-announcement repeats itself: nothing to tell.
  w.Line(1, "1|PLANE|/home/u/Sim/Aircraft/GA/C172/C172.acf");
  w.Line(1, "1|CALLSIGN|AAA|");
  EXPECT_TRUE(w.Take(2).empty());
  w.Line(1, "1|PLANE|C:\\Sim\\Aircraft\\Jets\\B738\\b738.acf");
  w.Line(1, "1|CALLSIGN|N\r\n1====23|");
  std::string s = std::to_string(slot);
  EXPECT_EQ(w.Take(2), (std::vector<std::string>{s + "|p|Aircraft/Jets/B738/b738.acf\n", s + "|c|N1===23\n"}));
  // A model line that cannot be used leaves the known model in place.
  w.Line(1, "1|PLANE|/etc/passwd");
  EXPECT_TRUE(w.Take(2).empty());
  EXPECT_EQ(w.reg.dropped(Drop::kMalformed), 1u);
  EXPECT_EQ(w.seen_model[2][slot], "Aircraft/Jets/B738/b738.acf");
}

TEST(RegistryNotices, LongCallsignIsCapped) {
  World w;
  w.Join(1, std::string(100, 'Q'));
  w.Join(2, "BBB");
  w.Pos(2, 0, 0);
  w.Pos(1, 0, 0);
  EXPECT_EQ(w.seen_callsign[2][w.reg.SlotOf(2, 1)], std::string(kMaxCallsign, 'Q'));
}

TEST(RegistryChat, ReachesEveryoneIncludingSender) {
  World w;
  w.Join(1, "AAA");
  w.Login(2, "bob");  // no callsign yet: named by user ID
  w.Login(9, "tower");
  w.Line(9, "9|VOCALLSIGN|Tower|");
  w.Take(1), w.Take(2), w.Take(9);
  w.Line(1, "1|MESSAGE|hello | all");
  w.Line(2, "2|MESSAGE|");
  for (int id : {1, 2, 9}) {
    EXPECT_EQ(w.Take(id), (std::vector<std::string>{"0|m|AAA: hello | all\n", "0|m|bob: \n"})) << id;
  }
  w.Line(1, "1|MESSAGE|" + std::string(500, 'x') + "\r====");
  auto got = w.Take(2);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], "0|m|AAA: " + std::string(kMaxChat, 'x') + "\n");
}

TEST(RegistryChat, FloodBeyondFiveLinesInFiveSecondsIsDropped) {
  World w;
  w.Join(1, "AAA");
  w.Join(2, "BBB");
  w.Take(2);
  for (int i = 0; i < 8; ++i) {
    w.Line(1, "1|MESSAGE|m" + std::to_string(i));
    w.now += 0.1;
  }
  EXPECT_EQ(w.Take(2).size(), 5u);
  EXPECT_EQ(w.reg.dropped(Drop::kChatFlood), 3u);
  w.now += 5;
  w.Line(1, "1|MESSAGE|later");
  EXPECT_EQ(w.Take(2), (std::vector<std::string>{"0|m|AAA: later\n"}));
  // Another pilot's allowance is its own.
  for (int i = 0; i < 5; ++i) w.Line(2, "2|MESSAGE|b");
  EXPECT_EQ(w.reg.dropped(Drop::kChatFlood), 3u);
}

// ---- nearest 19 ----

class Crowd : public ::testing::Test {
 protected:
  // Recipient 1 at 0,0; pilots 100.. along the meridian, pilot 100+k at (k+1)*10 km.
  void Fill(int pilots) {
    world.Join(1, "ME");
    lat[1] = 0;
    world.Pos(1, 0, 0);
    for (int k = 0; k < pilots; ++k) {
      world.Join(100 + k, "P" + std::to_string(k));
      lat[100 + k] = Km((k + 1) * 10.0);
      world.Pos(100 + k, lat[100 + k], 0);
    }
  }
  // Everyone reports (so nobody goes idle), then time moves on.
  void Step(double dt) {
    for (auto &e : lat) world.Pos(e.first, e.second, 0);
    world.Advance(dt);
  }
  std::set<int> Seen(int recipient) {
    std::set<int> s;
    for (int id : world.reg.SlotTable(recipient)) {
      if (id >= 0) s.insert(id);
    }
    return s;
  }
  World world;
  std::map<int, double> lat;
};

TEST_F(Crowd, FirstComersFillTheTableThenTheNearestWin) {
  // Join the far ones first: they take the 19 slots.
  world.Join(1, "ME");
  world.Pos(1, 0, 0);
  for (int k = 24; k >= 0; --k) {
    world.Join(100 + k, "P" + std::to_string(k));
    world.Pos(100 + k, Km((k + 1) * 10.0), 0);
  }
  EXPECT_EQ(Seen(1).size(), 19u);
  EXPECT_EQ(Seen(1).count(100), 0u) << "the nearest came last and found the table full";

  world.Advance(1.0);
  std::set<int> want;
  for (int k = 0; k < 19; ++k) want.insert(100 + k);
  EXPECT_EQ(Seen(1), want);
  world.ExpectConsistent();

  // Every slot the plugin shows names the pilot the registry put there.
  auto table = world.reg.SlotTable(1);
  for (int s = 1; s < kSlots; ++s) {
    ASSERT_GE(table[s], 0);
    EXPECT_EQ(world.seen_callsign[1][s], "P" + std::to_string(table[s] - 100)) << "slot " << s;
  }
}

TEST_F(Crowd, ReEvaluatedAtMostOncePerSecond) {
  Fill(20);  // pilot 119 at 200 km is the outsider
  world.Advance(1.0);
  ASSERT_EQ(Seen(1).count(119), 0u);
  // 119 jumps next to us; the table must not change before a second has passed.
  lat[119] = Km(1);
  Step(0.4);
  Step(0.4);
  EXPECT_EQ(Seen(1).count(119), 0u);
  Step(0.3);
  EXPECT_EQ(Seen(1).count(119), 1u);
  EXPECT_EQ(Seen(1).count(118), 0u) << "the farthest holder made room";
}

TEST_F(Crowd, NoFlickerAroundTheBoundary) {
  Fill(20);
  world.Advance(1.0);
  // 118 holds a slot at 190 km, 119 is out at 200 km. Let them cross back and forth
  // by a few kilometres, less than the margin.
  int slot = world.reg.SlotOf(1, 118);
  ASSERT_NE(slot, 0);
  world.Take(1);
  for (int i = 0; i < 20; ++i) {
    bool odd = i % 2;
    lat[118] = Km(odd ? 188 : 196);
    lat[119] = Km(odd ? 195 : 187);
    Step(1.0);
    EXPECT_EQ(world.reg.SlotOf(1, 118), slot) << "round " << i;
    EXPECT_EQ(world.reg.SlotOf(1, 119), 0) << "round " << i;
  }
  EXPECT_TRUE(world.Take(1).empty()) << "no notices while nothing changes";

  // A clear gain does swap, on the same slot number, announced in order.
  lat[119] = Km(50);
  Step(1.0);
  EXPECT_EQ(world.reg.SlotOf(1, 119), slot);
  EXPECT_EQ(world.reg.SlotOf(1, 118), 0);
  std::string s = std::to_string(slot);
  EXPECT_EQ(world.Take(1), (std::vector<std::string>{s + "|c|BLANK\n", s + "|p|BLANK\n", s + "|c|P19\n"}));
  world.ExpectConsistent();
}

TEST_F(Crowd, FreedSlotGoesToTheNearestOutsider) {
  Fill(25);
  world.Advance(1.0);
  world.Line(105, "105|Closing Connection");
  world.Advance(0.1);  // no full re-evaluation is due, but a free slot is filled
  EXPECT_EQ(Seen(1).size(), 19u);
  EXPECT_EQ(Seen(1).count(119), 1u) << "the nearest pilot left outside takes it";
  EXPECT_EQ(Seen(1).count(120), 0u);
  world.ExpectConsistent();
}

// Random churn: whatever happens, the registry stays consistent and every plugin's own
// picture of its slots (built only from notices) matches the registry's tables.
TEST(RegistryChurn, PluginPictureMatchesRegistry) {
  RegistryOptions o;
  o.idle_timeout = 3;
  World w(o);
  std::mt19937 rng(12345);
  std::set<int> online;
  std::map<int, std::string> callsign;
  auto pick = [&]() {
    auto it = online.begin();
    std::advance(it, rng() % online.size());
    return *it;
  };
  for (int step = 0; step < 4000; ++step) {
    int op = rng() % 10;
    if (op == 0 || online.size() < 3) {
      int id = 1 + rng() % 60;
      if (online.count(id)) continue;
      callsign[id] = "C" + std::to_string(id);
      w.Join(id, callsign[id], "/s/Aircraft/m" + std::to_string(id % 3) + "/x.acf");
      online.insert(id);
    } else if (op == 1) {
      int id = pick();
      if (rng() % 2) w.Line(id, std::to_string(id) + "|Closing Connection");
      else w.reg.Disconnect(w.conn[id], w.now, "closed"), w.Collect();
      online.erase(id);
      w.sent.erase(id), w.seen_callsign.erase(id), w.seen_model.erase(id);
    } else if (op == 2) {
      int id = pick();
      if (w.reg.IsObserver(id)) continue;  // an observer announces with VOCALLSIGN
      callsign[id] = "C" + std::to_string(rng() % 1000);
      w.Line(id, std::to_string(id) + "|CALLSIGN|" + callsign[id] + "|");
    } else if (op == 3) {
      w.Advance(0.05 + (rng() % 100) / 100.0);
    } else {
      int id = pick();
      if (id % 17 == 0) {
        callsign[id] = "obs";
        w.Line(id, std::to_string(id) + "|VOCALLSIGN|obs|");
      }
      w.Pos(id, (rng() % 2000) / 100.0 - 10, (rng() % 2000) / 100.0 - 10, 0, id % 13 == 0);
    }
    std::string why;
    ASSERT_TRUE(w.reg.CheckConsistency(&why)) << "step " << step << ": " << why;
  }
  std::size_t checked = 0;
  for (int r : online) {
    auto table = w.reg.SlotTable(r);
    for (int s = 1; s < kSlots; ++s) {
      std::string cs = w.seen_callsign[r][s];
      if (table[s] < 0) {
        EXPECT_EQ(cs, "") << "slot " << s << " on " << r << " freed without a BLANK";
      } else {
        ++checked;
        EXPECT_EQ(cs, callsign[table[s]]) << "slot " << s << " on " << r << " shows a stale callsign";
        EXPECT_EQ(w.seen_model[r][s], "Aircraft/m" + std::to_string(table[s] % 3) + "/x.acf");
      }
    }
  }
  EXPECT_GT(checked, 20u) << "the churn should leave some slots in use";
}

TEST(GreatCircle, KnownDistances) {
  EXPECT_NEAR(GreatCircleMeters(0, 0, 0, 1), 111195, 10);
  EXPECT_NEAR(GreatCircleMeters(0, 179.5, 0, -179.5), 111195, 10) << "across the date line";
  EXPECT_NEAR(GreatCircleMeters(51.5, -0.12, 40.64, -73.78), 5.56e6, 0.01e6);
}
