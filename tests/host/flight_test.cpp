// The host flying the user's aircraft round a circle: geometry checked against an independent
// geodesic (Vincenty's inverse on WGS-84), and the datarefs a plugin reads.

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
  double distance;  // metres
  double azimuth;   // initial true bearing, degrees 0..360
};

// Vincenty's inverse formula on WGS-84.
Geodesic inverse(double lat1, double lon1, double lat2, double lon2) {
  const double a = 6378137.0, f = 1 / 298.257223563, b = a * (1 - f);
  double L = std::remainder(lon2 - lon1, 360.0) * kDeg;
  const double U1 = std::atan((1 - f) * std::tan(lat1 * kDeg)),
               U2 = std::atan((1 - f) * std::tan(lat2 * kDeg));
  const double sU1 = std::sin(U1), cU1 = std::cos(U1), sU2 = std::sin(U2), cU2 = std::cos(U2);
  double lambda = L, sinSigma = 0, cosSigma = 0, sigma = 0, cosSqAlpha = 0, cos2SigmaM = 0;
  for (int it = 0; it < 200; ++it) {
    const double sl = std::sin(lambda), cl = std::cos(lambda);
    sinSigma = std::hypot(cU2 * sl, cU1 * sU2 - sU1 * cU2 * cl);
    if (sinSigma == 0) return {0, 0};
    cosSigma = sU1 * sU2 + cU1 * cU2 * cl;
    sigma = std::atan2(sinSigma, cosSigma);
    const double sinAlpha = cU1 * cU2 * sl / sinSigma;
    cosSqAlpha = 1 - sinAlpha * sinAlpha;
    cos2SigmaM = cosSqAlpha != 0 ? cosSigma - 2 * sU1 * sU2 / cosSqAlpha : 0;
    const double C = f / 16 * cosSqAlpha * (4 + f * (4 - 3 * cosSqAlpha));
    const double previous = lambda;
    lambda =
        L + (1 - C) * f * sinAlpha *
                (sigma + C * sinSigma * (cos2SigmaM + C * cosSigma * (-1 + 2 * cos2SigmaM * cos2SigmaM)));
    if (std::fabs(lambda - previous) < 1e-13) break;
  }
  const double uSq = cosSqAlpha * (a * a - b * b) / (b * b);
  const double A = 1 + uSq / 16384 * (4096 + uSq * (-768 + uSq * (320 - 175 * uSq)));
  const double B = uSq / 1024 * (256 + uSq * (-128 + uSq * (74 - 47 * uSq)));
  const double dSigma = B * sinSigma *
                        (cos2SigmaM + B / 4 *
                                          (cosSigma * (-1 + 2 * cos2SigmaM * cos2SigmaM) -
                                           B / 6 * cos2SigmaM * (-3 + 4 * sinSigma * sinSigma) *
                                               (-3 + 4 * cos2SigmaM * cos2SigmaM)));
  const double sl = std::sin(lambda), cl = std::cos(lambda);
  double az = std::atan2(cU2 * sl, cU1 * sU2 - sU1 * cU2 * cl) / kDeg;
  if (az < 0) az += 360;
  return {b * A * (sigma - dSigma), az};
}

// Signed difference a - b of two angles in degrees, in -180..180.
double angleDiff(double a, double b) {
  return std::remainder(a - b, 360.0);
}

struct Circle {
  double lat, lon, alt, radius, speed, phase;
};

std::ostream &operator<<(std::ostream &out, const Circle &c) {
  return out << "circle " << c.lat << " " << c.lon << " alt " << c.alt << " r " << c.radius << " v "
             << c.speed << " phase " << c.phase;
}

struct Pos {
  double lat, lon, el;
};

Pos position(const skyhost::Host &h) {
  return {h.getd("sim/flightmodel/position/latitude"), h.getd("sim/flightmodel/position/longitude"),
          h.getd("sim/flightmodel/position/elevation")};
}

double gSeenInLoop = 0;
float ReadLatitude(float, float, int, void *) {
  gSeenInLoop = XPLMGetDatad(XPLMFindDataRef("sim/flightmodel/position/latitude"));
  return -1;
}

}  // namespace

// Circles in different places: mid-latitude, southern hemisphere, high latitude, across the
// antimeridian, and a wide one.
TEST(Flight, TheAircraftFliesTheCircleAtItsSpeedAlongTheTangent) {
  const Circle circles[] = {{47.45, 8.55, 600, 1000, 60, 0},
                            {-33.9, 151.2, 1500, 5000, 120, 200},
                            {65.0, -20.0, 300, 300, 40, 45},
                            {10.0, 179.99, 1000, 2000, 80, 90},
                            {40.0, -75.0, 3000, 40000, 250, 300}};
  for (const Circle &c : circles) {
    SCOPED_TRACE(::testing::Message() << c);
    Fresh f;
    f.host.flyCircle(c.lat, c.lon, c.alt, c.radius, c.speed, c.phase);
    EXPECT_TRUE(f.host.flying());
    Pos start = position(f.host);
    EXPECT_NEAR(angleDiff(inverse(c.lat, c.lon, start.lat, start.lon).azimuth, c.phase), 0, 1e-5)
        << "placed at once at its phase";
    double travelled = 0;
    Pos prev = start;
    const double bankDeg = -std::atan(c.speed * c.speed / (9.80665 * c.radius)) / kDeg;
    for (int k = 1; k <= 60; ++k) {
      f.host.runFrame(1.0 / 60);
      const Pos p = position(f.host);
      const Geodesic fromCentre = inverse(c.lat, c.lon, p.lat, p.lon);
      ASSERT_NEAR(fromCentre.distance, c.radius, 0.05) << "frame " << k;
      ASSERT_EQ(p.el, c.alt);
      const double psi = f.host.getf("sim/flightmodel/position/psi");
      ASSERT_GE(psi, 0);
      ASSERT_LT(psi, 360);
      // Counter-clockwise: the centre lies 90 degrees left of the heading, seen from the aircraft.
      const double toCentre = inverse(p.lat, p.lon, c.lat, c.lon).azimuth;
      ASSERT_NEAR(angleDiff(psi, toCentre + 90), 0, 1e-3) << "frame " << k;
      // The chord flown this frame points half a frame's turn right of the heading at its end.
      const Geodesic step = inverse(prev.lat, prev.lon, p.lat, p.lon);
      const double halfTurn = c.speed / 60 / c.radius / 2 / kDeg;
      ASSERT_NEAR(angleDiff(step.azimuth, psi + halfTurn), 0, 1e-3) << "frame " << k;
      travelled += step.distance;
      prev = p;
      ASSERT_NEAR(f.host.getf("sim/flightmodel/position/phi"), bankDeg, 1e-4);
      const float theta = f.host.getf("sim/flightmodel/position/theta");
      ASSERT_TRUE(theta >= 0 && theta <= 2) << theta;
    }
    EXPECT_NEAR(travelled, c.speed, c.speed * 1e-4) << "one second of frames";
    // The bearing from the centre went back by the angle flown.
    const double turned = angleDiff(inverse(c.lat, c.lon, start.lat, start.lon).azimuth,
                                    inverse(c.lat, c.lon, prev.lat, prev.lon).azimuth);
    EXPECT_NEAR(turned, c.speed / c.radius / kDeg, 1e-6);
  }
}

TEST(Flight, LocalCoordinatesAreTheHostsProjectionOfThePosition) {
  Fresh f;
  f.host.flyCircle(47.3, 8.9, 800, 3000, 70, 10);  // centre off the projection origin
  for (int k = 0; k < 200; ++k) {
    f.host.runFrame(1.0 / 20);
    const Pos p = position(f.host);
    double x, y, z;
    XPLMWorldToLocal(p.lat, p.lon, p.el, &x, &y, &z);
    ASSERT_NEAR(f.host.getd("sim/flightmodel/position/local_x"), x, 1e-6);
    ASSERT_NEAR(f.host.getd("sim/flightmodel/position/local_y"), y, 1e-6);
    ASSERT_NEAR(f.host.getd("sim/flightmodel/position/local_z"), z, 1e-6);
  }
  // Ten seconds flown round the circle: the local plane sees the radius too.
  double cx, cy, cz;
  XPLMWorldToLocal(47.3, 8.9, 800, &cx, &cy, &cz);
  EXPECT_NEAR(std::hypot(f.host.getd("sim/flightmodel/position/local_x") - cx,
                         f.host.getd("sim/flightmodel/position/local_z") - cz),
              3000, 2.0);
}

TEST(Flight, GearGoesUpThrottlesSetAndLightsAreLeftAlone) {
  Fresh f;
  f.host.setvf("sim/aircraft/parts/acf_gear_deploy", std::vector<float>(10, 1.0f));
  f.host.seti("sim/cockpit/electrical/beacon_lights_on", 1);
  f.host.seti("sim/cockpit/electrical/strobe_lights_on", 1);
  f.host.seti("sim/cockpit/electrical/landing_lights_on", 0);
  f.host.flyCircle(47.45, 8.55, 600, 1000, 60);
  f.host.runFrames(10);
  EXPECT_EQ(f.host.getvf("sim/aircraft/parts/acf_gear_deploy"), std::vector<float>(10, 0.0f));
  EXPECT_EQ(f.host.getvf("sim/flightmodel/ENGN_thro"), std::vector<float>(8, 0.7f));
  EXPECT_EQ(f.host.geti("sim/cockpit/electrical/beacon_lights_on"), 1);
  EXPECT_EQ(f.host.geti("sim/cockpit/electrical/strobe_lights_on"), 1);
  EXPECT_EQ(f.host.geti("sim/cockpit/electrical/landing_lights_on"), 0);
}

TEST(Flight, PhasesApartStartOnOppositeSides) {
  Fresh f;
  f.host.flyCircle(47.45, 8.55, 600, 1500, 60, 0);
  const Pos north = position(f.host);
  f.host.flyCircle(47.45, 8.55, 600, 1500, 60, 180);
  const Pos south = position(f.host);
  EXPECT_NEAR(angleDiff(inverse(47.45, 8.55, north.lat, north.lon).azimuth, 0), 0, 1e-6);
  EXPECT_NEAR(inverse(north.lat, north.lon, south.lat, south.lon).distance, 3000, 0.1);
  EXPECT_GT(north.lat, south.lat);
}

TEST(Flight, FlightLoopsSeeTheAircraftAlreadyMovedThisFrame) {
  Fresh f;
  f.host.flyCircle(47.45, 8.55, 600, 1000, 60);
  XPLMRegisterFlightLoopCallback(ReadLatitude, -1, nullptr);
  f.host.runFrame();
  const double before = f.host.getd("sim/flightmodel/position/latitude");
  f.host.runFrame();
  EXPECT_NE(gSeenInLoop, before);
  EXPECT_EQ(gSeenInLoop, f.host.getd("sim/flightmodel/position/latitude"));
  XPLMUnregisterFlightLoopCallback(ReadLatitude, nullptr);
}

TEST(Flight, StopsWhenToldAndYieldsWhileThePluginOverridesThePath) {
  Fresh f;
  f.host.flyCircle(47.45, 8.55, 600, 1000, 50, 90);
  f.host.runFrames(30);
  // The plugin takes the aircraft: the host leaves it where the plugin put it.
  f.host.setvi("sim/operation/override/override_planepath", {1});
  f.host.setd("sim/flightmodel/position/latitude", 12.5);
  f.host.runFrames(30);
  EXPECT_EQ(f.host.getd("sim/flightmodel/position/latitude"), 12.5);
  // Released, the aircraft is back where a second of flying has brought it.
  f.host.setvi("sim/operation/override/override_planepath", {0});
  f.host.runFrame(0);
  const Pos back = position(f.host);
  EXPECT_NEAR(angleDiff(inverse(47.45, 8.55, back.lat, back.lon).azimuth, 90 - 50.0 / 1000 / kDeg), 0, 1e-4);

  f.host.stopFlying();
  EXPECT_FALSE(f.host.flying());
  f.host.runFrames(30);
  EXPECT_EQ(position(f.host).lat, back.lat);
  EXPECT_EQ(position(f.host).lon, back.lon);
}

TEST(Flight, ImpossibleCirclesAreRefused) {
  Fresh f;
  const double nan = std::nan("");
  const Circle bad[] = {
      {47, 8, 500, 0, 50, 0},    {47, 8, 500, -10, 50, 0},    {47, 8, 500, 2e6, 50, 0},
      {91, 8, 500, 1000, 50, 0}, {47, 181, 500, 1000, 50, 0}, {nan, 8, 500, 1000, 50, 0},
      {47, 8, nan, 1000, 50, 0}, {47, 8, 500, 1000, -1, 0},   {47, 8, 500, 1000, 50, INFINITY}};
  for (const Circle &c : bad) {
    EXPECT_THROW(f.host.flyCircle(c.lat, c.lon, c.alt, c.radius, c.speed, c.phase), std::invalid_argument)
        << c;
    EXPECT_FALSE(f.host.flying()) << c;
  }
  EXPECT_EQ(f.host.getd("sim/flightmodel/position/latitude"), 47.45);  // untouched
}

TEST(Flight, ScriptsFlyAndStop) {
  std::istringstream text(
      "0 fly circle 47.45 8.55 600 1000 60 270\n"
      "1 fly stop\n"
      "1 fly circle 47.45 8.55 600\n"
      "1 fly circle 47.45 8.55 600 0 60\n"
      "1 fly square 47.45 8.55 600 1000 60\n"
      "1 fly circle 47.45 8.55 600 1000 sixty\n");
  const skyhost::Script s = skyhost::parseScript(text);
  ASSERT_EQ(s.actions.size(), 2u);
  ASSERT_EQ(s.errors.size(), 4u);
  EXPECT_NE(s.errors[0].find("fly wants circle LAT LON"), std::string::npos);
  EXPECT_NE(s.errors[1].find("radius 0"), std::string::npos);
  Fresh f;
  EXPECT_EQ(skyhost::runScriptAction(f.host, s.actions[0], f.dir.path()), "");
  EXPECT_TRUE(f.host.flying());
  const Pos p = position(f.host);
  EXPECT_NEAR(angleDiff(inverse(47.45, 8.55, p.lat, p.lon).azimuth, 270), 0, 1e-6);
  EXPECT_EQ(skyhost::runScriptAction(f.host, s.actions[1], f.dir.path()), "");
  EXPECT_FALSE(f.host.flying());
}
