// The host's own flight model, such as it is: the user's aircraft flown round a circle, or steered
// from where it is by speed, turn rate and climb rate.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "HostImpl.h"

namespace skyhost {

namespace {

constexpr double kGravity = 9.80665;
constexpr float kPitchDeg = 1.0f;  // level cruise, nose a little up
constexpr float kThrottle = 0.7f;
constexpr double kMaxRadius = 1.0e6;

std::string number(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

double wrapDegrees(double d) {
  d = std::fmod(d, 360.0);
  return d < 0 ? d + 360.0 : d;
}

// The point on a circle of ground radius `radius` about (lat, lon) at true bearing `bearingDeg`
// from the centre, and the true heading there of a counter-clockwise flight. The offset is laid in
// the tangent plane at the centre, stretched so that its arc on a sphere of the centre's Gaussian
// radius of curvature is the radius, and dropped back onto the ellipsoid; the heading is the
// circle's tangent measured against north at the point itself (not at the centre, whose north
// differs by the meridians' convergence).
void pointOnCircle(double lat, double lon, double radius, double bearingDeg, double *outLat, double *outLon,
                   double *outHeadingDeg) {
  const double sp = std::sin(lat * kDeg), cp = std::cos(lat * kDeg);
  const double sl = std::sin(lon * kDeg), cl = std::cos(lon * kDeg);
  const double w = std::sqrt(1.0 - kE2 * sp * sp);
  const double meridional = kA * (1.0 - kE2) / (w * w * w), primeVertical = kA / w;
  const double gauss = std::sqrt(meridional * primeVertical);
  const double planar = gauss * std::tan(radius / gauss);
  const double sb = std::sin(bearingDeg * kDeg), cb = std::cos(bearingDeg * kDeg);
  const double east[3] = {-sl, cl, 0}, north[3] = {-sp * cl, -sp * sl, cp};
  double p[3];
  geodeticToEcef(lat, lon, 0.0, p);
  double tangent[3];  // direction of travel: the bearing decreasing
  for (int k = 0; k < 3; ++k) {
    p[k] += planar * (sb * east[k] + cb * north[k]);
    tangent[k] = -(cb * east[k] - sb * north[k]);
  }
  double height;
  ecefToGeodetic(p, outLat, outLon, &height);
  const double sp2 = std::sin(*outLat * kDeg), cp2 = std::cos(*outLat * kDeg);
  const double sl2 = std::sin(*outLon * kDeg), cl2 = std::cos(*outLon * kDeg);
  const double te = -sl2 * tangent[0] + cl2 * tangent[1];
  const double tn = -sp2 * cl2 * tangent[0] - sp2 * sl2 * tangent[1] + cp2 * tangent[2];
  *outHeadingDeg = std::atan2(te, tn) / kDeg;
}

}  // namespace

std::string Host::circleFlightProblem(double lat, double lon, double altM, double radiusM, double speedMps,
                                      double phaseDeg) {
  if (!(lat >= -90 && lat <= 90)) return "latitude " + number(lat) + " is not within -90..90";
  if (!(lon >= -180 && lon <= 180)) return "longitude " + number(lon) + " is not within -180..180";
  if (!std::isfinite(altM)) return "altitude " + number(altM) + " is not a number of metres";
  if (!(radiusM > 0 && radiusM <= kMaxRadius))
    return "radius " + number(radiusM) + " is not within 0..1000000 m (0 excluded)";
  if (!(speedMps >= 0 && std::isfinite(speedMps))) return "speed " + number(speedMps) + " is not >= 0";
  if (!std::isfinite(phaseDeg)) return "phase " + number(phaseDeg) + " is not a number of degrees";
  return "";
}

void Host::flyCircle(double lat, double lon, double altM, double radiusM, double speedMps, double phaseDeg) {
  const std::string why = circleFlightProblem(lat, lon, altM, radiusM, speedMps, phaseDeg);
  if (!why.empty()) throw std::invalid_argument("simulated host: fly circle: " + why);
  CircleFlight &f = impl_->flight;
  f.active = true;
  f.lat = lat;
  f.lon = lon;
  f.alt = altM;
  f.radius = radiusM;
  f.speed = speedMps;
  f.phaseDeg = phaseDeg;
  f.flown = 0;
  impl_->placeOnCircle();
}

void Host::flySteer(double speedMps, double turnDps, double climbMps, double bankDeg, double headingDeg) {
  if (!std::isfinite(speedMps) || !std::isfinite(turnDps) || !std::isfinite(climbMps) ||
      std::isinf(bankDeg) || std::isinf(headingDeg))
    throw std::invalid_argument("simulated host: fly steer: speed, turn and climb must be numbers");
  CircleFlight &f = impl_->flight;
  if (!f.active || !f.steered) {
    const std::string pos = "sim/flightmodel/position/";
    f = CircleFlight{};
    f.active = f.steered = true;
    f.lat = getd(pos + "latitude");
    f.lon = getd(pos + "longitude");
    f.alt = getd(pos + "elevation");
    f.heading = getd(pos + "psi");
  }
  if (std::isfinite(headingDeg)) f.heading = wrapDegrees(headingDeg);
  f.speed = speedMps;
  f.turn = turnDps;
  f.climb = climbMps;
  f.coordinated = std::isnan(bankDeg);
  f.bank = f.coordinated ? 0 : bankDeg;
  f.placedAt = f.flown;
  impl_->placeOnCircle();
}

bool Host::jumpSteered(double eastM, double northM) {
  CircleFlight &f = impl_->flight;
  if (!f.active || !f.steered || !std::isfinite(eastM) || !std::isfinite(northM)) return false;
  // Through this host's frame, a plane tangent near its origin: the height it gives away from
  // there is the Earth's curvature, not the aircraft's.
  double x, y, z, height;
  worldToLocal(f.lat, f.lon, f.alt, &x, &y, &z);
  localToWorld(x + eastM, y, z - northM, &f.lat, &f.lon, &height);
  impl_->placeOnCircle();
  return true;
}

void Host::stall(double seconds) {
  if (!(seconds > 0 && seconds < 3600)) return;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  impl_->stalled += seconds;
}

double Host::stalledSeconds() const {
  return impl_->stalled;
}

void Host::stopFlying() {
  impl_->flight.active = false;
}

bool Host::flying() const {
  return impl_->flight.active;
}

void Host::Impl::placeOnCircle() {
  const CircleFlight &f = flight;
  if (!f.active) return;
  const DataRefDef *override = findDataRefDef("sim/operation/override/override_planepath");
  if (values[override->index].vi[0] != 0) return;
  if (f.steered) {
    placeSteered();
    return;
  }
  // Counter-clockwise: the bearing from the centre decreases.
  const double bearing = wrapDegrees(f.phaseDeg - f.speed * f.flown / f.radius / kDeg);
  double lat, lon, heading;
  pointOnCircle(f.lat, f.lon, f.radius, bearing, &lat, &lon, &heading);
  double x, y, z;
  self->worldToLocal(lat, lon, f.alt, &x, &y, &z);
  Host &h = *self;
  const std::string pos = "sim/flightmodel/position/";
  h.setd(pos + "latitude", lat);
  h.setd(pos + "longitude", lon);
  h.setd(pos + "elevation", f.alt);
  h.setd(pos + "local_x", x);
  h.setd(pos + "local_y", y);
  h.setd(pos + "local_z", z);
  h.setf(pos + "psi", static_cast<float>(wrapDegrees(heading)));
  h.setf(pos + "theta", kPitchDeg);
  h.setf(pos + "phi", static_cast<float>(-std::atan(f.speed * f.speed / (kGravity * f.radius)) / kDeg));
  h.setvf("sim/aircraft/parts/acf_gear_deploy", std::vector<float>(10, 0.0f));
  h.setvf(
      "sim/flightmodel/engine/ENGN_thro",
      std::vector<float>(static_cast<size_t>(h.dataRefSize("sim/flightmodel/engine/ENGN_thro")), kThrottle));
}

void Host::Impl::placeSteered() {
  CircleFlight &f = flight;
  const double dt = f.flown - f.placedAt;
  f.placedAt = f.flown;
  // Along the heading of the step's middle, over the ellipsoid's radii of curvature where the
  // aircraft is: a frame's step is metres, so the error is far below a millimetre.
  const double middle = (f.heading + f.turn * dt / 2) * kDeg;
  const double sp = std::sin(f.lat * kDeg), w = std::sqrt(1.0 - kE2 * sp * sp);
  const double meridional = kA * (1.0 - kE2) / (w * w * w), primeVertical = kA / w;
  f.lat += f.speed * dt * std::cos(middle) / meridional / kDeg;
  f.lon += f.speed * dt * std::sin(middle) / (primeVertical * std::cos(f.lat * kDeg)) / kDeg;
  f.lon -= 360.0 * std::floor((f.lon + 180.0) / 360.0);
  f.heading = wrapDegrees(f.heading + f.turn * dt);
  f.alt += f.climb * dt;
  double x, y, z;
  self->worldToLocal(f.lat, f.lon, f.alt, &x, &y, &z);
  Host &h = *self;
  const std::string pos = "sim/flightmodel/position/";
  h.setd(pos + "latitude", f.lat);
  h.setd(pos + "longitude", f.lon);
  h.setd(pos + "elevation", f.alt);
  h.setd(pos + "local_x", x);
  h.setd(pos + "local_y", y);
  h.setd(pos + "local_z", z);
  h.setf(pos + "psi", static_cast<float>(f.heading));
  const double climbAngle = f.speed > 0 ? std::atan(f.climb / f.speed) / kDeg : 0;
  h.setf(pos + "theta", static_cast<float>(kPitchDeg + climbAngle));
  const double bank = f.coordinated ? std::atan(f.speed * f.turn * kDeg / kGravity) / kDeg : f.bank;
  h.setf(pos + "phi", static_cast<float>(bank));
}

}  // namespace skyhost
