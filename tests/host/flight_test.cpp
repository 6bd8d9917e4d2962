// The host flying the user's aircraft round a circle, checked against an independent geodesic
// (Vincenty's inverse on WGS-84).

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "XPLMDataAccess.h"
#include "XPLMGraphics.h"
#include "XPLMProcessing.h"
#include "fixture.h"
#include "skyhost/Script.h"

using hosttest::Fresh;

namespace {

constexpr double kDeg = 3.14159265358979323846 / 180.0;

struct Geodesic {
  double distance, azimuth;  // metres; initial true bearing in degrees
};

Geodesic inverse(double lat1, double lon1, double lat2, double lon2) {
  const double a = 6378137.0, f = 1 / 298.257223563, b = a * (1 - f);
  const double L = std::remainder(lon2 - lon1, 360.0) * kDeg;
  const double U1 = std::atan((1 - f) * std::tan(lat1 * kDeg)),
               U2 = std::atan((1 - f) * std::tan(lat2 * kDeg));
  const double sU1 = std::sin(U1), cU1 = std::cos(U1), sU2 = std::sin(U2), cU2 = std::cos(U2);
  double lambda = L, sinS = 0, cosS = 0, sigma = 0, cos2A = 0, c2m = 0;
  for (int it = 0; it < 200; ++it) {
    const double sl = std::sin(lambda), cl = std::cos(lambda);
    sinS = std::hypot(cU2 * sl, cU1 * sU2 - sU1 * cU2 * cl);
    if (sinS == 0) return {0, 0};
    cosS = sU1 * sU2 + cU1 * cU2 * cl;
    sigma = std::atan2(sinS, cosS);
    const double sinA = cU1 * cU2 * sl / sinS;
    cos2A = 1 - sinA * sinA;
    c2m = cos2A != 0 ? cosS - 2 * sU1 * sU2 / cos2A : 0;
    const double C = f / 16 * cos2A * (4 + f * (4 - 3 * cos2A));
    const double previous = lambda;
    lambda = L + (1 - C) * f * sinA * (sigma + C * sinS * (c2m + C * cosS * (-1 + 2 * c2m * c2m)));
    if (std::fabs(lambda - previous) < 1e-13) break;
  }
  const double u2 = cos2A * (a * a - b * b) / (b * b);
  const double A = 1 + u2 / 16384 * (4096 + u2 * (-768 + u2 * (320 - 175 * u2)));
  const double B = u2 / 1024 * (256 + u2 * (-128 + u2 * (74 - 47 * u2)));
  const double dS =
      B * sinS *
      (c2m +
       B / 4 * (cosS * (-1 + 2 * c2m * c2m) - B / 6 * c2m * (-3 + 4 * sinS * sinS) * (-3 + 4 * c2m * c2m)));
  const double az = std::atan2(cU2 * std::sin(lambda), cU1 * sU2 - sU1 * cU2 * std::cos(lambda)) / kDeg;
  return {b * A * (sigma - dS), az < 0 ? az + 360 : az};
}

double angleDiff(double a, double b) {  // a - b in -180..180
  return std::remainder(a - b, 360.0);
}

struct Pos {
  double lat, lon, el;
};

Pos position(const skyhost::Host &h) {
  return {h.getd("sim/flightmodel/position/latitude"), h.getd("sim/flightmodel/position/longitude"),
          h.getd("sim/flightmodel/position/elevation")};
}

// What a flight loop read of the user's latitude, by phase (the refcon).
double gSeenInLoop[2] = {0, 0};
float ReadLatitude(float, float, int, void *phase) {
  gSeenInLoop[phase != nullptr] = XPLMGetDatad(XPLMFindDataRef("sim/flightmodel/position/latitude"));
  return -1;
}

}  // namespace

// Mid-latitude, southern, high-latitude, across the antimeridian, and wide circles.
TEST(Flight, FliesTheCircleAtItsSpeedAlongTheTangent) {
  struct Circle {
    double lat, lon, alt, radius, speed, phase;
  };
  const Circle circles[] = {{47.45, 8.55, 600, 1000, 60, 0},
                            {-33.9, 151.2, 1500, 5000, 120, 200},
                            {65.0, -20.0, 300, 300, 40, 45},
                            {10.0, 179.99, 1000, 2000, 80, 90},
                            {40.0, -75.0, 3000, 40000, 250, 300}};
  for (const Circle &c : circles) {
    SCOPED_TRACE(::testing::Message() << "circle at " << c.lat << ", " << c.lon << " r " << c.radius);
    Fresh f;
    f.host.setvf("sim/aircraft/parts/acf_gear_deploy", std::vector<float>(10, 1.0f));
    f.host.seti("sim/cockpit/electrical/beacon_lights_on", 1);
    f.host.flyCircle(c.lat, c.lon, c.alt, c.radius, c.speed, c.phase);
    Pos prev = position(f.host);
    EXPECT_NEAR(angleDiff(inverse(c.lat, c.lon, prev.lat, prev.lon).azimuth, c.phase), 0, 1e-5)
        << "placed at once";
    const double bank = -std::atan(c.speed * c.speed / (9.80665 * c.radius)) / kDeg;
    double travelled = 0;
    for (int k = 1; k <= 60; ++k) {
      f.host.runFrame(1.0 / 60);
      const Pos p = position(f.host);
      ASSERT_NEAR(inverse(c.lat, c.lon, p.lat, p.lon).distance, c.radius, 0.05) << "frame " << k;
      ASSERT_NEAR(p.el, c.alt, 1e-6);
      // Counter-clockwise: the centre lies 90 degrees left of the heading, and the chord flown
      // this frame points half a frame's turn right of the heading at its end.
      const double psi = f.host.getf("sim/flightmodel/position/psi");
      ASSERT_TRUE(psi >= 0 && psi < 360) << psi;
      ASSERT_NEAR(angleDiff(psi, inverse(p.lat, p.lon, c.lat, c.lon).azimuth + 90), 0, 1e-3) << "frame " << k;
      const Geodesic step = inverse(prev.lat, prev.lon, p.lat, p.lon);
      ASSERT_NEAR(angleDiff(step.azimuth, psi + c.speed / 60 / c.radius / 2 / kDeg), 0, 1e-3)
          << "frame " << k;
      travelled += step.distance;
      prev = p;
      ASSERT_NEAR(f.host.getf("sim/flightmodel/position/phi"), bank, 1e-4);
      const float theta = f.host.getf("sim/flightmodel/position/theta");
      ASSERT_TRUE(theta >= 0 && theta <= 2) << theta;
      double x, y, z;
      XPLMWorldToLocal(p.lat, p.lon, p.el, &x, &y, &z);
      ASSERT_NEAR(f.host.getd("sim/flightmodel/position/local_x"), x, 1e-6);
      ASSERT_NEAR(f.host.getd("sim/flightmodel/position/local_y"), y, 1e-6);
      ASSERT_NEAR(f.host.getd("sim/flightmodel/position/local_z"), z, 1e-6);
    }
    EXPECT_NEAR(travelled, c.speed, c.speed * 1e-4) << "in one second";
    EXPECT_EQ(f.host.getvf("sim/aircraft/parts/acf_gear_deploy"), std::vector<float>(10, 0.0f));
    EXPECT_EQ(f.host.getvf("sim/flightmodel/engine/ENGN_thro"), std::vector<float>(16, 0.7f));
    EXPECT_EQ(f.host.geti("sim/cockpit/electrical/beacon_lights_on"), 1);
  }
}

TEST(Flight, MovesBetweenTheFlightLoopPhasesYieldsToThePluginAndStops) {
  Fresh f;
  f.host.flyCircle(47.45, 8.55, 600, 1000, 50, 90);
  // The older registration runs before the flight model; a loop made for after it sees the move.
  XPLMRegisterFlightLoopCallback(ReadLatitude, -1, nullptr);
  XPLMCreateFlightLoop_t after = {sizeof(XPLMCreateFlightLoop_t), xplm_FlightLoop_Phase_AfterFlightModel,
                                  ReadLatitude, &f};
  XPLMFlightLoopID made = XPLMCreateFlightLoop(&after);
  f.host.runFrame();
  EXPECT_EQ(gSeenInLoop[1], 0) << "runs only once scheduled";
  XPLMScheduleFlightLoop(made, -1, 1);
  f.host.runFrame();
  const double before = f.host.getd("sim/flightmodel/position/latitude");
  f.host.runFrame();
  // Before the model: where the last frame left the aircraft (derived again from its local
  // position at the frame's start, which another C library may round in the last bits); after
  // it: this frame's, some 0.8 m on.
  EXPECT_NEAR(gSeenInLoop[0], before, 1e-9);
  EXPECT_GT(std::fabs(gSeenInLoop[1] - before), 5e-6);
  EXPECT_EQ(gSeenInLoop[1], f.host.getd("sim/flightmodel/position/latitude"));
  XPLMUnregisterFlightLoopCallback(ReadLatitude, nullptr);
  XPLMDestroyFlightLoop(made);
  EXPECT_TRUE(f.host.flightLoops().empty());

  f.host.runFrames(57);
  f.host.setvi("sim/operation/override/override_planepath", {1});
  f.host.setd("sim/flightmodel/position/local_x", 1234.5);
  f.host.runFrames(60);
  EXPECT_EQ(f.host.getd("sim/flightmodel/position/local_x"), 1234.5) << "the plugin moves it";
  double lat, lon, el;  // and the host derives where that is
  f.host.localToWorld(1234.5, f.host.getd("sim/flightmodel/position/local_y"),
                      f.host.getd("sim/flightmodel/position/local_z"), &lat, &lon, &el);
  EXPECT_EQ(f.host.getd("sim/flightmodel/position/latitude"), lat);
  f.host.setvi("sim/operation/override/override_planepath", {0});
  f.host.runFrame(0);
  const Pos back = position(f.host);  // where two seconds on the circle bring it
  EXPECT_NEAR(angleDiff(inverse(47.45, 8.55, back.lat, back.lon).azimuth, 90 - 2 * 50.0 / 1000 / kDeg), 0,
              1e-4);

  f.host.stopFlying();
  EXPECT_FALSE(f.host.flying());
  f.host.runFrames(30);
  EXPECT_NEAR(position(f.host).lon, back.lon, 1e-9);
}

TEST(Flight, ScriptsFlyAndStopAndImpossibleCirclesAreRefused) {
  std::istringstream text(
      "0 fly circle 47.45 8.55 600 1500 60 180\n"
      "1 fly stop\n"
      "1 fly circle 47.45 8.55 600\n"
      "1 fly circle 47.45 8.55 600 0 60\n"
      "1 fly square 47.45 8.55 600 1000 60\n");
  const skyhost::Script s = skyhost::parseScript(text);
  ASSERT_EQ(s.actions.size(), 2u);
  ASSERT_EQ(s.errors.size(), 3u);
  EXPECT_NE(s.errors[0].find("fly wants circle LAT LON"), std::string::npos);
  EXPECT_NE(s.errors[1].find("radius 0"), std::string::npos);
  Fresh f;
  f.host.flyCircle(47.45, 8.55, 600, 1500, 60);  // phase 0: north of the centre
  const Pos north = position(f.host);
  EXPECT_EQ(skyhost::runScriptAction(f.host, s.actions[0], f.dir.path()), "");
  const Pos south = position(f.host);
  EXPECT_NEAR(inverse(north.lat, north.lon, south.lat, south.lon).distance, 3000, 0.1);
  EXPECT_GT(north.lat, south.lat);
  EXPECT_EQ(skyhost::runScriptAction(f.host, s.actions[1], f.dir.path()), "");
  EXPECT_FALSE(f.host.flying());

  const double nan = std::nan("");
  const double bad[][6] = {{47, 8, 500, -10, 50, 0},   {47, 8, 500, 2e6, 50, 0},
                           {91, 8, 500, 1000, 50, 0},  {47, 181, 500, 1000, 50, 0},
                           {nan, 8, 500, 1000, 50, 0}, {47, 8, nan, 1000, 50, 0},
                           {47, 8, 500, 1000, -1, 0},  {47, 8, 500, 1000, 50, INFINITY}};
  for (const auto &c : bad)
    EXPECT_THROW(f.host.flyCircle(c[0], c[1], c[2], c[3], c[4], c[5]), std::invalid_argument)
        << c[0] << " " << c[3];
  EXPECT_FALSE(f.host.flying());
  EXPECT_EQ(position(f.host).lat, south.lat);
}
