// Whole sessions: the real server and one simulated host per pilot, each running the real plugin
// file, over 127.0.0.1 in real time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include "bpf_dir.h"
#include "skyhost/Host.h"
#include "redis_server.h"
#include "session.h"
#include "net/steering.h"

using namespace e2e;

namespace {

void Sleep(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Every started pilot is finished (or killed) by the guard, whatever the test does.
struct Crew {
  std::vector<std::unique_ptr<Pilot>> pilots;
  Pilot &add(const PilotSetup &setup) {
    pilots.push_back(std::make_unique<Pilot>(setup));
    EXPECT_TRUE(pilots.back()->start());
    return *pilots.back();
  }
  bool finishAll() {
    bool ok = true;
    for (auto &p : pilots) {
      bool finished = p->finish();
      EXPECT_TRUE(finished) << p->setup().name << " did not finish cleanly:\n" << p->log();
      ok = ok && finished;
    }
    return ok;
  }
};

std::string Plane(int n, const char *field) {
  return "sim/multiplayer/position/plane" + std::to_string(n) + "_" + field;
}

PilotSetup At(const std::string &name, double lat, double lon, double seconds = 14) {
  PilotSetup s;
  s.name = name;
  s.lat = lat;
  s.lon = lon;
  s.seconds = seconds;
  return s;
}

}  // namespace

TEST(Session, PilotsSeeEachOtherNamedPlacedAndWithTheirModels) {
  Server server({"--listen", "::"});  // both families: Bravo comes over IPv6, the others over IPv4
  ASSERT_TRUE(server.start());
  Crew crew;
  // Alpha's and Bravo's hosts have their origins 10 km apart in one whole-degree cell: only the
  // latitude, longitude and elevation they send mean the same to both.
  Pilot &alpha = crew.add(At("Alpha", 47.46, 8.56));
  PilotSetup farOrigin = At("Bravo", 47.47, 8.58);
  farOrigin.originLat = 47.40;
  farOrigin.originLon = 8.50;
  farOrigin.server = "[::1]";
  Pilot &bravo = crew.add(farOrigin);
  Pilot &charlie = crew.add(At("Charlie", 48.2, 8.7));  // another whole-degree cell
  ASSERT_TRUE(crew.finishAll());

  auto shown = [](const Pilot &p) {
    std::string out;
    for (const auto &s : p.strings()) out += s + "\n";
    return out;
  };
  int b = alpha.slotOf("Bravo");
  ASSERT_GE(b, 1) << shown(alpha) << "\n--\n" << shown(bravo) << "\n--\n" << shown(charlie) << server.log();
  EXPECT_EQ(alpha.row(b), std::to_string(b) + ": Bravo Cessna_172SP");
  // Each sees the others where they are, to the resolution of the texts on the wire.
  for (const Pilot *viewer : {&alpha, &bravo, &charlie}) {
    for (const Pilot *other : {&alpha, &bravo, &charlie}) {
      if (viewer == other) continue;
      const int slot = viewer->slotOf(other->setup().name);
      ASSERT_GE(slot, 1) << viewer->setup().name << " sees no " << other->setup().name << server.log();
      std::printf("[ measured ] %s shows %s %.2f m from where it is\n", viewer->setup().name.c_str(),
                  other->setup().name.c_str(), PlacementError(*viewer, slot, *other));
      EXPECT_LT(PlacementError(*viewer, slot, *other), 2.0)
          << viewer->setup().name << " " << other->setup().name;
    }
  }
  // The model named by the server was found under Alpha's own folder and loaded.
  EXPECT_EQ(alpha.dump()["planes"]["models"][std::to_string(b)].text,
            alpha.root() + "/Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf");
  EXPECT_NE(charlie.slotOf("Alpha"), charlie.slotOf("Bravo"));
  EXPECT_EQ(server.stop(), 0) << server.log();
}

TEST(Session, ChatReachesEveryPilotTheSenderIncluded) {
  Server server;
  ASSERT_TRUE(server.start());
  Crew crew;
  PilotSetup a = At("Alpha", 47.46, 8.56);
  a.script = {"11 key tab", "11.5 type hello all", "12 key return"};
  Pilot &alpha = crew.add(a);
  Pilot &bravo = crew.add(At("Bravo", 47.47, 8.58));
  ASSERT_TRUE(crew.finishAll());

  for (Pilot *p : {&alpha, &bravo}) {
    auto history = p->chatHistory();
    ASSERT_EQ(history.size(), 14u) << p->setup().name;
    EXPECT_EQ(history[13], "Alpha: hello all") << p->setup().name;
  }
  // Bravo's window is held open by the traffic alone, so it shows the countdown.
  auto strings = bravo.strings();
  bool countdown = false;
  for (const auto &s : strings) countdown = countdown || (s.size() == 1 && s[0] >= '1' && s[0] <= '9');
  EXPECT_TRUE(countdown);
  EXPECT_EQ(server.stop(), 0) << server.log();
}

// At 60 fps another pilot's aircraft moves on in every frame the host draws, not only in those
// whose receive cycle brought a report.
TEST(Session, AnotherPilotsAircraftMovesInEveryFrame) {
  Server server;
  ASSERT_TRUE(server.start());
  Crew crew;
  PilotSetup a = At("Alpha", 47.4737, 8.5492);  // on the circle, north of its centre
  a.script = {"0 fly circle 47.4647 8.5492 700 1000 60 0"};
  a.fps = 60;
  crew.add(a);
  PilotSetup b = At("Bravo", 47.4647, 8.5492);
  b.fps = 60;
  Pilot &bravo = crew.add(b);
  ASSERT_TRUE(crew.finishAll());

  // Frames of Bravo's last seconds in which Alpha (the only plane near) was shown in both. Placed
  // by the receive cycle alone, it would stand still in every other frame; a few still frames are
  // allowed for a sending host that stalled past the half second an aircraft moves on unreported.
  const auto frames = bravo.frames();
  ASSERT_GT(frames.size(), 600u);
  int compared = 0, still = 0;
  for (size_t i = frames.size() - 300; i < frames.size(); ++i) {
    const auto &now = frames[i].planes, &before = frames[i - 1].planes;
    if (now.size() != 1 || before.size() != 1) continue;
    const double north = (now[0][1] - before[0][1]) * 111195.0;
    const double east = (now[0][2] - before[0][2]) * 111195.0 * std::cos(now[0][1] * M_PI / 180);
    if (std::hypot(north, east) == 0.0) ++still;
    ++compared;
  }
  EXPECT_GT(compared, 250) << server.log();
  EXPECT_LE(still, 3) << "of " << compared << " frames";
  EXPECT_EQ(server.stop(), 0) << server.log();
}

// The viewer's host moves its origin while another pilot flies near: with smoothing on and off,
// that pilot is shown moving on through the shift, where it is.
class OriginShift : public ::testing::TestWithParam<bool> {};

TEST_P(OriginShift, AnotherPilotFliesOnThroughTheViewersOriginShift) {
  Server server;
  ASSERT_TRUE(server.start());
  Crew crew;
  PilotSetup a = At("Alpha", 47.4737, 8.5492);
  a.script = {"0 fly circle 47.4647 8.5492 700 1000 60 0"};
  a.fps = 60;
  Pilot &alpha = crew.add(a);
  // Bravo flies west at 100 m/s, nearly straight (a circle of 100 km), from 19.2 km east of its
  // host's origin: about 8 s in, 20 km away, the host moves the origin to it.
  PilotSetup b = At("Bravo", 47.4647, 8.5492);
  b.script = {"0 fly circle 46.56538 8.5492 700 100000 100 0"};
  b.originLat = 47.4647;
  b.originLon = 8.80455;
  b.fps = 60;
  b.smooth = GetParam();
  Pilot &bravo = crew.add(b);
  ASSERT_TRUE(crew.finishAll());
  ASSERT_EQ(bravo.dump()["origin"]["moves"].number, 1.0) << bravo.log();

  skyhost::HostOptions o;
  o.originLatitude = b.originLat;
  o.originLongitude = b.originLon;
  skyhost::Host projector(o);
  auto local = [&](double lat, double lon, double el) {
    std::array<double, 3> p;
    projector.worldToLocal(lat, lon, el, &p[0], &p[1], &p[2]);
    return p;
  };
  const auto seen = bravo.frames(), flown = alpha.frames();
  size_t shift = 0;
  while (shift < seen.size()) {
    const auto p = local(seen[shift].own[0], seen[shift].own[1], seen[shift].own[2]);
    if (std::hypot(p[0], p[2]) > 20000) break;
    ++shift;
  }
  ASSERT_GT(shift, 300u);
  ASSERT_LT(shift + 60, seen.size());
  // Where Alpha was at a moment, from its own frames.
  auto alphaAt = [&](double wall) {
    size_t k = 1;
    while (k + 1 < flown.size() && flown[k].wall < wall) ++k;
    const auto &p = flown[k - 1], &q = flown[k];
    const double f = q.wall > p.wall ? std::min(1.0, std::max(0.0, (wall - p.wall) / (q.wall - p.wall))) : 0;
    std::array<double, 3> at;
    for (int i = 0; i < 3; ++i) at[i] = p.own[i] + f * (q.own[i] - p.own[i]);
    return local(at[0], at[1], at[2]);
  };
  int still = 0, compared = 0;
  double worst = 0;
  for (size_t i = shift - 60; i < shift + 60; ++i) {
    if (seen[i].planes.size() != 1 || seen[i - 1].planes.size() != 1) continue;
    const auto &now = seen[i].planes[0], &before = seen[i - 1].planes[0];
    // A sending host stalled on a busy machine may hold its aircraft anywhere in the run; at the
    // shift itself nothing may.
    if (now[1] == before[1] && now[2] == before[2] && i + 5 >= shift && i <= shift + 5) ++still;
    const auto shown = local(now[1], now[2], now[3]), truth = alphaAt(seen[i].wall);
    worst = std::max(worst, std::hypot(shown[0] - truth[0], shown[1] - truth[1], shown[2] - truth[2]));
    ++compared;
  }
  EXPECT_GT(compared, 100) << server.log();
  // With smoothing off the aircraft moves only in the frames that brought a report.
  if (GetParam()) {
    EXPECT_EQ(still, 0) << "frames about the shift; worst error " << worst << " m";
  }
  // A report placed in the frame before the shift would be 20 km off; a loaded machine that
  // delays reports costs metres.
  EXPECT_LT(worst, 50.0) << "metres from where Alpha was";
  EXPECT_EQ(server.stop(), 0) << server.log();
}

INSTANTIATE_TEST_SUITE_P(SmoothingOnAndOff, OriginShift, ::testing::Bool());

TEST(Session, LeavingPilotsFreeTheirSlots) {
  Server server;
  ASSERT_TRUE(server.start());
  Crew crew;
  Pilot &alpha = crew.add(At("Alpha", 47.46, 8.56, 16));
  PilotSetup b = At("Bravo", 47.47, 8.58, 16);
  b.script = {"12 disable"};  // logs out
  crew.add(b);
  PilotSetup c = At("Charlie", 47.48, 8.59, 30);
  Pilot &charlie = crew.add(c);
  // Charlie's slot on Alpha is known once the callsigns are announced; then Charlie dies.
  Sleep(12);
  charlie.kill();
  ASSERT_TRUE(alpha.finish());
  crew.pilots[1]->finish();

  // Both freed slots read empty: no callsign and no model name.
  int empty = 0;
  for (int n = 1; n <= 19; ++n)
    if (alpha.row(n) == std::to_string(n) + ":  ") ++empty;
  EXPECT_EQ(empty, 2) << server.log();
  EXPECT_EQ(alpha.slotOf("Bravo"), -1);
  EXPECT_EQ(alpha.slotOf("Charlie"), -1);
  EXPECT_NE(server.log().find("logout"), std::string::npos);
  EXPECT_EQ(server.stop(), 0) << server.log();
}

TEST(Session, PilotsSurviveTheServerAndConnectAgain) {
  auto server = std::make_unique<Server>();
  ASSERT_TRUE(server->start());
  Crew crew;
  PilotSetup a = At("Alpha", 47.46, 8.56, 20);
  // Open the settings pane after the server died (it offers Connect), connect once it is back.
  a.script = {"7 menu Skytether > Control & Settings", "7.1 dump {root}/pane-before.json",
              "13 widget-click Connect"};
  Pilot &alpha = crew.add(a);
  Pilot &bravo = crew.add(At("Bravo", 47.47, 8.58, 20));
  Sleep(4);
  server->kill();
  Sleep(6);
  server = std::make_unique<Server>();
  ASSERT_TRUE(server->start());
  ASSERT_TRUE(crew.finishAll());  // neither host froze nor crashed

  // While the server was away the pane offered Connect: the closed stream was noticed.
  Json before;
  ASSERT_TRUE(ParseJsonFile(alpha.root() + "/pane-before.json", before));
  for (const auto &w : before["widgets"].items) {
    if (w["descriptor"].text == "Connect") {
      EXPECT_TRUE(w["visible"].boolean);
    }
    if (w["descriptor"].text == "Disconnect") {
      EXPECT_FALSE(w["visible"].boolean);
    }
  }
  // After the reconnect Alpha's pane offers Disconnect, and the new server saw Alpha log in.
  EXPECT_TRUE(alpha.widgetVisible("Disconnect"));
  EXPECT_FALSE(alpha.widgetVisible("Connect"));
  EXPECT_NE(server->log().find("Alpha"), std::string::npos) << server->log();
  (void)bravo;
  EXPECT_EQ(server->stop(), 0) << server->log();
}

TEST(Session, AWrongPasswordIsRefusedAndAnObserverIsNotSeen) {
  skyhost::TempDir dir("skytether-e2e-accounts-");
  {
    std::ofstream accounts(dir.path() + "/accounts");
    accounts << "# pilots\nAlpha alpha-pw\nBravo bravo-pw\nMallory right-pw\nEye eye-pw\n";
  }
  ::chmod((dir.path() + "/accounts").c_str(), 0600);
  Server server({"--accounts", dir.path() + "/accounts"});
  ASSERT_TRUE(server.start()) << server.log();
  Crew crew;
  PilotSetup a = At("Alpha", 47.46, 8.56);
  a.password = "alpha-pw";
  PilotSetup b = At("Bravo", 47.47, 8.58);
  b.password = "bravo-pw";
  PilotSetup m = At("Mallory", 47.465, 8.57);
  m.password = "wrong";
  m.script = {"6 menu Skytether > Control & Settings"};
  PilotSetup o = At("Eye", 47.468, 8.575);
  o.password = "eye-pw";
  o.observer = true;
  Pilot &alpha = crew.add(a);
  Pilot &bravo = crew.add(b);
  Pilot &mallory = crew.add(m);
  Pilot &eye = crew.add(o);
  ASSERT_TRUE(crew.finishAll());

  // Mallory was refused: the server closed the stream and the pane offers Connect.
  EXPECT_TRUE(mallory.widgetVisible("Connect"));
  EXPECT_FALSE(mallory.widgetVisible("Disconnect"));
  EXPECT_EQ(mallory.slotOf("Alpha"), -1);
  EXPECT_EQ(alpha.slotOf("Mallory"), -1);
  EXPECT_NE(server.log().find("refused"), std::string::npos) << server.log();
  // The observer sees both pilots; neither sees the observer.
  EXPECT_GE(eye.slotOf("Alpha"), 1);
  EXPECT_GE(eye.slotOf("Bravo"), 1);
  EXPECT_EQ(alpha.slotOf("Eye"), -1);
  EXPECT_EQ(bravo.slotOf("Eye"), -1);
  EXPECT_GE(alpha.slotOf("Bravo"), 1);
  EXPECT_EQ(server.stop(), 0) << server.log();
}

namespace {

// Logs in over the stream and then sends junk on both channels as fast as it can.
void Flood(std::chrono::steady_clock::time_point until) {
  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(49556);
  inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  if (connect(tcp, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) {
    close(tcp);
    return;
  }
  std::string login = "777|Opening Connection|flood|00000000000000000000000000000000|\n";
  send(tcp, login.data(), login.size(), MSG_NOSIGNAL);
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  std::string junk = "777|LOC|" + std::string(300, '9') + "|x|||";
  std::string lines;
  for (int i = 0; i < 50; ++i) lines += "777|MESSAGE|spam spam spam\n777|BOGUS|x\n|||\n";
  while (std::chrono::steady_clock::now() < until) {
    send(tcp, lines.data(), lines.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    for (int i = 0; i < 50; ++i)
      sendto(udp, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr *>(&server), sizeof server);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  close(udp);
  close(tcp);
}

}  // namespace

TEST(Session, TheNearestNineteenAndAFlooderHarmNobody) {
  Server server;
  ASSERT_TRUE(server.start());
  Crew crew;
  // Alpha at the centre; nineteen others on a line east of it 1 km apart, and a twentieth 40 km
  // out: whichever joins first, the far one is not seen once the table settles.
  PilotSetup a = At("Alpha", 47.46, 8.56, 16);
  a.fps = 20;
  Pilot &alpha = crew.add(a);
  for (int i = 1; i <= 20; ++i) {
    PilotSetup p = At("P" + std::to_string(i), 47.46, 8.56 + (i < 20 ? i : 40) * 0.0133, 16);  // ~1 km a step
    p.fps = 10;
    crew.add(p);
  }
  Sleep(3);
  std::thread flooder(Flood, std::chrono::steady_clock::now() + std::chrono::seconds(8));
  flooder.join();
  ASSERT_TRUE(crew.finishAll());

  for (int i = 1; i <= 19; ++i) {
    std::string name = "P" + std::to_string(i);
    int slot = alpha.slotOf(name);
    ASSERT_GE(slot, 1) << name << "\n" << server.log().substr(0, 4000);
    // The latest report of each reached Alpha whole.
    EXPECT_NEAR(alpha.dataref(Plane(slot, "lon")), 8.56 + i * 0.0133, 2e-5) << name;
    EXPECT_EQ(alpha.dataref(Plane(slot, "beacon_lights_on")), 0.0);
  }
  EXPECT_EQ(alpha.slotOf("P20"), -1);
  // The flooder was cut and counted; every pilot finished (checked above).
  EXPECT_NE(server.log().find("flood"), std::string::npos);
  EXPECT_EQ(server.stop(), 0) << server.log();
}

// Two cluster nodes on one address and port, steered by the pilots' source addresses, sharing
// their pilots through Redis: each host runs the real plugin file and sees the pilots of both.
TEST(Session, PilotsOnTwoNodesOfOneAddressFlyInOneSky) {
  harness::BpfDir bpf;
  if (!bpf.ok()) GTEST_SKIP() << "no BPF file system of our own (root is needed): " << bpf.why();
  harness::RedisServer redis;
  ASSERT_TRUE(redis.ok());
  std::vector<std::unique_ptr<Server>> nodes;
  for (int k = 0; k < 2; ++k) {
    nodes.push_back(std::make_unique<Server>(std::vector<std::string>{
        "--cluster", redis.address(), "--reuseport", std::to_string(k) + "/2", "--bpf-dir",
        bpf.Folder("group"), "--node-name", "node" + std::to_string(k)}));
    ASSERT_TRUE(nodes.back()->start()) << nodes.back()->log();
  }
  for (auto &n : nodes) ASSERT_TRUE(n->waitForLog(" joined", 5)) << n->log();
  // Alpha and Charlie on node 0, Bravo on node 1, as if each flew from a machine of its own.
  std::vector<unsigned> sources = skytether::SpreadLoopbackAddresses(3, 2);
  auto from = [&sources](int i) {
    char text[INET_ADDRSTRLEN];
    in_addr a{sources[i]};
    return std::string(inet_ntop(AF_INET, &a, text, sizeof text));
  };
  // Each looks 13 s into its run, while the others fly on even if their hosts started later.
  Crew crew;
  PilotSetup a = At("Alpha", 47.46, 8.56, 18);
  a.source = from(0);
  a.script = {"11 key tab", "11.5 type hello other node", "12 key return", "13 dump {root}/13s.json"};
  PilotSetup b = At("Bravo", 47.47, 8.58, 18);
  b.source = from(1);
  b.script = {"13 dump {root}/13s.json"};
  PilotSetup c = At("Charlie", 47.48, 8.59, 18);
  c.source = from(2);
  c.script = {"13 dump {root}/13s.json"};
  Pilot &alpha = crew.add(a);
  Pilot &bravo = crew.add(b);
  Pilot &charlie = crew.add(c);
  ASSERT_TRUE(crew.finishAll());
  // Chat from node 0 reached node 1's pilot (by the end of its run).
  auto history = bravo.chatHistory();
  ASSERT_EQ(history.size(), 14u);
  EXPECT_EQ(history[13], "Alpha: hello other node");
  for (Pilot *p : {&alpha, &bravo, &charlie}) ASSERT_TRUE(p->useDump(p->root() + "/13s.json"));

  // Each node served its own pilots only.
  EXPECT_NE(nodes[0]->log().find("(Alpha) from " + from(0)), std::string::npos) << nodes[0]->log();
  EXPECT_NE(nodes[0]->log().find("(Charlie) from " + from(2)), std::string::npos);
  EXPECT_NE(nodes[1]->log().find("(Bravo) from " + from(1)), std::string::npos) << nodes[1]->log();
  EXPECT_EQ(nodes[1]->log().find("(Alpha) from "), std::string::npos);
  EXPECT_EQ(nodes[0]->log().find("(Bravo) from "), std::string::npos);
  // Bravo sees both pilots of the other node, named, with their models, where they are.
  for (const char *name : {"Alpha", "Charlie"}) {
    int s = bravo.slotOf(name);
    ASSERT_GE(s, 1) << name;
    EXPECT_EQ(bravo.row(s), std::to_string(s) + ": " + name + " Cessna_172SP");
  }
  EXPECT_LT(PlacementError(bravo, bravo.slotOf("Alpha"), alpha), 2.0);
  EXPECT_GE(alpha.slotOf("Bravo"), 1);
  EXPECT_GE(alpha.slotOf("Charlie"), 1);
  EXPECT_GE(charlie.slotOf("Bravo"), 1);
  for (auto &n : nodes) EXPECT_EQ(n->stop(), 0) << n->log();
  if (HasFailure()) {
    for (auto &n : nodes) std::printf("---- node log\n%s", n->log().c_str());
    for (Pilot *p : {&alpha, &bravo, &charlie}) {
      for (int s = 1; s <= 3; ++s) std::printf("%s row %s\n", p->setup().name.c_str(), p->row(s).c_str());
    }
  }
}
