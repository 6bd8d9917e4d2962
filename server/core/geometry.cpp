#include "core/geometry.h"

#include <algorithm>
#include <cmath>

namespace skytether {
namespace {

constexpr double kEarthRadius = 6371008.8;  // mean radius, meters
constexpr double kDegToRad = 3.14159265358979323846 / 180.0;

}  // namespace

UnitVector UnitVector::Of(double lat, double lon) {
  const double la = lat * kDegToRad, lo = lon * kDegToRad;
  return UnitVector{std::cos(la) * std::cos(lo), std::cos(la) * std::sin(lo), std::sin(la)};
}

double ChordToMeters(double chord2) {
  double half = std::sqrt(chord2) / 2.0;
  if (half > 1.0) half = 1.0;
  return 2.0 * std::asin(half) * kEarthRadius;
}

double MetersToChord2(double meters) {
  const double half = std::min(meters / kEarthRadius / 2.0, 3.14159265358979323846 / 2.0);
  const double chord = 2.0 * std::sin(half);
  return chord * chord;
}

}  // namespace skytether
