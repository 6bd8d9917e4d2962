// Datarefs, the projection, multiplayer aircraft and the host's utility calls.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>

#include "XPLMGraphics.h"
#include "XPLMPlanes.h"
#include "XPLMPlugin.h"
#include "XPLMUtilities.h"
#include "fixture.h"

using hosttest::Fresh;
using hosttest::WithFixture;

namespace {
// Looked up before main, before any host exists, as a plugin's globals may do.
XPLMDataRef gEarlyNav = XPLMFindDataRef("sim/cockpit/electrical/nav_lights_on");
}  // namespace

TEST(DefaultHost, LookupsBeforeMainGoToADefaultHostAndHandlesStayValid) {
  ASSERT_NE(gEarlyNav, nullptr);
  skyhost::Host &fallback = skyhost::Host::current();
  const auto &log = fallback.lookupLog();
  EXPECT_NE(std::find(log.begin(), log.end(), "sim/cockpit/electrical/nav_lights_on"), log.end());
  XPLMSetDatai(gEarlyNav, 7);
  EXPECT_EQ(fallback.geti("sim/cockpit/electrical/nav_lights_on"), 7);
  {
    Fresh f;
    EXPECT_EQ(XPLMGetDatai(gEarlyNav), 0);  // the new host's own value
  }
  EXPECT_EQ(XPLMGetDatai(gEarlyNav), 7);
}

class DataRefs : public ::testing::Test {
 protected:
  Fresh f;
};

TEST_F(DataRefs, NamesAreRegisteredLetterForLetterWithTheirTypes) {
  struct Expect {
    const char *name;
    XPLMDataTypeID type;
    int size;
  };
  const Expect expected[] = {
      {"sim/flightmodel/position/local_x", xplmType_Double, 1},
      {"sim/flightmodel/position/elevation", xplmType_Double, 1},
      {"sim/flightmodel/position/psi", xplmType_Float, 1},
      {"sim/joystick/FC_hdng", xplmType_Float, 1},
      {"sim/aircraft/parts/acf_gear_deploy", xplmType_FloatArray, 10},
      {"sim/flightmodel/engine/ENGN_thro", xplmType_FloatArray, 16},
      {"sim/cockpit/electrical/taxi_light_on", xplmType_Int, 1},
      {"sim/multiplayer/position/plane1_el", xplmType_Double, 1},
      {"sim/multiplayer/position/plane19_the", xplmType_Float, 1},
      {"sim/multiplayer/position/plane7_yolk_yaw", xplmType_Float, 1},
      {"sim/multiplayer/position/plane19_gear_deploy", xplmType_FloatArray, 10},
      {"sim/multiplayer/position/plane3_throttle", xplmType_FloatArray, 16},
      {"sim/multiplayer/position/plane1_slat_ratio", xplmType_Float, 1},
      {"sim/multiplayer/position/plane2_sla1_ratio", xplmType_Float, 1},
      {"sim/multiplayer/position/plane12_taxi_light_on", xplmType_Int, 1},
      {"sim/graphics/view/view_type", xplmType_Int, 1},
      {"sim/graphics/view/pilots_head_x", xplmType_Float, 1},
      {"sim/operation/override/override_planepath", xplmType_IntArray, 20},
      {"sim/operation/override/override_flightcontrol", xplmType_Int, 1},
      {"sim/time/is_in_replay", xplmType_Int, 1},
      {"sim/graphics/VR/enabled", xplmType_Int, 1},
      {"sim/graphics/view/world_matrix", xplmType_FloatArray, 16},
      {"sim/graphics/view/viewport", xplmType_IntArray, 4},
  };
  for (const Expect &e : expected) {
    XPLMDataRef ref = XPLMFindDataRef(e.name);
    ASSERT_NE(ref, nullptr) << e.name;
    EXPECT_EQ(f.host.dataRefType(e.name), e.type) << e.name;
    // A double is served through the float calls too.
    EXPECT_EQ(XPLMGetDataRefTypes(ref),
              e.type == xplmType_Double ? xplmType_Double | xplmType_Float : e.type);
    EXPECT_EQ(f.host.dataRefSize(e.name), e.size) << e.name;
  }
  // Names the host does not publish, some of them in use by older plugins.
  for (const char *wrong :
       {"sim/multiplayer/position/plane0_x", "sim/multiplayer/position/plane20_x",
        "sim/multiplayer/position/plane1_yoke_pitch", "sim/cockpit/electrical/taxi_lights_on",
        "sim/multiplayer/position/plane1_theta", "sim/flightmodel/ENGN_thro",
        "sim/flightmodel/controls/lspdef", "sim/multiplayer/position/plane2_slat_ratio",
        "sim/multiplayer/position/plane1_sla1_ratio", ""})
    EXPECT_EQ(XPLMFindDataRef(wrong), nullptr) << wrong;
  EXPECT_EQ(XPLMFindDataRef(nullptr), nullptr);
  EXPECT_EQ(skyhost::Host::dataRefNames().size(), 6u + 3 + 8 + 3 + 2 + 5 + 2 + 2 + 1 + 8 + 19 * 25);
}

// The host's list is a part of the published one, line for line. The published list lies beside
// the repository on a developer's machine; elsewhere there is nothing to compare with.
TEST(PublishedList, EveryNameTheHostKnowsIsPublishedWithItsTypeAndWritability) {
  std::ifstream published(PUBLISHED_DATAREFS);
  if (!published) GTEST_SKIP() << "no published list at " << PUBLISHED_DATAREFS;
  std::set<std::string> lines;
  for (std::string line; std::getline(published, line);) lines.insert(line);
  std::ifstream ours(HOST_DATAREFS);
  ASSERT_TRUE(ours) << HOST_DATAREFS;
  size_t names = 0;
  for (std::string line; std::getline(ours, line);) {
    if (line.empty() || line[0] == '#') continue;
    ++names;
    EXPECT_EQ(lines.count(line), 1u) << "not published so: " << line;
  }
  EXPECT_EQ(names, skyhost::Host::dataRefNames().size());
}

TEST_F(DataRefs, APluginsWriteToAReadOnlyDatarefChangesNothingAndIsCounted) {
  XPLMDataRef lat = XPLMFindDataRef("sim/multiplayer/position/plane3_lat");
  XPLMDataRef view = XPLMFindDataRef("sim/graphics/view/view_type");
  XPLMDataRef head = XPLMFindDataRef("sim/graphics/view/pilots_head_x");
  EXPECT_EQ(XPLMCanWriteDataRef(lat), 0);
  EXPECT_EQ(XPLMCanWriteDataRef(head), 1);
  const double before = f.host.getd("sim/multiplayer/position/plane3_lat");
  XPLMSetDataf(lat, 12.5f);
  XPLMSetDatad(lat, 13.5);
  XPLMSetDatai(view, 1026);
  XPLMSetDataf(head, 0.25f);
  EXPECT_EQ(f.host.getd("sim/multiplayer/position/plane3_lat"), before);
  EXPECT_EQ(f.host.geti("sim/graphics/view/view_type"), 1000);
  EXPECT_FLOAT_EQ(f.host.getf("sim/graphics/view/pilots_head_x"), 0.25f);
  EXPECT_EQ(f.host.readOnlyWrites("sim/multiplayer/position/plane3_lat"), 2);
  EXPECT_EQ(f.host.readOnlyWriteCounts(),
            (std::vector<std::pair<std::string, int>>{{"sim/graphics/view/view_type", 1},
                                                      {"sim/multiplayer/position/plane3_lat", 2}}));
  // The host's own writes are no plugin's.
  f.host.seti("sim/graphics/view/view_type", 1026);
  EXPECT_EQ(f.host.geti("sim/graphics/view/view_type"), 1026);
  EXPECT_EQ(f.host.readOnlyWrites("sim/graphics/view/view_type"), 1);
}

TEST_F(DataRefs, EachFrameDerivesLatitudeLongitudeAndElevationFromTheLocalPosition) {
  double x, y, z;
  XPLMWorldToLocal(47.9, 8.1, 1200, &x, &y, &z);
  XPLMSetDatad(XPLMFindDataRef("sim/multiplayer/position/plane5_x"), x);
  XPLMSetDatad(XPLMFindDataRef("sim/multiplayer/position/plane5_y"), y);
  XPLMSetDatad(XPLMFindDataRef("sim/multiplayer/position/plane5_z"), z);
  XPLMWorldToLocal(46.25, 9.5, 300, &x, &y, &z);
  f.host.setd("sim/flightmodel/position/local_x", x);
  f.host.setd("sim/flightmodel/position/local_y", y);
  f.host.setd("sim/flightmodel/position/local_z", z);
  f.host.setd("sim/flightmodel/position/latitude", 10);  // the host's own state, until the frame
  f.host.runFrame();
  EXPECT_NEAR(f.host.getd("sim/multiplayer/position/plane5_lat"), 47.9, 1e-9);
  EXPECT_NEAR(f.host.getd("sim/multiplayer/position/plane5_lon"), 8.1, 1e-9);
  EXPECT_NEAR(f.host.getd("sim/multiplayer/position/plane5_el"), 1200, 1e-6);
  EXPECT_NEAR(f.host.getd("sim/flightmodel/position/latitude"), 46.25, 1e-9);
  EXPECT_NEAR(f.host.getd("sim/flightmodel/position/longitude"), 9.5, 1e-9);
  EXPECT_NEAR(f.host.getd("sim/flightmodel/position/elevation"), 300, 1e-6);
  // A plane never placed sits at the origin the host began with: far from the user now, the
  // origin moved to the user's aircraft, and every local position with it.
  EXPECT_NEAR(f.host.getd("sim/multiplayer/position/plane6_lat"), 47.45, 1e-9);
  EXPECT_EQ(f.host.originMoves(), 1);
}

TEST_F(DataRefs, EveryLookupIsLoggedInOrderFoundOrNot) {
  f.host.clearLookupLog();
  XPLMFindDataRef("sim/graphics/view/view_type");
  XPLMFindDataRef("made/up");
  XPLMFindDataRef("sim/graphics/view/view_type");
  const std::vector<std::string> expected = {"sim/graphics/view/view_type", "made/up",
                                             "sim/graphics/view/view_type"};
  EXPECT_EQ(f.host.lookupLog(), expected);
}

TEST_F(DataRefs, NullAndForgedHandlesAreIgnored) {
  XPLMSetDatai(nullptr, 5);
  XPLMSetDataf(nullptr, 5);
  XPLMSetDatad(nullptr, 5);
  EXPECT_EQ(XPLMGetDatai(nullptr), 0);
  EXPECT_EQ(XPLMGetDataf(nullptr), 0.0f);
  EXPECT_EQ(XPLMGetDatad(nullptr), 0.0);
  int forged[4] = {1, 2, 3, 4};
  EXPECT_EQ(XPLMGetDatai(forged), 0);
  XPLMSetDatavi(forged, forged, 0, 4);
  EXPECT_EQ(forged[0], 1);
  EXPECT_EQ(XPLMGetDatavf(nullptr, nullptr, 0, 10), 0);
  EXPECT_EQ(XPLMGetDataRefTypes(forged), xplmType_Unknown);
  EXPECT_EQ(XPLMIsDataRefGood(forged), 0);
}

TEST_F(DataRefs, ScalarsConvertBetweenIntFloatAndDouble) {
  XPLMDataRef x = XPLMFindDataRef("sim/multiplayer/position/plane4_x");                // double
  XPLMDataRef psi = XPLMFindDataRef("sim/multiplayer/position/plane4_psi");            // float
  XPLMDataRef nav = XPLMFindDataRef("sim/multiplayer/position/plane4_nav_lights_on");  // int
  XPLMSetDataf(x, 1234.5f);
  EXPECT_DOUBLE_EQ(f.host.getd("sim/multiplayer/position/plane4_x"), 1234.5);
  EXPECT_EQ(XPLMGetDatai(x), 1234);
  XPLMSetDatad(x, 0.1);
  EXPECT_EQ(XPLMGetDatad(x), 0.1);  // a double keeps its precision
  XPLMSetDatai(psi, 271);
  EXPECT_FLOAT_EQ(XPLMGetDataf(psi), 271.0f);
  XPLMSetDataf(nav, 2.9f);
  EXPECT_EQ(XPLMGetDatai(nav), 2);
  // Values no int can hold do not become undefined behaviour.
  XPLMSetDatad(nav, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(XPLMGetDatai(nav), 0);
  XPLMSetDatad(nav, 1e300);
  EXPECT_EQ(XPLMGetDatai(nav), std::numeric_limits<int>::max());
  EXPECT_EQ(XPLMGetDatavf(psi, nullptr, 0, 0), 0);  // not an array
}

TEST_F(DataRefs, ArraysCopyWithinTheirLengthAndReportTheirSize) {
  XPLMDataRef gear = XPLMFindDataRef("sim/multiplayer/position/plane2_gear_deploy");
  EXPECT_EQ(XPLMGetDatavf(gear, nullptr, 0, 0), 10);
  float in[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  XPLMSetDatavf(gear, in, 0, 9);
  std::vector<float> v = f.host.getvf("sim/multiplayer/position/plane2_gear_deploy");
  EXPECT_EQ(v, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0}));
  XPLMSetDatavf(gear, in, 7, 12);  // clamped at the end
  v = f.host.getvf("sim/multiplayer/position/plane2_gear_deploy");
  EXPECT_EQ(v, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 1, 2, 3}));
  XPLMSetDatavf(gear, in, -1, 3);
  XPLMSetDatavf(gear, in, 10, 3);
  XPLMSetDatavf(gear, nullptr, 0, 3);
  EXPECT_EQ(f.host.getvf("sim/multiplayer/position/plane2_gear_deploy"), v);
  float out[4] = {-1, -1, -1, -1};
  EXPECT_EQ(XPLMGetDatavf(gear, out, 8, 4), 2);
  EXPECT_EQ(out[1], 3.0f);
  EXPECT_EQ(out[2], -1.0f);
  EXPECT_EQ(XPLMGetDatavf(gear, out, 10, 4), 0);
  EXPECT_EQ(XPLMGetDatavf(gear, out, -3, 4), 0);

  XPLMDataRef path = XPLMFindDataRef("sim/operation/override/override_planepath");
  int ones[3] = {1, 1, 1};
  XPLMSetDatavi(path, ones, 18, 3);
  XPLMSetDatavi(path, nullptr, 0, 0);  // no values: nothing happens
  EXPECT_EQ(f.host.getvi("sim/operation/override/override_planepath")[19], 1);
  EXPECT_EQ(f.host.getvi("sim/operation/override/override_planepath")[17], 0);
  EXPECT_EQ(XPLMGetDatavi(path, nullptr, 0, 0), 20);
  EXPECT_EQ(XPLMGetDatavi(gear, nullptr, 0, 0), 0);  // a float array is no int array
}

TEST_F(DataRefs, TheHarnessRefusesUnknownNames) {
  EXPECT_THROW(f.host.getf("no/such"), std::invalid_argument);
  EXPECT_THROW(f.host.seti("no/such", 1), std::invalid_argument);
  EXPECT_THROW(f.host.setvf("sim/graphics/view/view_type", {1}), std::invalid_argument);
  EXPECT_FALSE(f.host.hasDataRef("no/such"));
}

TEST_F(DataRefs, EachHostHasItsOwnValuesBehindTheSameHandles) {
  XPLMDataRef head = XPLMFindDataRef("sim/graphics/view/pilots_head_x");
  XPLMSetDataf(head, -0.5f);
  {
    Fresh other;
    EXPECT_EQ(XPLMGetDataf(head), 0.0f);
    XPLMSetDataf(head, 9.0f);
  }
  EXPECT_EQ(XPLMGetDataf(head), -0.5f);
}

TEST_F(DataRefs, TheOwnAircraftStartsAtTheConfiguredPosition) {
  EXPECT_DOUBLE_EQ(f.host.getd("sim/flightmodel/position/latitude"), 47.45);
  EXPECT_DOUBLE_EQ(f.host.getd("sim/flightmodel/position/longitude"), 8.55);
  EXPECT_NEAR(f.host.getd("sim/flightmodel/position/elevation"), 500, 1e-6);  // through local and back
  double x, y, z;
  XPLMWorldToLocal(47.45, 8.55, 500, &x, &y, &z);
  EXPECT_DOUBLE_EQ(f.host.getd("sim/flightmodel/position/local_x"), x);
  EXPECT_DOUBLE_EQ(f.host.getd("sim/flightmodel/position/local_z"), z);
  EXPECT_EQ(f.host.geti("sim/graphics/view/view_type"), 1000);
}

TEST(PublishedDataRefs, AnyoneReadsThemThroughTheOwnersAccessorsAsRegistered) {
  WithFixture f;
  XPLMDataRef id = XPLMFindDataRef("fixture/id");
  XPLMDataRef value = XPLMFindDataRef("fixture/value");
  XPLMDataRef name = XPLMFindDataRef("fixture/name");
  ASSERT_TRUE(id && value && name);
  EXPECT_EQ(XPLMGetDataRefTypes(id), xplmType_Int);
  EXPECT_EQ(XPLMGetDataRefTypes(name), xplmType_Data);
  EXPECT_EQ(XPLMCanWriteDataRef(id), 0);
  EXPECT_EQ(XPLMCanWriteDataRef(value), 1);
  EXPECT_EQ(XPLMIsDataRefGood(id), 1);

  // Read in the owner's context; only the registered type answers, no conversion.
  EXPECT_EQ(XPLMGetDatai(id), f.host.pluginID());
  EXPECT_EQ(XPLMGetDataf(id), 0.0f);
  XPLMSetDatai(value, 42);
  EXPECT_EQ(XPLMGetDatai(value), 42);
  XPLMSetDatai(id, 7);  // read-only: ignored and counted
  EXPECT_EQ(XPLMGetDatai(id), f.host.pluginID());
  EXPECT_EQ(f.host.publishedDataRefs().at(0).ignoredWrites, 1);

  // Bytes: the size with no buffer, then what fits from the offset.
  EXPECT_EQ(XPLMGetDatab(name, nullptr, 0, 0), 7);
  char buf[8] = {0};
  EXPECT_EQ(XPLMGetDatab(name, buf, 3, 3), 3);
  EXPECT_STREQ(buf, "tur");
  EXPECT_EQ(f.host.readPublished("fixture/name"), "Fixture");
  EXPECT_EQ(f.host.readPublished("fixture/value"), "42");

  // A name the host or another plugin holds cannot be taken.
  EXPECT_EQ(XPLMRegisterDataAccessor("fixture/id", xplmType_Int, 0, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr),
            nullptr);
  EXPECT_EQ(XPLMRegisterDataAccessor("sim/graphics/view/view_type", xplmType_Int, 0, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr),
            nullptr);
  // Nor does anyone but the owner unregister it.
  XPLMUnregisterDataAccessor(id);
  EXPECT_EQ(XPLMIsDataRefGood(id), 1);

  // Unregistered at stop: the handles stay, orphaned; a new registration takes the name back.
  f.host.stop();
  for (const auto &d : f.host.publishedDataRefs()) EXPECT_FALSE(d.live) << d.name;
  EXPECT_EQ(XPLMFindDataRef("fixture/id"), id);
  EXPECT_EQ(XPLMIsDataRefGood(id), 0);
  EXPECT_EQ(XPLMGetDatai(value), 0);
  EXPECT_EQ(XPLMGetDatab(name, buf, 0, 7), 0);
  static int answer = 5;
  XPLMDataRef again = XPLMRegisterDataAccessor(
      "fixture/id", xplmType_Int, 0, [](void *r) { return *static_cast<int *>(r); }, nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &answer, nullptr);
  EXPECT_EQ(again, id);
  EXPECT_EQ(XPLMGetDatai(id), 5);
  EXPECT_EQ(f.host.publishedDataRefs().at(0).plugin, 0);
}

class Projection : public ::testing::Test {
 protected:
  Fresh f;
};

TEST_F(Projection, EachHostHasItsOwnOriginWhereItsUserStartsOrWhereChosen) {
  EXPECT_DOUBLE_EQ(f.host.originLatitude(), 47.45);
  EXPECT_DOUBLE_EQ(f.host.originLongitude(), 8.55);
  double x, y, z;
  XPLMWorldToLocal(47.45, 8.55, 0, &x, &y, &z);
  EXPECT_LT(std::fabs(x) + std::fabs(y) + std::fabs(z), 1e-6);
  // Axes: east, up, south.
  XPLMWorldToLocal(47.55, 8.55, 0, &x, &y, &z);  // about 11.1 km north
  EXPECT_NEAR(z, -11120, 30);
  EXPECT_NEAR(x, 0, 1e-6);
  XPLMWorldToLocal(47.45, 8.65, 1000, &x, &y, &z);  // about 7.5 km east at this latitude, 1 km up
  EXPECT_NEAR(x, 7530, 30);
  EXPECT_NEAR(y, 1000, 10);
  // A host whose origin was chosen elsewhere in the same cell sees the same point elsewhere.
  skyhost::TempDir d;
  skyhost::HostOptions other;
  other.root = d.path();
  other.originLatitude = 47.9;
  other.originLongitude = 8.1;
  skyhost::Host h(other);
  EXPECT_DOUBLE_EQ(h.originLatitude(), 47.9);
  double x2, y2, z2;
  h.worldToLocal(47.45, 8.65, 1000, &x2, &y2, &z2);
  EXPECT_GT(std::hypot(x2 - x, z2 - z), 50000);
}

TEST_F(Projection, TheOriginFollowsTheUserAndEveryLocalPositionChangesWithIt) {
  f.host.runFrame();
  double x, y, z;
  f.host.worldToLocal(47.5, 8.6, 900, &x, &y, &z);
  f.host.setd("sim/multiplayer/position/plane3_x", x);
  f.host.setd("sim/multiplayer/position/plane3_y", y);
  f.host.setd("sim/multiplayer/position/plane3_z", z);
  f.host.flyCircle(47.7, 8.55, 1000, 2000, 60);  // about 28 km north of the origin
  f.host.runFrame();
  EXPECT_EQ(f.host.originMoves(), 1);
  EXPECT_NEAR(f.host.originLatitude(), f.host.getd("sim/flightmodel/position/latitude"), 1e-9);
  EXPECT_LT(std::fabs(f.host.getd("sim/flightmodel/position/local_x")), 1e-6);
  // Plane 3 stays where it was in the world; its local position is another.
  EXPECT_NEAR(f.host.getd("sim/multiplayer/position/plane3_lat"), 47.5, 1e-9);
  EXPECT_NEAR(f.host.getd("sim/multiplayer/position/plane3_lon"), 8.6, 1e-9);
  EXPECT_GT(std::fabs(f.host.getd("sim/multiplayer/position/plane3_z") - z), 20000);
  f.host.runFrames(60);
  EXPECT_EQ(f.host.originMoves(), 1);  // flying round near the new origin moves it no more
}

TEST_F(Projection, LocalToWorldUndoesWorldToLocal) {
  const double points[][3] = {
      {47.45, 8.55, 500}, {47.01, 8.99, 12.5}, {47.99, 8.0, 3000}, {48.7, 9.9, 10000}};
  for (const auto &p : points) {
    double x, y, z, lat, lon, alt;
    XPLMWorldToLocal(p[0], p[1], p[2], &x, &y, &z);
    XPLMLocalToWorld(x, y, z, &lat, &lon, &alt);
    EXPECT_NEAR(lat, p[0], 1e-8);  // 1e-8 degree is about a millimetre
    EXPECT_NEAR(lon, p[1], 1e-8);
    EXPECT_NEAR(alt, p[2], 1e-3);
  }
}

class Planes : public ::testing::Test {
 protected:
  Fresh f;
};

TEST_F(Planes, AcquiringTwiceFailsUntilReleased) {
  EXPECT_EQ(XPLMAcquirePlanes(nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(XPLMAcquirePlanes(nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(f.host.planesAcquired());
  XPLMReleasePlanes();
  EXPECT_FALSE(f.host.planesAcquired());
  EXPECT_EQ(XPLMAcquirePlanes(nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(f.host.acquireCalls(), 3);
  EXPECT_EQ(f.host.releaseCalls(), 1);
}

TEST_F(Planes, TheFixtureTakesOverHearsTheHostAndHandsBackTheAircraft) {
  WithFixture p;
  p.host.enable();
  EXPECT_EQ(p.host.activeAircraftCount(), 5);
  EXPECT_TRUE(p.host.planesAcquired());
  EXPECT_EQ(p.host.aiDisabledLog(), (std::vector<int>{1, 2, 3, 4}));
  const std::string model = p.host.root() + "/Aircraft/Fixture/fixture.acf";
  EXPECT_EQ(p.host.aircraftModel(1), model);
  int total, active, controller;
  XPLMCountAircraft(&total, &active, &controller);
  EXPECT_EQ(total, 20);
  EXPECT_EQ(active, 5);
  char file[256], path[512];
  XPLMGetNthAircraftModel(1, file, path);
  EXPECT_STREQ(file, "fixture.acf");
  XPLMGetNthAircraftModel(2, file, path);
  EXPECT_STREQ(path, "");
  // The load held the enable, which the next frame pays for; then every plugin hears of it.
  p.clearLog();
  p.host.runFrame();
  EXPECT_GE(p.host.longestFrameSeconds(), p.host.options().modelLoadSeconds);
  const auto heard = p.log();
  EXPECT_EQ(std::count(heard.begin(), heard.end(), "message -1 102 0x1"), 1);
  EXPECT_EQ(p.host.drawnPlanes(), std::vector<int>{1});  // the only one with a model
  // The user enables six planes; the host then loads its planes again, models gone.
  p.clearLog();
  p.host.setTotalAircraft(6);
  EXPECT_EQ(p.log(), std::vector<std::string>{"message -1 105 (nil)"});
  p.host.reloadPlanes();
  EXPECT_EQ(p.log().size(), 1u + 19u);
  EXPECT_TRUE(p.host.drawnPlanes().empty());
  // Another plugin asks: the holder hears it from the asker, and the other has them once it lets
  // go. A plugin's message comes from that plugin (here the harness, 0).
  p.clearLog();
  p.host.otherPluginAcquire(false);
  XPLMSendMessageToPlugin(p.host.pluginID(), XPLM_MSG_RELEASE_PLANES, nullptr);
  EXPECT_EQ(p.log(), (std::vector<std::string>{"message 9999 111 (nil)", "message 0 111 (nil)"}));
  p.host.disable();
  EXPECT_FALSE(p.host.planesAcquired());
  EXPECT_TRUE(p.host.planesHeldElsewhere());
  EXPECT_EQ(p.host.refusedPlaneCalls(), 0);
}

TEST_F(Planes, TheUsersModelFillsTheBuffersTheSdkAsksFor) {
  char file[256], path[512];
  XPLMGetNthAircraftModel(0, file, path);
  EXPECT_STREQ(file, "Cessna_172SP.acf");
  EXPECT_EQ(std::string(path), f.host.root() + "/Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf");
  f.host.setUserModel(std::string(300, 'f'), std::string(400, 'p'));
  XPLMGetNthAircraftModel(0, file, path);
  EXPECT_EQ(std::strlen(file), 255u);
  EXPECT_EQ(std::string(path), std::string(400, 'p'));
  f.host.setUserModel("f", std::string(600, 'p'));
  XPLMGetNthAircraftModel(0, file, path);
  EXPECT_EQ(std::strlen(path), 511u);
}

// A full path on this system.
#if defined(_WIN32)
#define SIM "C:\\sim\\"
#else
#define SIM "/sim/"
#endif

TEST_F(Planes, OnlyTheHolderSetsTheCountTheAIAndModelsByTheirFullPath) {
  XPLMSetAircraftModel(3, SIM "A.acf");  // not acquired
  XPLMSetActiveAircraftCount(5);
  XPLMDisableAIForPlane(2);
  EXPECT_EQ(f.host.refusedPlaneCalls(), 3);
  EXPECT_EQ(f.host.activeAircraftCount(), 1);
  ASSERT_EQ(XPLMAcquirePlanes(nullptr, nullptr, nullptr), 1);
  XPLMSetAircraftModel(0, SIM "B.acf");  // the user's aircraft
  XPLMSetAircraftModel(20, SIM "C.acf");
  XPLMSetAircraftModel(4, "Aircraft/E.acf");  // relative
  XPLMSetAircraftModel(19, SIM "D.acf");
  EXPECT_EQ(f.host.setAircraftModelLog(), (std::vector<std::pair<int, std::string>>{{19, SIM "D.acf"}}));
  EXPECT_EQ(f.host.refusedAircraftModels(),
            (std::vector<std::pair<int, std::string>>{
                {3, SIM "A.acf"}, {0, SIM "B.acf"}, {20, SIM "C.acf"}, {4, "Aircraft/E.acf"}}));
  EXPECT_EQ(f.host.aircraftModel(0), "");
  for (int i : {0, 19, 20, -1}) XPLMDisableAIForPlane(i);
  EXPECT_EQ(f.host.aiDisabledLog(), (std::vector<int>{0, 19}));
  EXPECT_EQ(f.host.aiDisableIgnored(), 2);
}

namespace {
int gPlanesAvailable = 0;
}  // namespace

TEST_F(Planes, WhileAnotherPluginHoldsThePlanesAcquiringFailsUntilItGivesThemBack) {
  f.host.setPlanesHeldElsewhere(true);
  gPlanesAvailable = 0;
  EXPECT_EQ(XPLMAcquirePlanes(
                nullptr, [](void *n) { ++*static_cast<int *>(n); }, &gPlanesAvailable),
            0);
  int total, active, controller;
  XPLMCountAircraft(&total, &active, &controller);
  EXPECT_NE(controller, XPLMGetMyID());
  EXPECT_NE(controller, XPLM_NO_PLUGIN_ID);
  char name[256];
  XPLMGetPluginInfo(controller, name, nullptr, nullptr, nullptr);
  EXPECT_STREQ(name, "Other Traffic");
  XPLMSetAircraftModel(2, "Aircraft/A.acf");
  EXPECT_TRUE(f.host.setAircraftModelLog().empty());
  // Only the asker's own message makes a yielding holder let go.
  f.host.otherPluginAcquire(true);
  f.host.runFrames(3);
  EXPECT_TRUE(f.host.planesHeldElsewhere());
  XPLMSendMessageToPlugin(controller, XPLM_MSG_RELEASE_PLANES, nullptr);
  EXPECT_EQ(f.host.otherPluginAsked(), 1);
  f.host.runFrames(2);
  EXPECT_FALSE(f.host.planesHeldElsewhere());
  EXPECT_EQ(gPlanesAvailable, 1);
  EXPECT_EQ(XPLMAcquirePlanes(nullptr, nullptr, nullptr), 1);
  XPLMCountAircraft(&total, &active, &controller);
  EXPECT_EQ(controller, XPLMGetMyID());
}

TEST_F(Planes, TheSeparatorIsConfigurable) {
  EXPECT_STREQ(XPLMGetDirectorySeparator(), "/");
  f.host.setDirectorySeparator(":");
  EXPECT_STREQ(XPLMGetDirectorySeparator(), ":");
  skyhost::TempDir d;
  skyhost::HostOptions o;
  o.root = d.path();
  o.directorySeparator = ":";
  skyhost::Host h(o);
  char file[256], path[512];
  XPLMGetNthAircraftModel(0, file, path);
  EXPECT_EQ(std::string(path), h.root() + ":Aircraft:General Aviation:Cessna 172SP:Cessna_172SP.acf");
}
