#pragma once
#include <string_view>

// Local coordinates of a received position: the sender's own x, y, z when the report lies in the
// user's whole-degree cell, otherwise the host's conversion of its latitude, longitude, elevation.
void STWorldOrLocal(float ownLat, float ownLon, std::string_view latText, std::string_view lonText,
                    std::string_view elText, std::string_view xText, std::string_view yText,
                    std::string_view zText, double &outX, double &outY, double &outZ);
