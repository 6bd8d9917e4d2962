#include "prefs/Preferences.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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
  return v;
}

}  // namespace

void LoadPreferences() {
  // Only a regular file is read; O_NONBLOCK: a named pipe in its place must not hold the host.
  int fd = ::open(PrefsPath().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  char buffer[kPrefsReadLimit + 1];
  size_t got = 0;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    while (got < size_t(kPrefsReadLimit)) {
      ssize_t n = ::read(fd, buffer + got, size_t(kPrefsReadLimit) - got);
      if (n <= 0) break;
      got += size_t(n);
    }
  }
  ::close(fd);
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
}

void SavePreferences() {
  // The file holds the password in clear, so only its owner may read it. O_NONBLOCK: a named pipe
  // in its place must not hold the host; only a regular file is cut and written.
  int fd = ::open(PrefsPath().c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return;
  }
  ::fchmod(fd, S_IRUSR | S_IWUSR);
  std::string text = FormatPreferencesText(CurrentValues());
  const char *p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) break;
    p += n;
    left -= size_t(n);
  }
  ::close(fd);
}
