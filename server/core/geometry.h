#pragma once
// Distances on the earth. Pure.

namespace skytether {

// A place as a unit vector from the earth's centre: the squared chord between two of them orders
// places as their great-circle distance does, at the cost of a few multiplications.
struct UnitVector {
  double x = 0, y = 0, z = 0;
  static UnitVector Of(double lat, double lon);
  double Chord2(const UnitVector &o) const {
    const double dx = x - o.x, dy = y - o.y, dz = z - o.z;
    return dx * dx + dy * dy + dz * dz;
  }
};

// The great-circle distance in meters of a squared chord, and the squared chord of a distance.
double ChordToMeters(double chord2);
double MetersToChord2(double meters);

}  // namespace skytether
