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
  std::string server;  // empty: the built-in server
  int smoothTraffic = 1;
  int labels = 1;         // callsigns over the other aircraft
  int labelDistance = 0;  // and their distance
};

// Largest number of bytes of the file that are ever parsed.
constexpr int kPrefsReadLimit = 999;

// The pair at pos ("key=value;", neither part holding a line feed), pos moved past it; false when
// none begins there.
bool NextPreferencePair(const std::string &text, size_t &pos, std::string &key, std::string &value);

// Applies every well-formed pair from the start of text to values; keys not present keep their
// value. Parsing stops at the first position where no pair matches (a line feed, a pair without ";").
void ParsePreferencesText(const std::string &text, PrefValues &values);

// The full file content: the seven pairs in their fixed order, then "server" when one is chosen,
// then "smoothTraffic", then "labels=0" when labels are off and "labelDistance=1" when they show
// distances, ending with the last ";". Older versions skip these keys, as they skip any key they
// do not know; a file without "server" means the built-in server, one without "smoothTraffic"
// smoothing on, one without "labels" labels on, one without "labelDistance" no distances.
std::string FormatPreferencesText(const PrefValues &values);

// Whether a load gives back exactly these values from the text FormatPreferencesText writes for
// them (its first kPrefsReadLimit bytes, parsed over empty values); flightMode comes back as 0 or 1.
bool PreferencesReadBack(const PrefValues &values);

// The characters of value that do not read back when saved as a value, each tried alone, as a
// readable list in order of first appearance ("\";\"", "line feeds", "\";\" or line feeds"); empty
// when every one does.
std::string UnstorableCharacters(const std::string &value);
