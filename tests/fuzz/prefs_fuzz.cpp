// The preferences parser on any text: it agrees with a plain reading of the pair rule, stops at the
// first line feed, and what the plugin writes reads back as written.
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "prefs/prefs_text.h"
#include "support/strings.h"

namespace {

// "(.*?)=(.*?);" matched again and again from the start, "." not matching a line feed: the key
// runs to the first "=", the value from there to the next ";".
void PlainParse(const std::string &text, PrefValues &v) {
  size_t pos = 0;
  for (;;) {
    size_t eq = text.find('=', pos);
    if (eq == std::string::npos || text.find('\n', pos) < eq) return;
    size_t semi = text.find(';', eq + 1);
    if (semi == std::string::npos || text.find('\n', eq + 1) < semi) return;
    const std::string key = text.substr(pos, eq - pos);
    const std::string value = text.substr(eq + 1, semi - eq - 1);
    if (key == "callsign")
      v.callsign = value;
    else if (key == "userID")
      v.userID = value;
    else if (key == "password")
      v.password = value;
    else if (key == "flightMode")
      v.flightMode = stringtoi(value);
    else if (key == "cockpitPosition")
      v.cockpitPosition = stringtoi(value);
    else if (key == "crewID")
      v.crewID = value;
    else if (key == "connectAtStartup")
      v.connectAtStartup = stringtoi(value);
    pos = semi + 1;
  }
}

bool Same(const PrefValues &a, const PrefValues &b) {
  return a.callsign == b.callsign && a.userID == b.userID && a.password == b.password &&
         a.crewID == b.crewID && a.flightMode == b.flightMode && a.cockpitPosition == b.cockpitPosition &&
         a.connectAtStartup == b.connectAtStartup;
}

std::string Show(const PrefValues &v) {
  return FormatPreferencesText(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // What LoadPreferences hands the parser: at most the first 999 bytes, up to the first NUL.
  std::string text(reinterpret_cast<const char *>(data),
                   size < size_t(kPrefsReadLimit) ? size : kPrefsReadLimit);
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));

  PrefValues start;  // values from an earlier load stay where the text has no pair for them
  start.callsign = "Old";
  start.cockpitPosition = 2;
  PrefValues got = start, want = start;
  ParsePreferencesText(text, got);
  PlainParse(text, want);
  FUZZ_CHECK(Same(got, want), text + " gave " + Show(got) + " instead of " + Show(want));

  // Nothing after the first line feed counts.
  PrefValues cut = start;
  ParsePreferencesText(text.substr(0, text.find('\n')), cut);
  FUZZ_CHECK(Same(got, cut), text);

  // Written and read back: the values come back (flightMode as 0 or 1) exactly when none holds ";"
  // or a line feed and the file fits what a load reads. PreferencesReadBack, which the settings
  // pane asks, says the same, and so does UnstorableCharacters for a short value.
  const std::string file = FormatPreferencesText(got);
  bool plainBack = file.size() <= size_t(kPrefsReadLimit);
  for (const std::string *value : {&got.callsign, &got.userID, &got.password, &got.crewID})
    plainBack = plainBack && value->find_first_of(";\n") == std::string::npos;
  FUZZ_CHECK(PreferencesReadBack(got) == plainBack, file);
  if (plainBack) {
    PrefValues back;
    PlainParse(file, back);
    PrefValues expected = got;
    expected.flightMode = got.flightMode != 0 ? 1 : 0;
    FUZZ_CHECK(Same(back, expected), file);
  }
  const std::string shortValue = got.password.substr(0, 25);
  PrefValues alone;
  alone.password = shortValue;
  FUZZ_CHECK(PreferencesReadBack(alone) == UnstorableCharacters(shortValue).empty(), shortValue);
  return 0;
}
