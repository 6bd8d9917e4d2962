#include "net_fixture.h"

#include <cstdio>

namespace sttest {

namespace {
std::string F(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", double(v));
  return buf;
}
}  // namespace

std::string Report(int slot, const ReportValues &v) {
  std::string s = std::to_string(slot) + "|l|";
  for (float f : {v.x, v.y, v.z}) s += F(f) + "|";
  s += v.lat + "|" + v.lon + "|" + v.el + "|";
  for (float f : {v.theta, v.phi, v.psi, v.flap, v.flap2, v.speedbrake, v.slat, v.sweep, v.yokePitch,
                  v.yokeRoll, v.yokeYaw})
    s += F(f) + "|";
  for (float f : v.gear) s += F(f) + "|";
  s += v.lights + "|";
  for (int i = 0; i < 8; ++i) s += F(v.throttle[i]) + (i < 7 ? "|" : "");
  return s + v.tail;
}

}  // namespace sttest
