#include "prefs/prefs_text.h"

#include <pcrecpp.h>

#include "support/strings.h"

void ParsePreferencesText(const std::string &text, PrefValues &values) {
  static const pcrecpp::RE pair("(.*?)\\=(.*?)\\;");
  pcrecpp::StringPiece input(text);
  std::string key, value;
  while (pair.Consume(&input, &key, &value)) {
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
  return out;
}

std::string PreferenceValueProblems(const std::string &value) {
  std::string out;
  auto add = [&out](const char *what) {
    if (!out.empty()) out += ", ";
    out += what;
  };
  if (value.find(';') != std::string::npos) add("\";\"");
  if (value.find('=') != std::string::npos) add("\"=\"");
  if (value.find_first_of("\r\n") != std::string::npos) add("line breaks");
  return out;
}
