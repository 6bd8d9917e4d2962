#pragma once
// Position lines as the plugin writes them: 42 values, floats as "%.9g" of a float.
#include <cstdio>
#include <string>
#include <vector>

inline std::string FloatText(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
  return buf;
}

inline std::vector<std::string> PositionValues(double lat, double lon, float x = 1.25f) {
  std::vector<std::string> v;
  v.push_back(FloatText(x));
  v.push_back(FloatText(-2.5f));
  v.push_back(FloatText(300.125f));
  v.push_back(FloatText(static_cast<float>(lat)));
  v.push_back(FloatText(static_cast<float>(lon)));
  v.push_back(FloatText(1234.5f));                                // elevation
  for (float a : {2.5f, -1.0f, 271.75f}) v.push_back(FloatText(a));  // theta phi psi
  for (int i = 0; i < 8; ++i) v.push_back(FloatText(0.125f * i));    // surfaces, yoke
  for (int i = 0; i < 10; ++i) v.push_back(FloatText(1.0f));         // gear
  for (int l : {1, 0, 1, 1, 0}) v.push_back(std::to_string(l));      // lights
  for (int i = 0; i < 8; ++i) v.push_back(FloatText(0.75f));         // throttles
  v.push_back(FloatText(1733616000.0f));                             // seconds
  v.push_back(FloatText(654321.0f));                                 // microseconds
  return v;
}

inline std::string PositionTextFrom(int id, bool observer, const std::vector<std::string> &values) {
  std::string s = std::to_string(id) + (observer ? "|VOLOC" : "|LOC");
  for (const std::string &v : values) s += "|" + v;
  return s;
}

inline std::string PositionText(int id, bool observer, double lat, double lon) {
  return PositionTextFrom(id, observer, PositionValues(lat, lon));
}

// What a holder of the sender in `slot` gets for a position line: the header, then the values.
inline std::string Report(int slot, const std::string &position) {
  return std::to_string(slot) + "|l|" + position.substr(position.find("LOC|") + 4);
}

inline const char kTrainer[] = "/home/u/Sim/Aircraft/General Aviation/Trainer/Trainer.acf";
