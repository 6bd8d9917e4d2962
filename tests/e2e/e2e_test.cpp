// Whole sessions: the real server and one simulated host per pilot, each running the real plugin
// file, over 127.0.0.1 in real time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// Every started pilot is finished (or killed) by the guard, whatever the test does. Each names
// the crew's server (its port) unless its setup names one.
struct Crew {
  explicit Crew(int serverPort) : port(serverPort) {}
  int port;
  std::vector<std::unique_ptr<Pilot>> pilots;
  Pilot &add(PilotSetup setup) {
    if (setup.port == 0) setup.port = port;
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

// A pilot held still at lat, lon, flying until the test is done with it.
PilotSetup At(const std::string &name, double lat, double lon) {
  PilotSetup s;
  s.name = name;
  s.lat = lat;
  s.lon = lon;
  s.held = true;
  return s;
}

// Waits for each pilot's login line, from the server's start.
::testing::AssertionResult LoggedIn(Server &server, const std::vector<std::string> &names,
                                    double timeout = 60) {
  for (const std::string &name : names)
    if (!server.process().WaitForLine("login * (" + name + ") from *", timeout))
      return ::testing::AssertionFailure() << name << " did not log in\n" << server.process().Tail();
  return ::testing::AssertionSuccess();
}

// Chat from the host's keyboard: Tab opens the entry with the keyboard (or closes the window that
// traffic opened without it: then once more), Return sends the line.
::testing::AssertionResult Say(Pilot &p, const std::string &text) {
  for (int tabs = 0; tabs < 3; ++tabs) {
    if (!p.snapshot()) break;
    if (p.dump()["keyboardFocus"].type != Json::Null) {
      p.act("type " + text);
      p.act("key return");
      return ::testing::AssertionSuccess();
    }
    p.act("key tab");
  }
  return ::testing::AssertionFailure() << p.setup().name << "'s chat entry never had the keyboard";
}

bool LastChat(const Pilot &p, const std::string &line) {
  const auto history = p.chatHistory();
  return history.size() == 14 && history[13] == line;
}

std::string Shown(const Pilot &p) {
  std::string out = "---- " + p.setup().name + " shows\n";
  for (const auto &s : p.strings()) out += s + "\n";
  return out;
}

}  // namespace

TEST(Session, PilotsSeeEachOtherNamedPlacedAndWithTheirModels) {
  Server server({"--listen", "::"});  // both families: Bravo comes over IPv6, the others over IPv4
  ASSERT_TRUE(server.start());
  Crew crew(server.port());
  // Alpha's and Bravo's hosts have their origins 10 km apart in one whole-degree cell: only the
  // latitude, longitude and elevation they send mean the same to both.
  Pilot &alpha = crew.add(At("Alpha", 47.46, 8.56));
  PilotSetup farOrigin = At("Bravo", 47.47, 8.58);
  farOrigin.originLat = 47.40;
  farOrigin.originLon = 8.50;
  farOrigin.server = "[::1]";
  Pilot &bravo = crew.add(farOrigin);
  Pilot &charlie = crew.add(At("Charlie", 48.2, 8.7));  // another whole-degree cell
  const std::vector<Pilot *> all = {&alpha, &bravo, &charlie};

  // Each sees the others named, with their model (loaded), where they are (to the resolution of
  // the texts on the wire), in snapshots of all three taken together.
  auto placed = [&] {
    for (Pilot *p : all)
      if (!p->snapshot()) return false;
    for (const Pilot *viewer : all) {
      for (const Pilot *other : all) {
        const int slot = viewer == other ? 0 : viewer->slotOf(other->setup().name);
        // The model loads a frame or more after the notice that names it.
        if (viewer != other &&
            (slot < 1 ||
             viewer->row(slot) != std::to_string(slot) + ": " + other->setup().name + " Cessna_172SP" ||
             viewer->dump()["planes"]["models"][std::to_string(slot)].text.empty() ||
             PlacementError(*viewer, slot, *other) >= 2.0))
          return false;
      }
    }
    return true;
  };
  bool done = false;
  for (auto deadline = harness::After(60); !done && harness::Clock::now() < deadline;) done = placed();
  for (const Pilot *viewer : all) {
    for (const Pilot *other : all) {
      if (viewer == other) continue;
      const int slot = viewer->slotOf(other->setup().name);
      ASSERT_GE(slot, 1) << viewer->setup().name << " sees no " << other->setup().name << "\n"
                         << Shown(*viewer) << server.process().Tail();
      EXPECT_EQ(viewer->row(slot), std::to_string(slot) + ": " + other->setup().name + " Cessna_172SP");
      std::printf("[ measured ] %s shows %s %.2f m from where it is\n", viewer->setup().name.c_str(),
                  other->setup().name.c_str(), PlacementError(*viewer, slot, *other));
      EXPECT_LT(PlacementError(*viewer, slot, *other), 2.0)
          << viewer->setup().name << " " << other->setup().name;
    }
  }
  EXPECT_TRUE(done);
  // The model named by the server was found under Alpha's own folder and loaded.
  EXPECT_EQ(alpha.dump()["planes"]["models"][std::to_string(alpha.slotOf("Bravo"))].text,
            alpha.root() + "/Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf");
  EXPECT_NE(charlie.slotOf("Alpha"), charlie.slotOf("Bravo"));
  EXPECT_TRUE(crew.finishAll());
  EXPECT_EQ(server.stop(), 0) << server.process().Tail();
}

TEST(Session, ChatReachesEveryPilotTheSenderIncluded) {
  Server server;
  ASSERT_TRUE(server.start());
  Crew crew(server.port());
  Pilot &alpha = crew.add(At("Alpha", 47.46, 8.56));
  Pilot &bravo = crew.add(At("Bravo", 47.47, 8.58));
  ASSERT_TRUE(LoggedIn(server, {"Alpha", "Bravo"}));
  ASSERT_TRUE(Say(alpha, "hello all"));

  EXPECT_TRUE(alpha.snapshotUntil([&] { return LastChat(alpha, "Alpha: hello all"); }, 30)) << Shown(alpha);
  // Bravo's window is held open by the traffic alone, so it shows the countdown.
  auto countdown = [&] {
    for (const auto &s : bravo.strings())
      if (s.size() == 1 && s[0] >= '1' && s[0] <= '9') return true;
    return false;
  };
  EXPECT_TRUE(bravo.snapshotUntil([&] { return LastChat(bravo, "Alpha: hello all") && countdown(); }, 30))
      << Shown(bravo);
  EXPECT_TRUE(crew.finishAll());
  EXPECT_EQ(server.stop(), 0) << server.process().Tail();
}

// A Windows pilot (the Windows build of host and plugin, under wine, in a folder whose name has a
// letter outside ASCII) and a Linux pilot through the Linux server: both log in, chat both ways,
// load each other's model from their own folders and see each other where they are.
TEST(Session, AWindowsPilotAndALinuxPilotFlyTogether) {
  if (WindowsBuild().empty()) GTEST_SKIP() << "no Windows build named: ./run windows runs this";
  Server server;
  ASSERT_TRUE(server.start());
  Crew crew(server.port());
  PilotSetup w = At("Wendy", 47.46, 8.56);
  w.windows = true;
  Pilot &wendy = crew.add(w);
  Pilot &linus = crew.add(At("Linus", 47.47, 8.58));
  ASSERT_TRUE(LoggedIn(server, {"Wendy", "Linus"}));
  ASSERT_TRUE(Say(wendy, "hello from windows"));
  ASSERT_TRUE(Say(linus, "hello from linux"));

  for (Pilot *p : {&wendy, &linus}) {
    auto heard = [p] {
      const auto history = p->chatHistory();
      return std::find(history.begin(), history.end(), "Wendy: hello from windows") != history.end() &&
             std::find(history.begin(), history.end(), "Linus: hello from linux") != history.end();
    };
    EXPECT_TRUE(p->snapshotUntil(heard, 30)) << Shown(*p);
  }
  for (Pilot *viewer : {&wendy, &linus}) {
    const Pilot &other = viewer == &wendy ? linus : wendy;
    // The model the server named, found under the viewer's own folder, in its host's own form.
    const std::string model =
        viewer->hostPath(viewer->root() + "/Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf");
    int slot = -1;
    auto placed = [&] {
      slot = viewer->slotOf(other.setup().name);
      return slot >= 1 && viewer->row(slot) == std::to_string(slot) + ": " + other.setup().name + " Cessna_172SP" &&
             viewer->dump()["planes"]["models"][std::to_string(slot)].text == model &&
             PlacementError(*viewer, slot, other) < 5.0;
    };
    ASSERT_TRUE(viewer->snapshotUntil(placed, 30)) << Shown(*viewer) << "\n" << viewer->log();
    std::printf("[ measured ] %s shows %s %.2f m from where it is\n", viewer->setup().name.c_str(),
                other.setup().name.c_str(), PlacementError(*viewer, slot, other));
  }
  ASSERT_TRUE(crew.finishAll());
  EXPECT_EQ(server.stop(), 0) << server.log();
}

// The viewer's host moves its origin while another pilot flies near: with smoothing on and off,
// that pilot is shown moving on through the shift, where it is. Every report is relayed: what is
// under test is the viewer's frame, not which reports the server chooses (a plugin with smoothing
// off shows each report as it comes, and a busy machine that holds a host back a moment moves the
// truth it is held against).
class OriginShift : public ::testing::TestWithParam<bool> {};

TEST_P(OriginShift, AnotherPilotFliesOnThroughTheViewersOriginShift) {
  Server server({"--relay-rates", "off"});
  ASSERT_TRUE(server.start());
  Crew crew(server.port());
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
  skyhost::HostOptions o;
  o.originLatitude = b.originLat;
  o.originLongitude = b.originLon;
  skyhost::Host projector(o);
  auto local = [&](double lat, double lon, double el) {
    std::array<double, 3> p;
    projector.worldToLocal(lat, lon, el, &p[0], &p[1], &p[2]);
    return p;
  };
  // The first of Bravo's frames 20 km from its origin, where the host moves it.
  auto shiftIn = [&](const std::vector<Pilot::Frame> &frames) {
    size_t k = 0;
    for (; k < frames.size(); ++k) {
      const auto p = local(frames[k].own[0], frames[k].own[1], frames[k].own[2]);
      if (std::hypot(p[0], p[2]) > 20000) break;
    }
    return k;
  };
  // Bravo flies until 90 frames past it, read from its trace (nothing asked of its host meanwhile,
  // whose frames are measured); then it ends before Alpha.
  bravo.framesUntil([&](const std::vector<Pilot::Frame> &frames) { return shiftIn(frames) + 90 < frames.size(); },
                    90);
  ASSERT_TRUE(bravo.snapshot());
  EXPECT_TRUE(bravo.quit());
  EXPECT_TRUE(alpha.quit());
  ASSERT_EQ(bravo.dump()["origin"]["moves"].number, 1.0) << bravo.log();

  const auto seen = bravo.frames(), flown = alpha.frames();
  const size_t shift = shiftIn(seen);
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
    if (now[1] == before[1] && now[2] == before[2]) ++still;
    // Shown on Alpha's own track: where it was at some moment of the last half second. A report
    // is that old at most on a busy machine (and without smoothing the aircraft stays where the
    // last report put it); a shift carried wrongly puts it kilometres off the track. A busy
    // machine's stalls bend the hosts' own clocks by a few metres' worth.
    const auto shown = local(now[1], now[2], now[3]);
    double nearest = 1e300;
    for (double back = 0; back <= 0.5; back += 0.005) {
      const auto truth = alphaAt(seen[i].wall - back);
      nearest = std::min(nearest, std::hypot(shown[0] - truth[0], shown[1] - truth[1], shown[2] - truth[2]));
    }
    worst = std::max(worst, nearest);
    ++compared;
  }
  EXPECT_GT(compared, 100) << server.log();
  // With smoothing on, at 60 fps, the aircraft moves on in every frame the host draws, not only in
  // those whose receive cycle brought a report; with it off, only in those.
  if (GetParam()) {
    EXPECT_EQ(still, 0) << "of " << compared << " frames; worst error " << worst << " m";
  }
  EXPECT_LT(worst, 15.0) << "metres from Alpha's track";
  EXPECT_EQ(server.stop(), 0) << server.log();
}

INSTANTIATE_TEST_SUITE_P(SmoothingOnAndOff, OriginShift, ::testing::Bool());

TEST(Session, LeavingPilotsFreeTheirSlots) {
  Server server;
  ASSERT_TRUE(server.start());
  Crew crew(server.port());
  Pilot &alpha = crew.add(At("Alpha", 47.46, 8.56));
  Pilot &bravo = crew.add(At("Bravo", 47.47, 8.58));
  Pilot &charlie = crew.add(At("Charlie", 47.48, 8.59));
  // Alpha shows both once their callsigns are announced; then Bravo logs out and Charlie dies.
  ASSERT_TRUE(
      alpha.snapshotUntil([&] { return alpha.slotOf("Bravo") >= 1 && alpha.slotOf("Charlie") >= 1; }, 60))
      << Shown(alpha) << server.process().Tail();
  const harness::LogMark mark = server.process().Mark();
  bravo.act("disable");
  charlie.kill();

  // Both freed slots read empty: no callsign and no model name.
  auto freed = [&] {
    int empty = 0;
    for (int n = 1; n <= 19; ++n)
      if (alpha.row(n) == std::to_string(n) + ":  ") ++empty;
    return empty == 2;
  };
  EXPECT_TRUE(alpha.snapshotUntil(freed, 30)) << Shown(alpha) << server.process().Tail();
  EXPECT_EQ(alpha.slotOf("Bravo"), -1);
  EXPECT_EQ(alpha.slotOf("Charlie"), -1);
  EXPECT_TRUE(server.process().WaitForLine("logout * (Bravo*", 5, mark)) << server.process().Tail();
  EXPECT_TRUE(alpha.quit());
  EXPECT_TRUE(bravo.quit());
  EXPECT_EQ(server.stop(), 0) << server.process().Tail();
}

TEST(Session, PilotsSurviveTheServerAndConnectAgain) {
  auto server = std::make_unique<Server>();
  ASSERT_TRUE(server->start());
  Crew crew(server->port());
  Pilot &alpha = crew.add(At("Alpha", 47.46, 8.56));
  crew.add(At("Bravo", 47.47, 8.58));
  ASSERT_TRUE(LoggedIn(*server, {"Alpha", "Bravo"}));
  server->kill();

  // While the server is away Alpha's settings pane offers Connect: the closed stream was noticed.
  alpha.act("menu Skytether > Control & Settings");
  auto offers = [&](const char *shown, const char *hidden) {
    return alpha.snapshotUntil([&] { return alpha.widgetVisible(shown) && !alpha.widgetVisible(hidden); },
                               30);
  };
  EXPECT_TRUE(offers("Connect", "Disconnect")) << Shown(alpha);
  // Back on its port: Connect logs Alpha in again, and the pane offers Disconnect.
  server = std::make_unique<Server>(std::vector<std::string>{}, crew.port);
  ASSERT_TRUE(server->start()) << server->log();
  alpha.act("widget-click Connect");
  EXPECT_TRUE(offers("Disconnect", "Connect")) << Shown(alpha);
  EXPECT_TRUE(LoggedIn(*server, {"Alpha"}, 10));
  EXPECT_TRUE(crew.finishAll());  // neither host froze nor crashed
  EXPECT_EQ(server->stop(), 0) << server->process().Tail();
}

TEST(Session, AWrongPasswordIsRefusedAndAnObserverIsNotSeen) {
  const harness::TempFolder dir;
  const std::string accounts =
      dir.Write("accounts", "# pilots\nAlpha alpha-pw\nBravo bravo-pw\nMallory right-pw\nEye eye-pw\n");
  Server server({"--accounts", accounts});
  ASSERT_TRUE(server.start()) << server.log();
  Crew crew(server.port());
  PilotSetup a = At("Alpha", 47.46, 8.56);
  a.password = "alpha-pw";
  PilotSetup b = At("Bravo", 47.47, 8.58);
  b.password = "bravo-pw";
  PilotSetup m = At("Mallory", 47.465, 8.57);
  m.password = "wrong";
  PilotSetup o = At("Eye", 47.468, 8.575);
  o.password = "eye-pw";
  o.observer = true;
  Pilot &alpha = crew.add(a);
  Pilot &bravo = crew.add(b);
  Pilot &mallory = crew.add(m);
  Pilot &eye = crew.add(o);
  ASSERT_TRUE(LoggedIn(server, {"Alpha", "Bravo", "Eye"}));

  // Mallory was refused: the server closed the stream and the pane offers Connect.
  ASSERT_TRUE(server.process().WaitForLine("refused login * (Mallory) from *", 30))
      << server.process().Tail();
  mallory.act("menu Skytether > Control & Settings");
  EXPECT_TRUE(mallory.snapshotUntil(
      [&] { return mallory.widgetVisible("Connect") && !mallory.widgetVisible("Disconnect"); }, 30));
  EXPECT_EQ(mallory.slotOf("Alpha"), -1);

  // The observer sees both pilots. Once the server has read its reports, its chat line reaches
  // the pilots after anything that would have shown it: they show no Eye.
  EXPECT_TRUE(eye.snapshotUntil([&] { return eye.slotOf("Alpha") >= 1 && eye.slotOf("Bravo") >= 1; }, 30))
      << Shown(eye);
  ASSERT_TRUE(server.process().WaitForLine("datagram address of * (Eye*", 30)) << server.process().Tail();
  ASSERT_TRUE(Say(eye, "eye here"));
  for (Pilot *p : {&alpha, &bravo}) {
    EXPECT_TRUE(p->snapshotUntil([&] { return LastChat(*p, "Eye: eye here"); }, 30)) << Shown(*p);
    EXPECT_EQ(p->slotOf("Eye"), -1) << Shown(*p);
  }
  EXPECT_TRUE(alpha.snapshotUntil([&] { return alpha.slotOf("Bravo") >= 1; }, 30)) << Shown(alpha);
  EXPECT_EQ(alpha.slotOf("Mallory"), -1);
  EXPECT_TRUE(crew.finishAll());
  EXPECT_EQ(server.stop(), 0) << server.process().Tail();
}

namespace {

// Logs in over the stream and then sends junk on both channels as fast as it can, until stop.
void Flood(int port, const std::atomic<bool> *stop) {
  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(port));
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
  while (!*stop) {
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
  Crew crew(server.port());
  // Alpha at the centre; nineteen others on a line east of it 1 km apart, and a twentieth 40 km
  // out: whichever joins first, the far one is not seen once the table settles.
  PilotSetup a = At("Alpha", 47.46, 8.56);
  a.fps = 20;
  Pilot &alpha = crew.add(a);
  for (int i = 1; i <= 20; ++i) {
    PilotSetup p = At("P" + std::to_string(i), 47.46, 8.56 + (i < 20 ? i : 40) * 0.0133);  // ~1 km a step
    p.fps = 10;
    crew.add(p);
  }
  const harness::LogMark mark = server.process().Mark();
  std::atomic<bool> stop{false};
  std::thread flooder(Flood, server.port(), &stop);
  struct Join {
    std::atomic<bool> &stop;
    std::thread &t;
    ~Join() {
      stop = true;
      t.join();
    }
  } join{stop, flooder};
  // The flooder was cut and counted.
  EXPECT_TRUE(server.process().WaitForLine("connection * cut: flooding*", 30, mark))
      << server.process().Tail();

  // While junk datagrams still come, Alpha's table settles on the nineteen, each at its latest
  // report, whole.
  auto settled = [&] {
    for (int i = 1; i <= 19; ++i) {
      const int slot = alpha.slotOf("P" + std::to_string(i));
      if (slot < 1 || std::fabs(alpha.dataref(Plane(slot, "lon")) - (8.56 + i * 0.0133)) > 2e-5) return false;
    }
    return alpha.slotOf("P20") == -1;
  };
  EXPECT_TRUE(alpha.snapshotUntil(settled, 120));
  for (int i = 1; i <= 19; ++i) {
    std::string name = "P" + std::to_string(i);
    int slot = alpha.slotOf(name);
    ASSERT_GE(slot, 1) << name << "\n" << Shown(alpha) << server.process().Tail();
    EXPECT_NEAR(alpha.dataref(Plane(slot, "lon")), 8.56 + i * 0.0133, 2e-5) << name;
    EXPECT_EQ(alpha.dataref(Plane(slot, "beacon_lights_on")), 0.0);
  }
  EXPECT_EQ(alpha.slotOf("P20"), -1);
  EXPECT_TRUE(crew.finishAll());  // every pilot flew on unharmed
  EXPECT_EQ(server.stop(), 0) << server.process().Tail();
}

// Two cluster nodes on one address and port, steered by the pilots' source addresses, sharing
// their pilots through Redis: each host runs the real plugin file and sees the pilots of both.
TEST(Session, PilotsOnTwoNodesOfOneAddressFlyInOneSky) {
  harness::BpfDir bpf;
  if (!bpf.ok()) GTEST_SKIP() << "no BPF file system of our own (root is needed): " << bpf.why();
  harness::RedisServer redis;
  ASSERT_TRUE(redis.ok());
  std::vector<std::unique_ptr<Server>> nodes;
  for (int k = 0; k < 2; ++k) {  // the second on the port the first was given
    nodes.push_back(std::make_unique<Server>(
        std::vector<std::string>{"--cluster", redis.address(), "--reuseport", std::to_string(k) + "/2",
                                 "--bpf-dir", bpf.Folder("group"), "--node-name", "node" + std::to_string(k)},
        k == 0 ? 0 : nodes[0]->port()));
    ASSERT_TRUE(nodes.back()->start()) << nodes.back()->log();
  }
  for (auto &n : nodes) ASSERT_TRUE(n->process().WaitForLine("cluster: node * joined", 5)) << n->log();
  // Alpha and Charlie on node 0, Bravo on node 1, as if each flew from a machine of its own.
  std::vector<unsigned> sources = skytether::SpreadLoopbackAddresses(3, 2);
  auto from = [&sources](int i) {
    char text[INET_ADDRSTRLEN];
    in_addr a{sources[i]};
    return std::string(inet_ntop(AF_INET, &a, text, sizeof text));
  };
  Crew crew(nodes[0]->port());
  PilotSetup a = At("Alpha", 47.46, 8.56);
  a.source = from(0);
  PilotSetup b = At("Bravo", 47.47, 8.58);
  b.source = from(1);
  PilotSetup c = At("Charlie", 47.48, 8.59);
  c.source = from(2);
  Pilot &alpha = crew.add(a);
  Pilot &bravo = crew.add(b);
  Pilot &charlie = crew.add(c);
  ASSERT_TRUE(LoggedIn(*nodes[0], {"Alpha", "Charlie"}));
  ASSERT_TRUE(LoggedIn(*nodes[1], {"Bravo"}));
  ASSERT_TRUE(Say(alpha, "hello other node"));
  // Chat from node 0 reaches node 1's pilot (shown while the traffic holds the window open).
  EXPECT_TRUE(bravo.snapshotUntil([&] { return LastChat(bravo, "Alpha: hello other node"); }, 30))
      << Shown(bravo);

  // Bravo sees both pilots of the other node, named, with their models, where they are.
  auto bravoSees = [&] {
    for (const char *name : {"Alpha", "Charlie"}) {
      const int s = bravo.slotOf(name);
      if (s < 1 || bravo.row(s) != std::to_string(s) + ": " + name + " Cessna_172SP") return false;
    }
    return alpha.snapshot() && PlacementError(bravo, bravo.slotOf("Alpha"), alpha) < 2.0;
  };
  EXPECT_TRUE(bravo.snapshotUntil(bravoSees, 60)) << Shown(bravo);
  EXPECT_TRUE(
      alpha.snapshotUntil([&] { return alpha.slotOf("Bravo") >= 1 && alpha.slotOf("Charlie") >= 1; }, 30));
  EXPECT_TRUE(charlie.snapshotUntil([&] { return charlie.slotOf("Bravo") >= 1; }, 30));
  for (const char *name : {"Alpha", "Charlie"}) {
    int s = bravo.slotOf(name);
    ASSERT_GE(s, 1) << name;
    EXPECT_EQ(bravo.row(s), std::to_string(s) + ": " + name + " Cessna_172SP");
  }
  EXPECT_LT(PlacementError(bravo, bravo.slotOf("Alpha"), alpha), 2.0);
  EXPECT_TRUE(crew.finishAll());

  // Each node served its own pilots only.
  EXPECT_NE(nodes[0]->log().find("(Alpha) from " + from(0)), std::string::npos) << nodes[0]->log();
  EXPECT_NE(nodes[0]->log().find("(Charlie) from " + from(2)), std::string::npos);
  EXPECT_NE(nodes[1]->log().find("(Bravo) from " + from(1)), std::string::npos) << nodes[1]->log();
  EXPECT_EQ(nodes[1]->log().find("(Alpha) from "), std::string::npos);
  EXPECT_EQ(nodes[0]->log().find("(Bravo) from "), std::string::npos);
  for (auto &n : nodes) EXPECT_EQ(n->stop(), 0) << n->log();
  if (HasFailure()) {
    for (auto &n : nodes) std::printf("---- node log\n%s", n->process().Tail().c_str());
    for (Pilot *p : {&alpha, &bravo, &charlie})
      std::printf("%s---- its host\n%s", Shown(*p).c_str(), p->log().c_str());
  }
}
