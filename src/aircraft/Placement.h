#pragma once
#include <string>

// Local coordinates of a received position: the sender's own x, y, z when the report lies in the
// user's whole-degree cell, otherwise the host's conversion of its latitude, longitude, elevation.
void STWorldOrLocal(float ownLat, float ownLon, std::string latText, std::string lonText, std::string elText,
                    std::string xText, std::string yText, std::string zText, double &outX, double &outY,
                    double &outZ);
