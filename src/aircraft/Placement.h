#pragma once
#include <cstddef>
#include <string_view>

#include "support/strings.h"

// The user's whole-degree cell: the whole-degree parts of the "%.9g" texts of the own latitude and
// longitude. Made once per receive run; every report of the run is placed against it.
struct OwnCell {
  char lat[kNumberTextMax];
  char lon[kNumberTextMax];
  size_t latLength, lonLength;
};
OwnCell OwnCellOf(float ownLat, float ownLon);

// Local coordinates of a received position: the sender's own x, y, z when the report lies in the
// user's whole-degree cell, otherwise the host's conversion of its latitude, longitude, elevation.
void STWorldOrLocal(const OwnCell &own, std::string_view latText, std::string_view lonText, std::string_view elText,
                    std::string_view xText, std::string_view yText, std::string_view zText, double &outX,
                    double &outY, double &outZ);
