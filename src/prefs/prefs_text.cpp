#include "prefs/prefs_text.h"

#include <algorithm>

#include "support/strings.h"

bool NextPreferencePair(const std::string &text, size_t &pos, std::string &key, std::string &value) {
  // "(.*?)=(.*?);" matched at pos, where "." is anything but a line feed: the key runs to the
  // first "=" of the line, the value from there to the first ";" of the line. With no ";" after
  // that "=" in the line, no later "=" of the line has one either, so nothing matches.
  const size_t lineEnd = std::min(text.find('\n', pos), text.size());
  const size_t equals = text.find('=', pos);
  if (equals >= lineEnd) return false;
  const size_t semicolon = text.find(';', equals + 1);
  if (semicolon >= lineEnd) return false;
  key.assign(text, pos, equals - pos);
  value.assign(text, equals + 1, semicolon - equals - 1);
  pos = semicolon + 1;
  return true;
}

void ParsePreferencesText(const std::string &text, PrefValues &values) {
  size_t pos = 0;
  std::string key, value;
  while (NextPreferencePair(text, pos, key, value)) {
    if (key == "callsign") {
      values.callsign = value;
    } else if (key == "userID") {
      values.userID = value;
    } else if (key == "password") {
      values.password = value;
    } else if (key == "flightMode") {
      values.flightMode = stringtoi(value);
    } else if (key == "cockpitPosition") {
      values.cockpitPosition = stringtoi(value);
    } else if (key == "crewID") {
      values.crewID = value;
    } else if (key == "connectAtStartup") {
      values.connectAtStartup = stringtoi(value);
    } else if (key == "server") {
      values.server = value;
    } else if (key == "smoothTraffic") {
      values.smoothTraffic = stringtoi(value);
    } else if (key == "labels") {
      values.labels = stringtoi(value) != 0 ? 1 : 0;
    } else if (key == "labelDistance") {
      values.labelDistance = stringtoi(value) != 0 ? 1 : 0;
    }
  }
}

std::string FormatPreferencesText(const PrefValues &values) {
  std::string out;
  out += "callsign=" + values.callsign + ";";
  out += "userID=" + values.userID + ";";
  out += "password=" + values.password + ";";
  out += values.flightMode != 0 ? "flightMode=1;" : "flightMode=0;";
  AddIntToString(out, "cockpitPosition=", values.cockpitPosition);
  out += ";crewID=" + values.crewID + ";";
  AddIntToString(out, "connectAtStartup=", values.connectAtStartup);
  out += ";";
  if (!values.server.empty()) out += "server=" + values.server + ";";
  out += values.smoothTraffic != 0 ? "smoothTraffic=1;" : "smoothTraffic=0;";
  if (values.labels == 0) out += "labels=0;";
  if (values.labelDistance != 0) out += "labelDistance=1;";
  return out;
}

bool PreferencesReadBack(const PrefValues &values) {
  const std::string text = FormatPreferencesText(values);
  PrefValues back;
  ParsePreferencesText(text.substr(0, std::min(text.find('\0'), size_t(kPrefsReadLimit))), back);
  return back.callsign == values.callsign && back.userID == values.userID &&
         back.password == values.password && back.crewID == values.crewID &&
         back.flightMode == (values.flightMode != 0 ? 1 : 0) &&
         back.cockpitPosition == values.cockpitPosition && back.connectAtStartup == values.connectAtStartup &&
         back.server == values.server && back.smoothTraffic == (values.smoothTraffic != 0 ? 1 : 0) &&
         back.labels == (values.labels != 0 ? 1 : 0) && back.labelDistance == (values.labelDistance != 0 ? 1 : 0);
}

std::string UnstorableCharacters(const std::string &value) {
  std::string out, tried;
  for (char c : value) {
    if (tried.find(c) != std::string::npos) continue;
    tried += c;
    PrefValues alone;
    alone.password.assign(1, c);
    if (PreferencesReadBack(alone)) continue;
    if (!out.empty()) out += " or ";
    out += c == '\n' ? std::string("line feeds") : "\"" + std::string(1, c) + "\"";
  }
  return out;
}
