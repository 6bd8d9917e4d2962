#include "prefs/Preferences.h"

#include <cstring>

#include "platform/platform.h"
#include "plugin/SkytetherSE.h"
#include "prefs/prefs_text.h"

namespace {

// Under the host's folder, whatever the working directory.
std::string PrefsPath() {
  return HostPath("Resources/plugins/stprefs.txt");
}

PrefValues CurrentValues() {
  PrefValues v;
  v.callsign = myCallsign;
  v.userID = userID;
  v.password = password;
  v.crewID = crewID;
  v.flightMode = flightMode;
  v.cockpitPosition = cockpitPosition;
  v.connectAtStartup = connectAtStartup;
  v.server = server;
  v.smoothTraffic = smoothTraffic;
  v.labels = showLabels;
  v.labelDistance = labelDistance;
  return v;
}

}  // namespace

void LoadPreferences() {
  // Only a regular file is read; a named pipe in its place must not hold the host.
  char buffer[kPrefsReadLimit + 1];
  size_t got = 0;
  if (!platform::ReadSmallFile(PrefsPath(), buffer, size_t(kPrefsReadLimit), got)) return;
  buffer[got] = '\0';
  std::string text(buffer, std::strlen(buffer));

  PrefValues v = CurrentValues();
  ParsePreferencesText(text, v);
  myCallsign = v.callsign;
  userID = v.userID;
  password = v.password;
  crewID = v.crewID;
  flightMode = v.flightMode;
  cockpitPosition = v.cockpitPosition;
  connectAtStartup = v.connectAtStartup;
  server = v.server;
  smoothTraffic = v.smoothTraffic;
  showLabels = v.labels;
  labelDistance = v.labelDistance;
}

void SavePreferences() {
  // The file holds the password in clear, so only its owner may read it. A named pipe in its place
  // must not hold the host; only a regular file is cut and written.
  platform::WritePrivateFile(PrefsPath(), FormatPreferencesText(CurrentValues()));
}
