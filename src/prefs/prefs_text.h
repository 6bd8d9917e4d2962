#pragma once
// The preferences text: key=value; pairs run together, no line feed anywhere.
#include <string>

struct PrefValues {
  std::string callsign;
  std::string userID;
  std::string password;
  std::string crewID;
  int flightMode = 0;
  int cockpitPosition = 0;
  int connectAtStartup = 0;
};

// Largest number of bytes of the file that are ever parsed.
constexpr int kPrefsReadLimit = 999;

// Applies every well-formed pair from the start of text to values; keys not present keep their
// value. Parsing stops at the first position where no pair matches (a line feed, a pair without ";").
void ParsePreferencesText(const std::string &text, PrefValues &values);

// The full file content: all seven pairs in their fixed order, ending with the last ";".
std::string FormatPreferencesText(const PrefValues &values);

// The characters a value must not hold to read back as written (";" "=" and line breaks), as a
// readable list such as "\";\" and \"=\"", or empty when the value is safe.
std::string PreferenceValueProblems(const std::string &value);
