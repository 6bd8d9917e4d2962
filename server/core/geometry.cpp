#include "core/geometry.h"

#include <cmath>

namespace skytether {
namespace {

constexpr double kEarthRadius = 6371008.8;  // mean radius, meters
constexpr double kDegToRad = 3.14159265358979323846 / 180.0;

}  // namespace

double GreatCircleMeters(double lat1, double lon1, double lat2, double lon2) {
  double p1 = lat1 * kDegToRad, p2 = lat2 * kDegToRad;
  double dp = p2 - p1, dl = (lon2 - lon1) * kDegToRad;
  double a =
      std::sin(dp / 2) * std::sin(dp / 2) + std::cos(p1) * std::cos(p2) * std::sin(dl / 2) * std::sin(dl / 2);
  if (a > 1.0) a = 1.0;
  return 2.0 * kEarthRadius * std::asin(std::sqrt(a));
}

UnitVector UnitVector::Of(double lat, double lon) {
  const double la = lat * kDegToRad, lo = lon * kDegToRad;
  return UnitVector{std::cos(la) * std::cos(lo), std::cos(la) * std::sin(lo), std::sin(la)};
}

double ChordToMeters(double chord2) {
  double half = std::sqrt(chord2) / 2.0;
  if (half > 1.0) half = 1.0;
  return 2.0 * std::asin(half) * kEarthRadius;
}

}  // namespace skytether
