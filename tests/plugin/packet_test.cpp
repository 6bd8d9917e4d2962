// The receive side: position reports into the aircraft slots, and callsign, chat and model notices,
// sent by a fake server to the real plugin.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <clocale>
#include <cmath>

#include "net_fixture.h"

using namespace sttest;

namespace {

// What one model load costs here: enough to tell one load a frame from two.
constexpr double kLoadSeconds = 0.05;

class PacketTest : public NetTest {
 protected:
  void Configure(skyhost::HostOptions &o) override { o.modelLoadSeconds = kLoadSeconds; }
  void SetUp() override {
    NetTest::SetUp();
    StartConnected();
    LearnDatagramPort();
    ASSERT_TRUE(host().pickMenu({"Skytether", "Toggle Plane List"}));
  }
  // Runs frames until the packet cycle has run once more.
  void RunOneCycle() {
    auto calls = [&] {
      for (const auto &loop : host().flightLoops())
        if (loop.firstInterval == 0.03f) return loop.calls;
      return -1;
    };
    const int before = calls();
    while (calls() == before) host().runFrame();
  }
  // A report's heading marks which report a slot took.
  float X(int n) { return host().getf(Plane(n, "psi")); }
  // The four indicators after the traffic label.
  std::string TrafficLine() {
    const std::string label = "Network Traffic: ";
    for (const auto &s : host().lastFrameStrings())
      if (s.rfind(label, 0) == 0) return s.substr(label.size());
    return "";
  }
};

}  // namespace

TEST_F(PacketTest, ReportsArePlacedFromTheirWorldPositionInThisHostsFrame) {
  // In the user's whole-degree cell, but the sender's x, y, z are in its own host's frame: unused.
  ReportValues v;
  v.lat = "47.9";
  v.lon = "8.6";
  SendDatagram(Report(19, v));
  auto &h = host();
  double x, y, z;
  h.worldToLocal(double(47.9f), double(8.6f), double(1000.5f), &x, &y, &z);
  EXPECT_NEAR(h.getd(Plane(19, "x")), x, 0.01);
  EXPECT_NEAR(h.getd(Plane(19, "y")), y, 0.01);
  EXPECT_NEAR(h.getd(Plane(19, "z")), z, 0.01);
  EXPECT_GT(std::abs(z), 40000.0);  // about 50 km north of this host's origin
  // Latitude, longitude and elevation are the host's to derive: the plugin writes none of them.
  EXPECT_EQ(h.readOnlyWrites(Plane(19, "lat")), 0);
  EXPECT_NEAR(h.getd(Plane(19, "lat")), double(47.9f), 1e-6);
  EXPECT_FLOAT_EQ(h.getf(Plane(19, "the")), 2.5f);
  EXPECT_FLOAT_EQ(h.getf(Plane(19, "psi")), 270.5f);
  EXPECT_FLOAT_EQ(h.getf(Plane(19, "flap_ratio2")), 0.25f);
  EXPECT_FLOAT_EQ(h.getf(Plane(19, "speedbrake_ratio")), 0.125f);
  EXPECT_FLOAT_EQ(h.getf(Plane(19, "sla1_ratio")), 0.75f);  // the host's name for slots 2 to 19
  EXPECT_FLOAT_EQ(h.getf(Plane(19, "wing_sweep")), 0.0625f);
  EXPECT_FLOAT_EQ(h.getf(Plane(19, "yolk_yaw")), 0.3f);
  EXPECT_FLOAT_EQ(h.getf(Plane(19, "spoiler_ratio")), 0.0f);
  // Nine gear values reach the host; the tenth does not.
  auto gear = h.getvf(Plane(19, "gear_deploy"));
  EXPECT_FLOAT_EQ(gear[8], 0.2f);
  EXPECT_FLOAT_EQ(gear[9], 0.0f);
  EXPECT_FLOAT_EQ(h.getvf(Plane(19, "throttle"))[7], 0.2f);
  // Lights: beacon landing strobe nav taxi = 1 1 0 1 0, each to its own dataref.
  EXPECT_EQ(h.geti(Plane(19, "beacon_lights_on")), 1);
  EXPECT_EQ(h.geti(Plane(19, "landing_lights_on")), 1);
  EXPECT_EQ(h.geti(Plane(19, "strobe_lights_on")), 0);
  EXPECT_EQ(h.geti(Plane(19, "nav_lights_on")), 1);
  EXPECT_EQ(h.geti(Plane(19, "taxi_light_on")), 0);

  // The host process may set a locale whose decimal point is a comma: reports read the same.
  const std::string report = Report(18, v);
  struct Restore {
    ~Restore() { std::setlocale(LC_NUMERIC, "C"); }
  } restore;
  const char *const commaLocales[] = {"de_DE.UTF-8", "German_Germany.1252", "de-DE"};  // Linux's, Windows'
  if (std::none_of(std::begin(commaLocales), std::end(commaLocales),
                   [](const char *name) { return std::setlocale(LC_NUMERIC, name) != nullptr; }))
    return;  // no such locale installed
  SendDatagram(report);
  EXPECT_NEAR(h.getd(Plane(18, "z")), z, 0.01);
  EXPECT_FLOAT_EQ(h.getf(Plane(18, "psi")), 270.5f);
  EXPECT_FLOAT_EQ(h.getvf(Plane(18, "throttle"))[7], 0.2f);
}

TEST_F(PacketTest, SlotZeroDrivesTheOwnAircraftAndSlotTwentyIsIgnored) {
  ReportValues v;
  v.psi = 5.5f;
  v.throttle[0] = 0.33f;
  SendDatagram(Report(0, v));
  EXPECT_FLOAT_EQ(host().getf("sim/flightmodel/position/psi"), 5.5f);
  EXPECT_FLOAT_EQ(host().getf("sim/flightmodel/controls/elv_trim"), 0.1f);  // yoke pitch to the trim
  EXPECT_FLOAT_EQ(host().getvf("sim/flightmodel/engine/ENGN_thro")[0], 0.33f);
  EXPECT_EQ(host().geti("sim/cockpit/electrical/nav_lights_on"), 1);

  v.psi = 777.0f;
  SendDatagram(Report(20, v));
  SendDatagram(Report(-1, v).substr(0));
  for (int n = 1; n <= 19; ++n) EXPECT_NE(host().getf(Plane(n, "psi")), 777.0f);
  EXPECT_FLOAT_EQ(host().getf("sim/flightmodel/position/psi"), 5.5f);
}

TEST_F(PacketTest, ReportEndingsAndMalformedReports) {
  ReportValues v;
  v.throttle[7] = 0.125f;
  v.tail = "|1765158000|123456";
  SendDatagram(Report(2, v));
  EXPECT_FLOAT_EQ(host().getvf(Plane(2, "throttle"))[7], 0.125f);
  EXPECT_FLOAT_EQ(host().getf(Plane(2, "sla1_ratio")), 0.75f);

  // A malformed report changes nothing, not even the fields it did carry.
  ReportValues bad;
  bad.psi = 999.0f;
  bad.lights = "10|1|0|1|0";
  SendDatagram(Report(2, bad));
  bad.lights = "1|1|0|1";
  SendDatagram(Report(2, bad));
  SendDatagram("2|l|1|2|3");
  SendDatagram("2|x|" + Report(2, bad).substr(4));  // another letter
  EXPECT_FLOAT_EQ(host().getf(Plane(2, "psi")), 270.5f);
  EXPECT_FLOAT_EQ(host().getvf(Plane(2, "throttle"))[7], 0.125f);
}

TEST_F(PacketTest, OddDatagramsHarmNothing) {
  SendDatagram(Report(3));
  SendDatagram("");
  SendDatagram("x");
  SendDatagram(std::string(1400, '7'));
  std::string full = Report(4);
  full += std::string(1400 - full.size(), '|');
  ASSERT_EQ(full.size(), 1400u);
  SendDatagram(full);  // fills the whole receive area, no terminator
  SendDatagram(std::string(3000, 'z'));
  EXPECT_FLOAT_EQ(host().getf(Plane(3, "psi")), 270.5f);
  EXPECT_FLOAT_EQ(host().getf(Plane(4, "psi")), 270.5f);
}

TEST_F(PacketTest, ADatagramLongerThanTheReceiveAreaIsIgnoredWhole) {
  SendDatagram(Report(4));
  // The eighth throttle is 1 written with 1400 zeros and a negative exponent: cut at 1400 bytes
  // it would read as an overflowing number.
  ReportValues v;
  v.psi = 999.0f;
  v.throttle[7] = 1.0f;
  std::string cut = Report(4, v);
  cut += std::string(1400, '0') + "e-1400";
  ASSERT_GT(cut.size(), 1400u);
  SendDatagram(cut);
  EXPECT_FLOAT_EQ(host().getf(Plane(4, "psi")), 270.5f);
  EXPECT_FLOAT_EQ(host().getvf(Plane(4, "throttle"))[7], 0.2f);
  // Exactly 1400 bytes still fit.
  std::string full = Report(4, v);
  full += std::string(1400 - full.size(), '|');
  SendDatagram(full);
  EXPECT_FLOAT_EQ(host().getf(Plane(4, "psi")), 999.0f);
  EXPECT_FLOAT_EQ(host().getvf(Plane(4, "throttle"))[7], 1.0f);
}

TEST_F(PacketTest, ARunTakesNinetyDatagramsAndEachSlotKeepsItsLastReportThatMatches) {
  // 91 waiting, slots 1 to 19 in turn; the 90th (slot 14) does not match.
  ReportValues v;
  for (int i = 0; i <= 90; ++i) {
    v.psi = 1000.0f + float(i);
    std::string report = Report(1 + i % 19, v);
    if (i == 89) report.resize(report.size() / 2);
    ASSERT_TRUE(peer->sendDatagram(report));
  }
  RunOneCycle();
  for (int n = 1; n <= 19; ++n) {
    int last = n - 1;  // the last of the first 90 for slot n, the cut one left out
    for (int i = 0; i < 90; ++i)
      if (1 + i % 19 == n && i != 89) last = i;
    EXPECT_FLOAT_EQ(X(n), 1000.0f + float(last)) << n;
  }
  // The 91st waited for the next run.
  EXPECT_FLOAT_EQ(X(15), 1071.0f);
  RunOneCycle();
  EXPECT_FLOAT_EQ(X(15), 1090.0f);
}

TEST_F(PacketTest, DatagramsFromAnotherAddressAreIgnored) {
#if defined(_WIN32)
  GTEST_SKIP() << "wine names 127.0.0.1 the source of a datagram sent from 127.0.0.2";
#endif
  ReportValues v;
  v.psi = 4242.0f;
  ASSERT_TRUE(SendDatagramFrom("127.0.0.2", peer->pluginAddress, Report(0, v)));
  ASSERT_TRUE(SendDatagramFrom("127.0.0.2", peer->pluginAddress, Report(5, v)));
  host().runFrames(3);
  EXPECT_NE(host().getf("sim/flightmodel/position/psi"), 4242.0f);
  EXPECT_NE(X(5), 4242.0f);
  // One in the middle of a run's reports costs only itself.
  ReportValues server;
  server.psi = 500.0f;
  ASSERT_TRUE(peer->sendDatagram(Report(5, server)));
  ASSERT_TRUE(SendDatagramFrom("127.0.0.2", peer->pluginAddress, Report(7, v)));
  server.psi = 600.0f;
  ASSERT_TRUE(peer->sendDatagram(Report(6, server)));
  RunOneCycle();
  EXPECT_FLOAT_EQ(X(5), 500.0f);
  EXPECT_FLOAT_EQ(X(6), 600.0f);
  EXPECT_NE(X(7), 4242.0f);
  // A run that finds one datagram applies that one only, none left from an earlier run.
  server.psi = 100.0f;
  ASSERT_TRUE(peer->sendDatagram(Report(1, server)));
  RunOneCycle();
  EXPECT_FLOAT_EQ(X(1), 100.0f);
  EXPECT_FLOAT_EQ(X(5), 500.0f);
  EXPECT_NE(X(7), 4242.0f);
  // The position stream still goes to the server.
  peer->pollDatagrams();
  peer->datagrams.clear();
  host().runFrames(2);
  peer->pollDatagrams();
  EXPECT_EQ(peer->datagrams.size(), 2u);
}

#if !defined(_WIN32)  // the kernel's queued ICMP errors (IP_RECVERR) are Linux's
TEST_F(PacketTest, AnErrorTheSocketHoldsCostsTheRunNoDatagram) {
  // The plugin's datagram socket, by the port the peer learned; it is told to keep ICMP answers.
  const int port = ntohs(reinterpret_cast<const sockaddr_in &>(peer->pluginAddress).sin_port);
  int fd = 3;
  for (; fd < 1024; ++fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) == 0 && a.sin_family == AF_INET &&
        ntohs(a.sin_port) == port && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 &&
        type == SOCK_DGRAM)
      break;
  }
  ASSERT_LT(fd, 1024);
  const int on = 1;
  ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on), 0);
  // A send to a port nobody holds: its answer waits on the socket as an error, ahead of the report.
  sockaddr_in closed{};
  socklen_t closedLength = sizeof closed;
  closed.sin_family = AF_INET;
  closed.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int probe = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&closed), sizeof closed), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&closed), &closedLength), 0);
  close(probe);
  ASSERT_EQ(sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr *>(&closed), sizeof closed), 1);
  pollfd p{fd, 0, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  ASSERT_TRUE(p.revents & POLLERR);
  ReportValues v;
  v.psi = 123.0f;
  ASSERT_TRUE(peer->sendDatagram(Report(4, v)));
  // A frame long enough that the cycle runs before the frame's own position send (a send takes
  // the error too).
  host().runFrame(0.05);
  EXPECT_FLOAT_EQ(X(4), 123.0f);
}
#endif

TEST_F(PacketTest, TrafficIndicatorsShowWhatArrived) {
  auto shownWithin = [&](int frames, const std::string &letters) {
    for (int i = 0; i < frames; ++i) {
      host().runFrame();
      if (TrafficLine().find(letters) != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(peer->sendDatagram(Report(3)));
  EXPECT_TRUE(shownWithin(4, "Ur"));
  host().runFrames(4);
  EXPECT_FALSE(shownWithin(4, "Ur"));
  ASSERT_TRUE(peer->sendStream("3|c|X\n"));
  EXPECT_TRUE(shownWithin(4, "Tr"));
  host().runFrames(4);
  // Own positions go out every frame while connected.
  EXPECT_NE(TrafficLine().find("Ux"), std::string::npos);
  EXPECT_EQ(TrafficLine().find("Tr"), std::string::npos);
}

TEST_F(PacketTest, CallsignNoticesNameSlots) {
  EXPECT_EQ(Row(5), "5:  Plane 5");
  SendStream("5|c|Falcon\n");
  EXPECT_EQ(Row(5), "5: Falcon Plane 5");
  SendStream("5|c|blank\n");
  EXPECT_EQ(Row(5), "5: blank Plane 5");
  SendStream("5|c|BLANK\n");
  EXPECT_EQ(Row(5), "5:  Plane 5");
  // Longer than any server sends: cut to 31 bytes, never inside a character.
  SendStream("5|c|" + std::string(60000, 'W') + "\n6|c|" + std::string(30, 'E') + "\u00e9E\n");
  EXPECT_EQ(Row(5), "5: " + std::string(31, 'W') + " Plane 5");
  EXPECT_EQ(Row(6), "6: " + std::string(30, 'E') + " Plane 6");
  SendStream("20|c|Ghost\n3|c|A|B\n");
  EXPECT_EQ(Row(3), "3: A|B Plane 3");
  for (int n = 1; n <= 19; ++n) EXPECT_EQ(Row(n).find("Ghost"), std::string::npos);
}

TEST_F(PacketTest, StreamLinesAcrossReadsAndLineBreakKinds) {
  SendStream("6|c|Fal");
  EXPECT_EQ(Row(6), "6:  Plane 6");
  SendStream("con\r\n7|c|Hawk\r\n\r\n\n8|c|Kite\r");
  EXPECT_EQ(Row(6), "6: Falcon Plane 6");
  EXPECT_EQ(Row(7), "7: Hawk Plane 7");
  EXPECT_EQ(Row(8), "8: Kite Plane 8");
  // The LF of the split CR LF arrives first in the next read; the line after it still counts.
  SendStream("\n9|c|Owl\n");
  EXPECT_EQ(Row(9), "9: Owl Plane 9");
}

TEST_F(PacketTest, JunkLinesAndAnEndlessLineDoNotStopTheStream) {
  SendStream("hello there\n12|c|Good\n");
  EXPECT_EQ(Row(12), "12: Good Plane 12");
  SendStream(std::string(100 * 1024, 'x'));
  host().runFrames(10);
  SendStream("\n13|c|After\n");
  EXPECT_EQ(Row(13), "13: After Plane 13");
}

TEST_F(PacketTest, ModelNoticesLoadTheNewestFileThatExistsUnderTheHostsFolder) {
  const auto &log = host().setAircraftModelLog();
  WriteFile("Aircraft/Heavy/B744/B744.acf", "model");
  const std::string b744 = PathOf("Aircraft/Heavy/B744/B744.acf");
  SendStream("4|p|Aircraft/Heavy/B744/B744.acf\n");
  EXPECT_EQ(Row(4), "4:  B744");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], std::make_pair(4, b744));  // a full path, whatever the working directory
  // A file already loaded is not loaded again, whatever came between.
  SendStream("4|p|Aircraft/Missing/Jet.acf\n4|p|Aircraft/Heavy/B744/B744.acf\n");
  for (int i = 0; i < 20; ++i) SendStream("4|p|Aircraft/Missing/Jet.acf\n4|p|Aircraft/Heavy/B744/B744.acf\n");
  EXPECT_EQ(log.size(), 1u);
  // A missing file changes the name only, until it exists.
  SendStream("4|p|Aircraft/Missing/Jet.acf\n");
  EXPECT_EQ(Row(4), "4:  Jet");
  EXPECT_EQ(log.size(), 1u);
  WriteFile("Aircraft/Missing/Jet.acf", "model");
  SendStream("4|p|Aircraft/Missing/Jet.acf\n");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].second, PathOf("Aircraft/Missing/Jet.acf"));
  // Among a run's notices the newest whose file exists loads, however many missing ones follow.
  std::string run = "4|p|Aircraft/Heavy/B744/B744.acf\n";
  for (int i = 0; i < 6; ++i) run += "4|p|Aircraft/Gone/Gone" + std::to_string(i) + ".acf\n";
  SendStream(run);
  EXPECT_EQ(Row(4), "4:  Gone5");
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2].second, b744);
  // The host reloads its planes: the plugin sets the model it chose again.
  host().reloadPlanes();
  host().runFrames(3);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(host().aircraftModel(4), b744);
  // Paths leaving the host's folder are refused and counted, full paths too once taken from
  // their last Aircraft folder on; a full path of the sender's machine names a model there.
  SendStream(
      "5|p|/etc/B744.acf\n5|p|Aircraft/../../B744.acf\n5|p|C:\\B744.acf\n5|p|Aircraft/./../Aircraft/Heavy/"
      "B744/B744.acf\n6|p|/home/pilot/Sim/Aircraft/Heavy/B744/B744.acf\n6|p|/x/Aircraft/../../B744.acf\n");
  EXPECT_EQ(host().readPublished("skytether/models_refused"), "4");
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[4], std::make_pair(5, b744));
  EXPECT_EQ(log[5], std::make_pair(6, b744));
  // No "/" or no suffix: empty display name. BLANK empties it too.
  SendStream("5|p|Plane.acf\n");
  EXPECT_EQ(Row(5), "5:  ");
  SendStream("6|p|Aircraft/Heavy/B744/README\n");
  EXPECT_EQ(Row(6), "6:  ");
  SendStream("4|p|BLANK\n");
  EXPECT_EQ(Row(4), "4:  ");
  // A notice for slot 20 is consumed and ignored; one for slot 0 loads nothing into the user's
  // aircraft, which the host would refuse.
  SendStream("20|p|Aircraft/Heavy/B744/B744.acf\n0|p|Aircraft/Heavy/B744/B744.acf\n");
  EXPECT_EQ(log.size(), 6u);
  EXPECT_TRUE(host().refusedAircraftModels().empty());
  // While another plugin holds the planes nothing is loaded, nor asked for.
  host().disable();
  host().setPlanesHeldElsewhere(true);
  host().enable();
  ASSERT_TRUE(RunUntil(host(), peer.get(), [&] { return LinesWith("|Opening Connection|").size() == 2; }));
  SendStream("8|p|Aircraft/Heavy/B744/B744.acf\n");
  EXPECT_EQ(Row(8), "8:  B744");
  EXPECT_EQ(log.size(), 6u);
  EXPECT_TRUE(host().refusedAircraftModels().empty());
  EXPECT_EQ(host().refusedPlaneCalls(), 0);
}

// Each slot names four missing files and then one that exists: past the file checks of one run
// the rest wait for the next, and every slot gets its model.
TEST_F(PacketTest, AModelFloodLoadsOneModelAFrame) {
  std::string notices;
  for (int n = 1; n <= 19; ++n) {
    const std::string path = "Aircraft/Fleet/P" + std::to_string(n) + "/P" + std::to_string(n) + ".acf";
    WriteFile(path, "model");
    for (char c : std::string("ABCD")) notices += std::to_string(n) + "|p|Aircraft/Gone/" + c + ".acf\n";
    notices += std::to_string(n) + "|p|" + path + "\n";
  }
  host().clearFrameTimes();
  ASSERT_TRUE(peer->sendStream(notices));
  // Each load holds its frame kLoadSeconds; no frame holds two.
  for (int f = 0; f < 25; ++f) {
    const size_t before = host().setAircraftModelLog().size();
    host().runFrame();
    EXPECT_LE(host().setAircraftModelLog().size() - before, 1u) << "frame " << f;
  }
  EXPECT_EQ(host().setAircraftModelLog().size(), 19u);
  EXPECT_GE(host().longestFrameSeconds(), kLoadSeconds);

  // A new session: the planes still hold their models and none loads again. A slot shows only
  // once this session names its model, never with the last session's.
  ASSERT_TRUE(host().commandOnce("skytether/disconnect"));
  ASSERT_TRUE(host().commandOnce("skytether/connect"));
  ASSERT_TRUE(RunUntil(host(), peer.get(), [&] { return LinesWith("|Opening Connection|").size() == 2; }));
  host().runFrames(3);
  peer->pollDatagrams();
  SendDatagram(Report(3));
  EXPECT_TRUE(host().drawnPlanes().empty());
  SendStream(notices.substr(0, notices.find("3|p|")) + "3|p|Aircraft/Fleet/P5/P5.acf\n" +
             notices.substr(notices.find("4|p|")));
  host().runFrames(25);
  ASSERT_EQ(host().setAircraftModelLog().size(), 20u);
  EXPECT_EQ(host().setAircraftModelLog().back(), std::make_pair(3, PathOf("Aircraft/Fleet/P5/P5.acf")));
  SendDatagram(Report(3));
  EXPECT_EQ(host().drawnPlanes(), std::vector<int>{3});
}

TEST_F(PacketTest, FreedStaleAndDisconnectedSlotsAreNotDrawnAndOnlyThePlanesNeededAreActive) {
  WriteFile("Aircraft/Light/C172/C172.acf", "model");
  SendStream("2|p|Aircraft/Light/C172/C172.acf\n3|p|Aircraft/Light/C172/C172.acf\n");
  host().runFrames(3);
  EXPECT_TRUE(host().drawnPlanes().empty());  // a model alone shows nobody
  EXPECT_EQ(host().activeAircraftCount(), 1);  // the user's alone
  SendDatagram(Report(2));
  SendDatagram(Report(3));
  EXPECT_EQ(host().drawnPlanes(), (std::vector<int>{2, 3}));
  EXPECT_EQ(host().activeAircraftCount(), 4);
  // Freed by the server, back with its next report. Below a shown slot a hidden plane stays
  // active, where neither the host's map nor its traffic display near the user shows it.
  SendStream("2|c|BLANK\n2|p|BLANK\n");
  EXPECT_EQ(host().drawnPlanes(), (std::vector<int>{3}));
  EXPECT_EQ(host().activeAircraftCount(), 4);
  EXPECT_LT(host().getd(Plane(2, "lat")), -40);  // the user's antipode, 1,000 km up
  EXPECT_GT(host().getd(Plane(2, "el")), 500000);
  SendDatagram(Report(2));
  EXPECT_EQ(host().drawnPlanes(), (std::vector<int>{2, 3}));
  // Stale: slot 3 keeps reporting, slot 2 falls silent for more than 10 s.
  for (int s = 0; s < 11; ++s) {
    ASSERT_TRUE(peer->sendDatagram(Report(3)));
    host().runFor(1.0);
  }
  EXPECT_EQ(host().drawnPlanes(), (std::vector<int>{3}));
  SendStream("3|c|BLANK\n");
  EXPECT_EQ(host().activeAircraftCount(), 1);
  // Disconnected: nobody, and the planes are the host's again.
  ASSERT_TRUE(host().commandOnce("skytether/disconnect"));
  host().runFrames(3);
  EXPECT_TRUE(host().drawnPlanes().empty());
  EXPECT_FALSE(host().planesAcquired());
  EXPECT_EQ(host().refusedPlaneCalls(), 0);
}

TEST_F(PacketTest, AnotherPluginHasThePlanesWhileDisconnectedAndTheSessionTakesThemBack) {
  EXPECT_TRUE(host().planesAcquired());
  // Asked while connected: the session keeps them.
  host().otherPluginAcquire(false);
  host().runFrames(3);
  EXPECT_TRUE(host().planesAcquired());
  EXPECT_FALSE(host().planesHeldElsewhere());
  // Disconnected, they go to the plugin that asked. A connect asks it once to let them go, and
  // the pilot reads why no traffic shows until it does.
  ASSERT_TRUE(host().commandOnce("skytether/disconnect"));
  EXPECT_TRUE(host().planesHeldElsewhere());
  ASSERT_TRUE(host().commandOnce("skytether/connect"));
  ASSERT_TRUE(RunUntil(host(), peer.get(), [&] { return LinesWith("|Opening Connection|").size() == 2; }));
  EXPECT_EQ(StatusLine(), "Traffic waits: planes held by Other Traffic");
  host().setPlanesHeldElsewhere(false);
  host().runFrames(3);
  EXPECT_TRUE(host().planesAcquired());
  EXPECT_EQ(StatusLine(), "Connected to " + PeerText());
  EXPECT_EQ(host().otherPluginAsked(), 1);
  EXPECT_EQ(host().refusedPlaneCalls(), 0);
}

TEST_F(PacketTest, WithSixPlanesThePlaneListSaysHowManyCanShow) {
  EXPECT_EQ(host().readPublished("skytether/planes_can_show"), "19");
  SendDatagram(Report(8));
  EXPECT_EQ(host().activeAircraftCount(), 9);
  host().setTotalAircraft(6);
  host().runFrames(2);
  EXPECT_TRUE(Drawn("5 of 19 show: set 20 aircraft in settings"));
  EXPECT_EQ(host().readPublished("skytether/planes_can_show"), "5");
  host().setTotalAircraft(20);
  host().runFrames(2);
  EXPECT_FALSE(Drawn("5 of 19 show: set 20 aircraft in settings"));
  EXPECT_EQ(host().activeAircraftCount(), 9);  // set again after the count changed
}

TEST_F(PacketTest, ChatNoticesFillTheHistoryNewestAtTheBottom) {
  std::string batch;
  for (int i = 1; i <= 15; ++i) batch += "0|m|line " + std::to_string(i) + "\n";
  SendStream(batch);
  host().runFor(2.0);
  EXPECT_FALSE(Drawn("line 1"));
  for (int i = 2; i <= 15; ++i) EXPECT_TRUE(Drawn("line " + std::to_string(i))) << i;
  // The history is drawn oldest first: line 15 is the last history string before the typing line.
  auto strings = host().lastFrameStrings();
  auto last = std::find(strings.begin(), strings.end(), "line 15");
  auto first = std::find(strings.begin(), strings.end(), "line 2");
  EXPECT_LT(first, last);
}

TEST_F(PacketTest, ModelPathsUseTheHostsSeparator) {
  host().setDirectorySeparator("\\");
  // On this file system a backslash is an ordinary character: the converted path names this file.
  WriteFile("Aircraft\\Heavy\\B744.acf", "model");
  SendStream("7|p|Aircraft/Heavy/B744.acf\n");
  ASSERT_EQ(host().setAircraftModelLog().size(), 1u);
  EXPECT_EQ(host().setAircraftModelLog()[0].second, PathOf("Aircraft\\Heavy\\B744.acf"));
  EXPECT_EQ(Row(7), "7:  B744");
}

// With smoothing on (the default) a report overtaken on the way is dropped whole; with it off each
// report is shown as it came, the last to arrive winning, as before smoothing.
class SmoothingTest : public NetTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SmoothingTest, AReportOvertakenOnTheWayIsDroppedUnlessSmoothingIsOff) {
  const bool smooth = GetParam();
  StartConnected(std::string("userID=pilot;password=secret;smoothTraffic=") + (smooth ? "1;" : "0;"));
  LearnDatagramPort();
  ReportValues newer, older;
  newer.tail = "|1765158000|200000";
  newer.psi = 10;
  newer.gear[0] = 0.5f;
  older.tail = "|1765158000|100000";  // sent 0.1 s earlier
  older.lat = "47.6";
  older.psi = 20;
  older.gear[0] = 0.25f;
  SendDatagram(Report(5, newer));
  SendDatagram(Report(5, older));
  const ReportValues &shown = smooth ? newer : older;
  auto &h = host();
  double x, y, z;
  h.worldToLocal(double(std::stof(shown.lat)), double(8.5f), double(1000.5f), &x, &y, &z);
  EXPECT_NEAR(h.getd(Plane(5, "z")), z, 0.01);
  EXPECT_FLOAT_EQ(h.getf(Plane(5, "psi")), shown.psi);
  EXPECT_FLOAT_EQ(h.getvf(Plane(5, "gear_deploy"))[0], shown.gear[0]);
}

// A server that writes the same time into every report: each report is shown as it comes.
TEST_P(SmoothingTest, ReportsWhoseTimeNeverChangesAreEachShown) {
  StartConnected(std::string("userID=pilot;password=secret;smoothTraffic=") + (GetParam() ? "1;" : "0;"));
  LearnDatagramPort();
  ReportValues v;
  v.tail = "|0|0";
  for (v.psi = 0; v.psi < 20; ++v.psi) {
    SendDatagram(Report(5, v));
    EXPECT_EQ(host().getf(Plane(5, "psi")), v.psi);
  }
}

INSTANTIATE_TEST_SUITE_P(OnAndOff, SmoothingTest, ::testing::Bool());
