// The receive side: position reports into the aircraft slots, and callsign, chat and model notices,
// sent by a fake server to the real plugin.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>

#include "net_fixture.h"

using namespace sttest;

namespace {

class PacketTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    StartConnected();
    LearnDatagramPort();
    ASSERT_TRUE(host().pickMenu({"Skytether", "Toggle Plane List"}));
  }
  // What the plane list shows for slot n after the next frames.
  // The four indicators after the traffic label.
  std::string TrafficLine() {
    const std::string label = "Network Traffic: ";
    for (const auto &s : host().lastFrameStrings())
      if (s.rfind(label, 0) == 0) return s.substr(label.size());
    return "";
  }
};

}  // namespace

TEST_F(PacketTest, ReportInTheSameCellUsesTheSendersLocalPosition) {
  ReportValues v;  // 47.5 / 8.5 lies in the cell of the start position 47.45 / 8.55
  SendDatagram(Report(19, v));
  auto &h = host();
  EXPECT_FLOAT_EQ(float(h.getd(Plane(19, "x"))), 100.5f);
  EXPECT_FLOAT_EQ(float(h.getd(Plane(19, "y"))), 200.25f);
  EXPECT_FLOAT_EQ(float(h.getd(Plane(19, "z"))), -300.125f);
  // Latitude, longitude and elevation are the host's: it ignores the plugin's writes and derives
  // them from x, y, z.
  EXPECT_EQ(h.readOnlyWrites(Plane(19, "lat")), 1);
  double lat, lon, el;
  h.localToWorld(100.5, 200.25, -300.125, &lat, &lon, &el);
  EXPECT_DOUBLE_EQ(h.getd(Plane(19, "lat")), lat);
  EXPECT_DOUBLE_EQ(h.getd(Plane(19, "el")), el);
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
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) return;  // no such locale installed
  SendDatagram(report);
  EXPECT_FLOAT_EQ(float(h.getd(Plane(18, "x"))), 100.5f);
  EXPECT_FLOAT_EQ(float(h.getd(Plane(18, "y"))), 200.25f);
  EXPECT_FLOAT_EQ(h.getf(Plane(18, "psi")), 270.5f);
  EXPECT_FLOAT_EQ(h.getvf(Plane(18, "throttle"))[7], 0.2f);
}

TEST_F(PacketTest, ReportInAnotherCellIsPlacedThroughTheProjection) {
  ReportValues v;
  v.lat = "48.1";
  v.lon = "8.5";
  v.el = "900";
  SendDatagram(Report(1, v));
  double x, y, z;
  host().worldToLocal(double(48.1f), double(8.5f), double(900.0f), &x, &y, &z);
  EXPECT_FLOAT_EQ(float(host().getd(Plane(1, "x"))), float(x));
  EXPECT_FLOAT_EQ(float(host().getd(Plane(1, "y"))), float(y));
  EXPECT_FLOAT_EQ(float(host().getd(Plane(1, "z"))), float(z));
  EXPECT_GT(std::abs(z), 50000.0);  // about 72 km north
}

TEST_F(PacketTest, SlotZeroDrivesTheOwnAircraftAndSlotTwentyIsIgnored) {
  ReportValues v;
  v.x = 5.5f;
  v.throttle[0] = 0.33f;
  SendDatagram(Report(0, v));
  EXPECT_FLOAT_EQ(float(host().getd("sim/flightmodel/position/local_x")), 5.5f);
  EXPECT_FLOAT_EQ(host().getf("sim/flightmodel/controls/elv_trim"), 0.1f);  // yoke pitch to the trim
  EXPECT_FLOAT_EQ(host().getvf("sim/flightmodel/engine/ENGN_thro")[0], 0.33f);
  EXPECT_EQ(host().geti("sim/cockpit/electrical/nav_lights_on"), 1);

  v.x = 777.0f;
  SendDatagram(Report(20, v));
  SendDatagram(Report(-1, v).substr(0));
  for (int n = 1; n <= 19; ++n) EXPECT_NE(float(host().getd(Plane(n, "x"))), 777.0f);
  EXPECT_FLOAT_EQ(float(host().getd("sim/flightmodel/position/local_x")), 5.5f);
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
  bad.x = 999.0f;
  bad.lights = "10|1|0|1|0";
  SendDatagram(Report(2, bad));
  bad.lights = "1|1|0|1";
  SendDatagram(Report(2, bad));
  SendDatagram("2|l|1|2|3");
  SendDatagram("2|x|" + Report(2, bad).substr(4));  // another letter
  EXPECT_FLOAT_EQ(float(host().getd(Plane(2, "x"))), 100.5f);
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
  EXPECT_FLOAT_EQ(float(host().getd(Plane(3, "x"))), 100.5f);
  EXPECT_FLOAT_EQ(float(host().getd(Plane(4, "x"))), 100.5f);
}

TEST_F(PacketTest, ADatagramLongerThanTheReceiveAreaIsIgnoredWhole) {
  SendDatagram(Report(4));
  // The eighth throttle is 1 written with 1400 zeros and a negative exponent: cut at 1400 bytes
  // it would read as an overflowing number.
  ReportValues v;
  v.x = 999.0f;
  v.throttle[7] = 1.0f;
  std::string cut = Report(4, v);
  cut += std::string(1400, '0') + "e-1400";
  ASSERT_GT(cut.size(), 1400u);
  SendDatagram(cut);
  EXPECT_FLOAT_EQ(float(host().getd(Plane(4, "x"))), 100.5f);
  EXPECT_FLOAT_EQ(host().getvf(Plane(4, "throttle"))[7], 0.2f);
  // Exactly 1400 bytes still fit.
  std::string full = Report(4, v);
  full += std::string(1400 - full.size(), '|');
  SendDatagram(full);
  EXPECT_FLOAT_EQ(float(host().getd(Plane(4, "x"))), 999.0f);
  EXPECT_FLOAT_EQ(host().getvf(Plane(4, "throttle"))[7], 1.0f);
}

TEST_F(PacketTest, DatagramsFromAnotherAddressAreIgnored) {
  ReportValues v;
  v.x = 4242.0f;
  ASSERT_TRUE(SendDatagramFrom("127.0.0.2", peer->pluginAddress, Report(0, v)));
  ASSERT_TRUE(SendDatagramFrom("127.0.0.2", peer->pluginAddress, Report(5, v)));
  host().runFrames(3);
  EXPECT_NE(float(host().getd("sim/flightmodel/position/local_x")), 4242.0f);
  EXPECT_NE(float(host().getd(Plane(5, "x"))), 4242.0f);
  // The position stream still goes to the server.
  peer->pollDatagrams();
  peer->datagrams.clear();
  host().runFrames(2);
  peer->pollDatagrams();
  EXPECT_EQ(peer->datagrams.size(), 2u);
}

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

TEST_F(PacketTest, ModelNoticesLoadNewModelsThatExist) {
  WriteFile("Aircraft/Heavy/B744/B744.acf", "model");
  SendStream("4|p|Aircraft/Heavy/B744/B744.acf\n");
  EXPECT_EQ(Row(4), "4:  B744");
  ASSERT_EQ(host().setAircraftModelLog().size(), 1u);
  EXPECT_EQ(host().setAircraftModelLog()[0], std::make_pair(4, std::string("Aircraft/Heavy/B744/B744.acf")));
  // The same display name again loads nothing.
  SendStream("4|p|Aircraft/Heavy/B744/B744.acf\n");
  EXPECT_EQ(host().setAircraftModelLog().size(), 1u);
  // A missing file updates the name only; the same name later does not try again.
  SendStream("4|p|Aircraft/Missing/Jet.acf\n");
  EXPECT_EQ(Row(4), "4:  Jet");
  WriteFile("Aircraft/Missing/Jet.acf", "model");
  SendStream("4|p|Aircraft/Missing/Jet.acf\n");
  EXPECT_EQ(host().setAircraftModelLog().size(), 1u);
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
  EXPECT_EQ(host().setAircraftModelLog().size(), 1u);
  EXPECT_TRUE(host().refusedAircraftModels().empty());
  // While another plugin holds the planes nothing is loaded, nor asked for.
  host().disable();
  host().setPlanesHeldElsewhere(true);
  host().enable();
  ASSERT_TRUE(RunUntil(host(), peer.get(), [&] { return LinesWith("|Opening Connection|").size() == 2; }));
  SendStream("8|p|Aircraft/Heavy/B744/B744.acf\n");
  EXPECT_EQ(Row(8), "8:  B744");
  EXPECT_EQ(host().setAircraftModelLog().size(), 1u);
  EXPECT_TRUE(host().refusedAircraftModels().empty());
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
  EXPECT_EQ(host().setAircraftModelLog()[0].second, "Aircraft\\Heavy\\B744.acf");
  EXPECT_EQ(Row(7), "7:  B744");
}
