// Connecting, logging in and out, announcements and the own-position broadcast, against a fake
// server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

#include "child_process.h"
#include "net_fixture.h"
#include "md5.h"

using namespace sttest;

namespace {

std::vector<std::string> Split(const std::string &s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t at = s.find('|', start);
    out.push_back(s.substr(start, at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

std::string Num(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", double(v));
  return buf;
}

const skyhost::Host::FlightLoop *Announcer(skyhost::Host &host) {
  for (const auto &loop : host.flightLoops())
    if (loop.firstInterval == 10.0f) return &loop;
  return nullptr;
}

}  // namespace

TEST_F(NetTest, LoginLineCarriesTheTokenOfIdUserAndPassword) {
  StartConnected("userID=pilot;password=secret;");
  const std::string line = LoginLine();
  const std::string id = std::to_string(UniqueID());
  EXPECT_EQ(line, id + "|Opening Connection|pilot|" + Md5Hex(id + "pilotsecret") + "|\n");
  EXPECT_GE(UniqueID(), 0);
}

TEST_F(NetTest, EmptyUserAndPasswordStillGiveAFullToken) {
  StartConnected("");
  const std::string id = std::to_string(UniqueID());
  EXPECT_EQ(LoginLine(), id + "|Opening Connection||" + Md5Hex(id) + "|\n");
}

TEST_F(NetTest, TwoStartsPickDifferentIds) {
  StartConnected();
  const int first = UniqueID();
  DropHost();
  peer->streamText.clear();
  StartConnected();
  EXPECT_NE(UniqueID(), first);
}

TEST_F(NetTest, ConnectAtStartupOffOpensNothing) {
  WritePrefs("userID=pilot;connectAtStartup=0;");
  Start();
  RunUntil(
      host(), peer.get(), [] { return false; }, 0.3);
  EXPECT_FALSE(peer->hasClient());
  EXPECT_TRUE(peer->datagrams.empty());
}

TEST_F(NetTest, DisableSendsTheLogoutLineAndCloses) {
  StartConnected();
  const std::string id = std::to_string(UniqueID());
  host().disable();
  ASSERT_TRUE(RunUntil(host(), peer.get(), [&] { return peer->clientClosed; }));
  ASSERT_FALSE(peer->streamLines().empty());
  EXPECT_EQ(peer->streamLines().back(), id + "|Closing Connection\n");
  // Nothing more goes out once closed, and enabling again connects once more.
  peer->datagrams.clear();
  host().runFrames(10);
  peer->pollDatagrams();
  EXPECT_TRUE(peer->datagrams.empty());
  host().enable();
  ASSERT_TRUE(RunUntil(host(), peer.get(), [&] { return LinesWith("|Opening Connection|").size() == 2; }));
}

TEST_F(NetTest, AnnouncesModelThenCallsignEveryTenSeconds) {
  StartConnected("callsign=Falcon;");
  const std::string id = std::to_string(UniqueID());
  host().runFor(9.9);
  peer->poll();
  EXPECT_TRUE(LinesWith("|PLANE|").empty());
  host().runFor(0.2);
  peer->poll();
  auto lines = peer->streamLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], id + "|PLANE|" + Root() + "/Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf\n");
  EXPECT_EQ(lines[2], id + "|CALLSIGN|Falcon|\n");
  EXPECT_FLOAT_EQ(Announcer(host())->lastReturn, 10.0f);
  host().runFor(10.0);
  peer->poll();
  EXPECT_EQ(LinesWith("|PLANE|").size(), 2u);
  EXPECT_EQ(LinesWith("|CALLSIGN|").size(), 2u);
  // The host may hand out a path of up to 511 bytes; a 400-byte one travels whole.
  const std::string longPath = "/" + std::string(395, 'p') + ".acf";
  host().setUserModel("Long.acf", longPath);
  host().runFor(10.0);
  peer->poll();
  EXPECT_EQ(LinesWith("|PLANE|").back(), id + "|PLANE|" + longPath + "\n");
}

TEST_F(NetTest, EmptyCallsignStillAnnounced) {
  StartConnected("callsign=;");
  host().runFor(10.1);
  peer->poll();
  EXPECT_EQ(LinesWith("|CALLSIGN|").at(0), std::to_string(UniqueID()) + "|CALLSIGN||\n");
}

TEST_F(NetTest, ObserverAnnouncesOnlyItsCallsignAndSendsVoloc) {
  MakeHost();
  WriteFile("Resources/plugins/viewonly.txt", "");
  StartConnected("callsign=Watcher;");
  host().runFor(10.1);
  peer->poll();
  EXPECT_TRUE(LinesWith("|PLANE|").empty());
  EXPECT_EQ(LinesWith("|VOCALLSIGN|").at(0), std::to_string(UniqueID()) + "|VOCALLSIGN|Watcher|\n");
  EXPECT_TRUE(LinesWith("|CALLSIGN|").empty() ||
              LinesWith("|CALLSIGN|")[0].find("VOCALLSIGN") != std::string::npos);
  ASSERT_FALSE(peer->datagrams.empty());
  EXPECT_EQ(peer->datagrams.back().rfind(std::to_string(UniqueID()) + "|VOLOC|", 0), 0u);
}

TEST_F(NetTest, PositionLineCarriesTheOwnAircraftEachFrame) {
  StartConnected();
  auto &h = host();
  h.setd("sim/flightmodel/position/local_x", 12.5);
  h.setf("sim/flightmodel/position/psi", 271.25f);
  h.setf("sim/flightmodel/controls/sbrkrat", 0.1f);
  h.setf("sim/joystick/FC_hdng", -0.5f);
  h.setvf("sim/aircraft/parts/acf_gear_deploy", {1, 1, 1, 0, 0, 0, 0, 0, 0, 0.5f});
  h.setvf("sim/flightmodel/engine/ENGN_thro", {0.75f, 0.25f});  // the user's real throttles
  h.seti("sim/cockpit/electrical/beacon_lights_on", 1);
  h.seti("sim/cockpit/electrical/nav_lights_on", 1);
  h.seti("sim/cockpit/electrical/taxi_light_on", 0);
  peer->datagrams.clear();
  h.runFrames(2);
  peer->pollDatagrams();
  ASSERT_EQ(peer->datagrams.size(), 2u);  // one per drawn frame

  const std::string &line = peer->datagrams[0];
  EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 43);
  EXPECT_NE(line.back(), '|');
  auto f = Split(line);
  ASSERT_EQ(f.size(), 44u);
  EXPECT_EQ(f[0], std::to_string(UniqueID()));
  EXPECT_EQ(f[1], "LOC");
  EXPECT_EQ(f[2], "12.5");
  EXPECT_EQ(f[5], Num(float(h.getd("sim/flightmodel/position/latitude"))));  // as the host derived it
  EXPECT_EQ(f[10], "271.25");
  EXPECT_EQ(f[13], "0.100000001");  // speedbrake, the twelfth value
  EXPECT_EQ(f[18], "-0.5");
  EXPECT_EQ(f[19], "1");
  EXPECT_EQ(f[28], "0.5");                                    // the tenth gear value is sent
  EXPECT_EQ(f[29] + f[30] + f[31] + f[32] + f[33], "10010");  // beacon landing strobe nav taxi
  EXPECT_EQ(f[34], "0.75");
  EXPECT_EQ(f[35], "0.25");
  EXPECT_EQ(f[41], "0");
  // The time travels as single-precision seconds and microseconds.
  const double now = double(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  EXPECT_NEAR(std::stod(f[42]), now, 300.0);
  EXPECT_LT(std::stod(f[43]), 1e6);
  // An unchanged aircraft gives lines that differ only in their time values.
  auto g = Split(peer->datagrams[1]);
  EXPECT_TRUE(std::equal(f.begin(), f.begin() + 42, g.begin()));

  // At 80 m/s each line carries where the aircraft is in the frame that sends it.
  h.flyCircle(47.45, 8.55, 1000, 2000, 80);
  for (int frame = 0; frame < 3; ++frame) {
    peer->datagrams.clear();
    h.runFrame();
    peer->pollDatagrams();
    ASSERT_EQ(peer->datagrams.size(), 1u);
    auto m = Split(peer->datagrams[0]);
    const std::string own = "sim/flightmodel/position/";
    for (auto [field, name] : {std::pair{2, "local_x"}, {4, "local_z"}, {5, "latitude"}, {6, "longitude"}})
      EXPECT_EQ(m[field], Num(float(h.getd(own + name)))) << name;
  }
}

// While the host replays a flight its position datarefs show the past: nothing is sent, and the
// plane list says so.
TEST_F(NetTest, InAReplayNoPositionIsSentAndThePlaneListSaysSo) {
  StartConnected();
  host().seti("sim/time/is_in_replay", 1);
  EXPECT_EQ(StatusLine(), "Replay: your position is not sent");
  peer->drainDatagrams();
  host().runFrames(5);
  EXPECT_EQ(peer->drainDatagrams(), 0u);
  host().seti("sim/time/is_in_replay", 0);
  EXPECT_EQ(StatusLine(), "Connected to " + PeerText());
  EXPECT_EQ(peer->drainDatagrams(), 1u);
}

// The older OpenGL backend calls the 3-D phases, the airplanes phase twice a frame: the position
// still goes out once a frame.
class OlderBackendNetTest : public NetTest {
  void Configure(skyhost::HostOptions &options) override { options.legacy3d = true; }
};

TEST_F(OlderBackendNetTest, OnePositionDatagramPerFrame) {
  StartConnected();
  LearnDatagramPort();
  peer->pollDatagrams();
  peer->datagrams.clear();
  host().runFrames(5);
  peer->pollDatagrams();
  EXPECT_EQ(peer->datagrams.size(), 5u);
}

TEST_F(NetTest, AnnouncementsWaitOneSecondWhileNotConnected) {
  WritePrefs("connectAtStartup=0;");
  Start();
  host().runFor(10.1);
  EXPECT_FLOAT_EQ(Announcer(host())->lastReturn, 1.0f);
  EXPECT_FALSE(peer->hasClient());
}

// ---- faults around the connection ----

static int OpenDescriptors() {
  int n = 0;
  for (int fd = 0; fd < 1024; ++fd)
    if (fcntl(fd, F_GETFD) != -1) ++n;
  return n;
}

// Runs body in a child process with a network of its own (loopback only, after the shell
// commands in setup) and its own view of the given files (bind-mounted over them). The child's
// failures are printed as they happen and fail the test. Skips when the machine cannot isolate.
class IsolatedNetTest : public NetTest {
 protected:
  // A network of its own: the built-in server's address and port are free there.
  void WritePrefs(const std::string &prefs) { PluginTest::WritePrefs(prefs); }
  void RunIsolated(const std::string &setup, const std::map<std::string, std::string> &files,
                   const std::function<void()> &body) {
    peer.reset();  // the child makes its own, in its own network
    const pid_t child = fork();
    if (child == 0) {
      if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        _exit(77);
      for (const auto &[path, content] : files) BindOver(path, content);
      if (harness::RunCommand("ip link set lo up" + setup, nullptr, 30) != 0) _exit(77);
      body();
      std::fflush(stdout);
      _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
      GTEST_SKIP() << "no private network and mount namespace here (root, iproute2 and iptables needed)";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the isolated part failed, above";
  }
  void BindOver(const std::string &path, const std::string &content) {
    const std::string copy = "isolated" + path;
    WriteFile(copy, content);
    if (mount(PathOf(copy).c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) _exit(77);
  }
};

TEST_F(IsolatedNetTest, AConnectToASilentServerHoldsNoFrameAndEndsAfterThreeSeconds) {
  // Its loopback drops every packet to the server's port.
  RunIsolated(" && iptables -A INPUT -p tcp --dport 49556 -j DROP", {}, [&] {
    WritePrefs("connectAtStartup=1;");
    Load();
    const int before = OpenDescriptors();
    host().enable();  // its connect counts towards the first frame
    host().runFor(2.5, 60.0, true);
    EXPECT_EQ(OpenDescriptors() - before, 2);  // both sockets, the connect still waiting
    host().runFor(1.0, 60.0, true);
    EXPECT_EQ(OpenDescriptors() - before, 0);  // given up after 3 s, the sockets closed
    std::printf("[ measured ] longest frame while connecting to a silent server: %.1f ms\n",
                host().longestFrameSeconds() * 1000);
    // A connect that waited would hold a frame for the whole 3 s: far past a busy machine's delays.
    EXPECT_LT(host().longestFrameSeconds(), 1.0);
    EXPECT_EQ(host().readPublished("skytether/connected"), "0");
    EXPECT_EQ(StatusLine(), "Server 127.0.0.1: no answer");
  });
}

// Names come from the system's resolver: here a hosts file of the test's own, and a name server
// that never answers. A name's addresses are tried in the resolver's order (::1 refuses here).
TEST_F(IsolatedNetTest, NamesAreLookedUpWithoutHoldingAFrameAndTheirAddressesTriedInOrder) {
  const std::map<std::string, std::string> files = {
      {"/etc/hosts", "127.0.0.1 localhost\n::1 sky.test\n127.0.0.1 sky.test\n"},
      {"/etc/nsswitch.conf", "hosts: files dns\n"},
      {"/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:2 attempts:1\n"}};
  RunIsolated(" && iptables -A INPUT -p udp --dport 53 -j DROP", files, [&] {
    FakeServer server(FakeServer::Options{"127.0.0.1", kProtocolPort});  // on 127.0.0.1 only
    Load();
    auto connectTo = [&](const std::string &text, double seconds) {
      WritePrefs("server=" + text + ";connectAtStartup=1;");
      host().disable();
      host().enable();
      host().runFor(seconds, 60.0, true);
    };
    connectTo("nowhere.test", 0.5);
    EXPECT_EQ(StatusLine(), "Looking up nowhere.test");
    host().runFor(2.5, 60.0, true);
    // A lookup that waited would hold a frame for the name server's 2 s.
    EXPECT_LT(host().longestFrameSeconds(), 1.0);
    EXPECT_TRUE(Drawn("Server nowhere.test: the name server did not answer"));  // in the chat window

    connectTo("sky.test", 0.5);
    EXPECT_EQ(StatusLine(), "Connected to sky.test (127.0.0.1)");
    EXPECT_EQ(host().readPublished("skytether/server_address"), "sky.test (127.0.0.1)");

    // Without the name server, a name the hosts file lacks does not exist.
    BindOver("/etc/nsswitch.conf", "hosts: files\n");
    connectTo("unknown.test", 0.3);
    EXPECT_EQ(StatusLine(), "Server unknown.test: no such name");
    // A hand-written value that cannot be used connects nothing and says why, in full in the chat.
    connectTo("http://sky.test", 0.1);
    EXPECT_TRUE(Drawn("Server \"http://sky.test\": no scheme: HOST or HOST:PORT"));
    EXPECT_EQ(host().readPublished("skytether/connected"), "0");
  });
}

TEST_F(NetTest, ARefusedConnectLeavesNoSocketOpen) {
  ReplacePeer(FakeServer::Options{"127.0.0.1", 0, false, true, 8});
  WritePrefs("connectAtStartup=1;");
  Load();
  const int before = OpenDescriptors();
  host().enable();
  host().runFrames(3);
  EXPECT_EQ(OpenDescriptors(), before);
  host().disable();
  host().enable();
  host().runFrames(3);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(NetTest, AServerThatClosesTheStreamEndsTheSession) {
  StartConnected();
  LearnDatagramPort();
  peer->closeClient();
  host().runFrames(6);
  EXPECT_TRUE(Fits(StatusLine(), "Server " + PeerText() + " closed the connection"));
  peer->pollDatagrams();  // what was sent before the close was noticed
  peer->datagrams.clear();
  host().runFrames(10);
  peer->pollDatagrams();
  EXPECT_TRUE(peer->datagrams.empty());  // disconnected: no more positions
  // Announcements go back to the one-second wait, and the host keeps running.
  host().runFor(10.1);
  EXPECT_FLOAT_EQ(Announcer(host())->lastReturn, 1.0f);
  // A new enable connects again.
  host().disable();
  host().enable();
  ASSERT_TRUE(
      RunUntil(host(), peer.get(), [&] { return peer->hasClient() && !LinesWith("Opening").empty(); }));
  // A reset is told as such, in the chat window as well.
  peer->resetClient();
  EXPECT_TRUE(RunUntil(host(), nullptr, [&] {
    for (const auto &s : host().lastFrameStrings())
      if (Fits(s, "Server " + PeerText() + " reset the connection")) return true;
    return false;
  }));
}

// A server on IPv6 and a port of its own: both sockets are IPv6, and datagrams count only from the
// server's own address.
TEST_F(NetTest, AnIPv6ServerOnAPortOfItsOwnCarriesTheSession) {
  ReplacePeer(FakeServer::Options{"::1", 0, true, true, 8});
  StartConnected();
  LearnDatagramPort();
  ASSERT_EQ(peer->pluginAddress.ss_family, AF_INET6);
  EXPECT_EQ(host().readPublished("skytether/server_address"), PeerText());
  ReportValues v;
  v.psi = 123.5f;
  SendDatagram(Report(0, v));
  EXPECT_FLOAT_EQ(host().getf("sim/flightmodel/position/psi"), 123.5f);
  // From 127.0.0.1 a datagram reaches the IPv6 socket as ::ffff:127.0.0.1: not the server.
  const uint16_t port = ntohs(reinterpret_cast<sockaddr_in6 &>(peer->pluginAddress).sin6_port);
  v.psi = 321.5f;
  ASSERT_TRUE(SendDatagramFrom("127.0.0.1", SocketAddress("127.0.0.1", port), Report(0, v)));
  host().runFrames(3);
  EXPECT_FLOAT_EQ(host().getf("sim/flightmodel/position/psi"), 123.5f);
}

TEST_F(NetTest, SendsOnAClosedStreamDoNotRaiseSigpipe) {
  StartConnected();
  peer->closeClient();
  // Announce straight away, before a packet cycle can notice the close: the sends hit a
  // stream reset by the peer-> A SIGPIPE would end this test process.
  for (int i = 0; i < 3; ++i) host().runFor(10.0);
  SUCCEED();
}
