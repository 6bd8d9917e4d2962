#include "aircraft/Traffic.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "XPLMDataAccess.h"
#include "XPLMPlanes.h"
#include "XPLMPlugin.h"
#include "XPLMProcessing.h"
#include "XPLMUtilities.h"
#include "XPLMGraphics.h"
#include "aircraft/Placement.h"
#include "aircraft/smoothing.h"
#include "net/net.h"
#include "plugin/SkytetherSE.h"

int refusedModelPaths = 0;

namespace {

// A slot without a report for this long has lost its pilot.
constexpr double kStaleSeconds = 10;
// A hidden plane that must stay active (a shown slot is above it) waits this high over the point of
// the Earth opposite the user's aircraft: the host's map draws an icon for every active plane
// wherever it is, whatever its height, and its traffic display shows those near the user; the
// antipode is as far from the user as a place can be, so neither shows it.
constexpr double kParkHeight = 1.0e6;
// Model files looked at per receive run: a flood of notices costs the frame no more than this.
constexpr int kModelChecksPerRun = 64;

double reportAt[kSlotCount];     // time of the slot's last report; below 0: none since it was freed
bool parked[kSlotCount];         // the plane is parked and nothing moved it since
bool fresh[kSlotCount];          // a report came since the last placement: every value goes to the host
std::string wanted[kSlotCount];  // newest model notice of the slot whose file exists (full path)
std::string loaded[kSlotCount];  // model the plane holds, as this plugin last loaded or found it (full path)
// The plane may still hold the model an earlier session gave it: the slot shows once this session
// names a model for it that exists.
bool staleModel[kSlotCount];
// What this run found of each slot's files: a server repeating notices costs one look per file.
std::string foundThisRun[kSlotCount], missingThisRun[kSlotCount];
// The newest notice of each slot that the run had no file check left for: checked in the next run.
std::string unchecked[kSlotCount];
int nextLoad = 1;  // slot the next load looks at first
SmoothTrack tracks[kSlotCount];  // each slot's motion between its reports (smoothing on)
// A slot whose reports change while their sender's time does not (a server that writes no time)
// is shown as its reports come, until it is freed. The time and where it put the aircraft, of the
// slot's newest timed report.
bool untimedSlot[kSlotCount];
long lastMicros[kSlotCount];
float lastWhere[kSlotCount][6];
// What the placement last wrote of each slot's x, y, z, theta, phi, psi, while nothing else wrote
// them since: a value that has not changed is not written again (level flight keeps y, pitch and
// roll; a held aircraft keeps all six).
struct {
  bool valid;
  float value[6];
} placed[kSlotCount];
// A fixed world point and where this host's frame put it last frame: when it moves, the host has
// moved its origin, and every track is expressed in the new frame.
struct {
  bool set;
  double lat, lon, el, x, y, z;
} reference;
int modelChecksLeft = kModelChecksPerRun;
int savedActive = -1;  // the host's active plane count before the session took the planes
int activeSet = -1;    // the active count this plugin last set; -1: to be set again
// The plugin holding the planes when the session could not take them ("" while none); asked once
// to let them go.
std::string planesHolder;
bool holderAsked = false;

struct Init {
  Init() {
    for (double &t : reportAt) t = -1;
  }
} init;

double Now() {
  return static_cast<double>(XPLMGetElapsedTime());
}

bool ShownAt(int n, double now) {
  return tcpconnected != 0 && reportAt[n] >= 0 && now - reportAt[n] <= kStaleSeconds && !staleModel[n];
}

// Whether plane n holds this model now, as far as the host's name of it goes (511 bytes).
bool PlaneHolds(int n, const std::string &model) {
  char file[256] = {0}, path[512] = {0};
  XPLMGetNthAircraftModel(n, file, path);
  path[sizeof path - 1] = '\0';
  return model.compare(0, sizeof path - 1, path) == 0;
}

int TotalAircraft() {
  int total = 0, active = 0;
  XPLMPluginID controller = XPLM_NO_PLUGIN_ID;
  XPLMCountAircraft(&total, &active, &controller);
  return total;
}

void Park(Aircraft &a) {
  placed[a.planeNumber].valid = false;
  const double lat = XPLMGetDatad(gPlaneLat), lon = XPLMGetDatad(gPlaneLon);
  double x, y, z;
  XPLMWorldToLocal(-lat, lon > 0 ? lon - 180 : lon + 180, kParkHeight, &x, &y, &z);
  SetSlotFloat(a.refX, float(x), SlotValue::Position);
  SetSlotFloat(a.refY, float(y), SlotValue::Position);
  SetSlotFloat(a.refZ, float(z), SlotValue::Position);
}

void TakeOver() {
  int total = 0;
  XPLMPluginID controller = XPLM_NO_PLUGIN_ID;
  XPLMCountAircraft(&total, &savedActive, &controller);
  planesHolder.clear();
  activeSet = -1;
  for (int i = 1; i < kSlotCount; ++i) XPLMDisableAIForPlane(i);
  // Another plugin may have moved the planes and loaded its own models meanwhile: what each plane
  // holds is asked again before anything is loaded into it.
  for (int n = 1; n < kSlotCount; ++n) {
    parked[n] = false;
    placed[n].valid = false;
    loaded[n].clear();
  }
  STPlaceSlots();
}

// Called by the host once another plugin has let the planes go.
void PlanesAvailable(void *) {
  if (tcpconnected != 0) AcquirePlanes();
}

// A model file is a regular file that opens for reading. Opening a named pipe the server's path
// happens to name must not wait for a writer on the host's main thread.
bool FileExists(const std::string &path) {
  return platform::IsRegularFile(path);
}

// Whether text[start, end) is "Aircraft", in any case.
bool NamesAircraftFolder(const std::string &text, size_t start, size_t end) {
  static const char kName[] = "aircraft";
  if (end - start != sizeof kName - 1) return false;
  for (size_t i = 0; i < sizeof kName - 1; ++i)
    if ((text[start + i] | 0x20) != kName[i]) return false;
  return true;
}

bool IsSeparator(char c, const char *hostSeparator) {
  if (c == '/') return true;
  for (const char *s = hostSeparator; *s; ++s)
    if (c == *s) return true;
  return false;
}

}  // namespace

bool PlanesHeld() {
  int total = 0, active = 0;
  XPLMPluginID controller = XPLM_NO_PLUGIN_ID;
  XPLMCountAircraft(&total, &active, &controller);
  return controller == XPLMGetMyID();
}

void AcquirePlanes() {
  if (PlanesHeld()) return;
  if (XPLMAcquirePlanes(nullptr, PlanesAvailable, nullptr) == 1) {
    TakeOver();
    return;
  }
  // Another plugin has them: the pilot is told which, and it is asked once to let them go (the
  // host calls PlanesAvailable when it does).
  int total = 0, active = 0;
  XPLMPluginID holder = XPLM_NO_PLUGIN_ID;
  XPLMCountAircraft(&total, &active, &holder);
  char name[256] = {0};
  if (holder != XPLM_NO_PLUGIN_ID) XPLMGetPluginInfo(holder, name, nullptr, nullptr, nullptr);
  name[sizeof name - 1] = '\0';
  planesHolder = name[0] != '\0' ? name : "another plugin";
  if (!holderAsked && holder != XPLM_NO_PLUGIN_ID) XPLMSendMessageToPlugin(holder, XPLM_MSG_RELEASE_PLANES, nullptr);
  holderAsked = true;
}

std::string PlanesWait() {
  if (tcpconnected == 0 || planesHolder.empty()) return std::string();
  return "Traffic waits: planes held by " + planesHolder;
}

void ReleasePlanes() {
  for (double &t : reportAt) t = -1;
  for (SmoothTrack &t : tracks) t.Reset();
  planesHolder.clear();
  holderAsked = false;
  for (bool &u : untimedSlot) u = false;
  // The next session may give these slots to other pilots: nothing of this one loads into them,
  // and a plane keeping this session's model stays hidden until its new pilot's model is known.
  for (int n = 1; n < kSlotCount; ++n) {
    if (!loaded[n].empty()) staleModel[n] = true;
    wanted[n].clear();
    unchecked[n].clear();
  }
  if (!PlanesHeld()) return;
  for (int n = 1; n < kSlotCount; ++n) Park(AircraftList[n]);
  if (savedActive >= 0) XPLMSetActiveAircraftCount(savedActive);
  XPLMReleasePlanes();
  for (int n = 1; n < kSlotCount; ++n) parked[n] = false;
}

void HandleHostMessage(int message, void *param) {
  if (message == XPLM_MSG_RELEASE_PLANES) {
    // Kept while connected: the session needs them. Asked for again at the next connect.
    if (tcpconnected == 0) ReleasePlanes();
  } else if (message == XPLM_MSG_AIRPLANE_COUNT_CHANGED) {
    activeSet = -1;  // the host may have cut it: set at the next placement
  } else if (message == XPLM_MSG_PLANE_LOADED) {
    const intptr_t n = reinterpret_cast<intptr_t>(param);
    if (n < 1 || n >= kSlotCount) return;
    placed[n].valid = false;  // a plane loaded anew is placed anew
    if (loaded[n].empty()) return;
    // The host loads planes of its own accord too (a new flight, a changed count): a plane that
    // no longer has the model this plugin chose gets it again.
    if (!PlaneHolds(int(n), loaded[n])) loaded[n].clear();
  }
}

void NoteReport(int n) {
  if (n < 1 || n >= kSlotCount) return;
  reportAt[n] = Now();
  fresh[n] = true;
}

void FreeSlot(int n) {
  if (n < 1 || n >= kSlotCount) return;
  reportAt[n] = -1;
  untimedSlot[n] = false;
  unchecked[n].clear();
  wanted[n] = loaded[n];
  tracks[n].Reset();
}

bool SlotShown(int n) {
  return n >= 1 && n < kSlotCount && ShownAt(n, Now());
}

double TrafficClock() {
  return platform::SteadySeconds();
}

bool ReportIsNewer(int n, double arrival, long micros) {
  return untimedSlot[n] || tracks[n].Empty() || tracks[n].IsNewer(arrival, micros);
}

void TakeReport(int n, double arrival, bool timed, long micros) {
  if (n < 1 || n >= kSlotCount) return;
  const Aircraft &a = AircraftList[n];
  const float where[6] = {a.lat, a.lon, a.el, a.theta, a.phi, a.psi};
  if (timed && !tracks[n].Empty() && micros == lastMicros[n] &&
      std::memcmp(where, lastWhere[n], sizeof where) != 0)
    untimedSlot[n] = true;
  if (timed) {
    lastMicros[n] = micros;
    std::memcpy(lastWhere[n], where, sizeof where);
  }
  const Pose pose{a.x, a.y, a.z, a.theta, a.phi, a.psi};
  tracks[n].Take(TrackReport{arrival, timed && !untimedSlot[n], micros, pose});
}

void ResetTrack(int n) {
  if (n >= 1 && n < kSlotCount) tracks[n].Reset();
}

void FollowOrigin() {
  if (!reference.set) {
    reference.lat = XPLMGetDataf(gPlaneLat);
    reference.lon = XPLMGetDataf(gPlaneLon);
    reference.el = XPLMGetDataf(gPlaneEl);
    XPLMWorldToLocal(reference.lat, reference.lon, reference.el, &reference.x, &reference.y, &reference.z);
    reference.set = true;
    return;
  }
  double x, y, z;
  XPLMWorldToLocal(reference.lat, reference.lon, reference.el, &x, &y, &z);
  if (std::fabs(x - reference.x) + std::fabs(y - reference.y) + std::fabs(z - reference.z) < 1e-3) return;
  reference.x = x;
  reference.y = y;
  reference.z = z;
  for (int n = 1; n < kSlotCount; ++n) {
    // The host moved every plane with its origin: what was written last no longer stands.
    placed[n].valid = false;
    if (tracks[n].Empty()) continue;
    // Each track moves by what the shift means where its aircraft is: the newest report it took
    // is the slot's latitude, longitude and elevation, in the frame as it was.
    const Aircraft &a = AircraftList[n];
    STWorldOrLocal(a.lat, a.lon, a.el, x, y, z);
    const Pose &held = tracks[n].Newest();
    tracks[n].Shift(x - held.x, y - held.y, z - held.z);
  }
}

float SkytetherPlaceTraffic(float, float, int, void *) {
  if (smoothTraffic == 0 || tcpconnected == 0 || !PlanesHeld()) return kEveryFrame;
  FollowOrigin();
  const double elapsed = Now(), now = TrafficClock();
  for (int n = 1; n < kSlotCount; ++n) {
    if (tracks[n].Empty() || !ShownAt(n, elapsed)) continue;
    const Pose p = tracks[n].At(now);
    const Aircraft &a = AircraftList[n];
    const float value[6] = {float(p.x), float(p.y), float(p.z), float(p.theta), float(p.phi), float(p.psi)};
    const XPLMDataRef ref[6] = {a.refX, a.refY, a.refZ, a.refTheta, a.refPhi, a.refPsi};
    auto &held = placed[n];
    // Wherever the motion between reports runs off to, the aircraft stays where it last stood.
    const bool fits = PositionFits(value[0], value[1], value[2]);
    if (!fits && !held.valid) continue;
    for (int i = fits ? 0 : 3; i < 6; ++i) {
      if (held.valid && std::memcmp(&held.value[i], &value[i], sizeof(float)) == 0) continue;
      SetSlotFloat(ref[i], value[i], i < 3 ? SlotValue::Position : SlotValue::Angle);
      held.value[i] = value[i];
    }
    held.valid = true;
  }
  return kEveryFrame;
}

void STPlaceSlots() {
  // The run is over: the next one looks at files afresh, up to its own share.
  modelChecksLeft = kModelChecksPerRun;
  for (int n = 1; n < kSlotCount; ++n) {
    foundThisRun[n].clear();
    missingThisRun[n].clear();
  }
  if (!PlanesHeld()) return;
  const double now = Now();
  // Only the planes needed are active: the host counts them from the first, the user's included,
  // so up to the highest slot shown. Every active plane is simulated and on the host's map.
  int needed = 1;
  for (int n = 1; n < kSlotCount; ++n)
    if (ShownAt(n, now)) needed = n + 1;
  if (needed != activeSet) XPLMSetActiveAircraftCount(needed);
  activeSet = needed;
  for (int n = 1; n < kSlotCount; ++n) {
    Aircraft &a = AircraftList[n];
    if (!ShownAt(n, now)) {
      // Below a shown slot the plane stays active: it waits where nothing shows it.
      if (n < needed && !parked[n]) Park(a);
      parked[n] = n < needed;
      tracks[n].Reset();
      continue;
    }
    parked[n] = false;
    if (smoothTraffic != 0) {
      if (fresh[n]) a.SetStateData();
      fresh[n] = false;
      continue;
    }
    placed[n].valid = false;
    if (fresh[n]) {
      fresh[n] = false;
      a.SetAircraftData();
      continue;
    }
    // The host may have moved its origin since the report: its frame is the one that counts.
    double x, y, z;
    STWorldOrLocal(a.lat, a.lon, a.el, x, y, z);
    a.x = float(x);
    a.y = float(y);
    a.z = float(z);
    a.SetPosition();
  }
}

bool ModelFilePath(const std::string &sent, std::string &fullPath) {
  const char *separator = XPLMGetDirectorySeparator();
  if (sent.empty()) return false;
  std::string serverPath = sent;
  // A full path of the sender's own machine: as the server does, the part from its last
  // "Aircraft" folder on names the model in every host's folder.
  if (IsSeparator(sent[0], separator) || sent[0] == '\\' || (sent.size() > 1 && sent[1] == ':')) {
    size_t aircraft = std::string::npos;
    for (size_t at = 0, start = 0; at < sent.size(); ++at) {
      if (!IsSeparator(sent[at], separator) && sent[at] != '\\') continue;
      if (NamesAircraftFolder(sent, start, at)) aircraft = start;
      start = at + 1;
    }
    if (aircraft == std::string::npos) return false;
    serverPath = sent.substr(aircraft);
  }
  // Written plainly, so that two spellings of one file name one model: every ".." must stay
  // inside the folder the path has entered.
  std::string plain;
  size_t start = 0;
  for (size_t at = 0; at <= serverPath.size(); ++at) {
    if (at < serverPath.size() && !IsSeparator(serverPath[at], separator)) continue;
    const std::string part = serverPath.substr(start, at - start);
    start = at + 1;
    if (part.empty() || part == ".") continue;
    if (part != "..") {
      plain += (plain.empty() ? "" : "/") + part;
      continue;
    }
    if (plain.empty()) return false;
    const size_t cut = plain.rfind('/');
    plain.erase(cut == std::string::npos ? 0 : cut);
  }
  if (plain.empty()) return false;
  fullPath = HostPath(plain);
  return true;
}

namespace {

void WantModel(int n, const std::string &full) {
  unchecked[n].clear();
  if (full == wanted[n]) return;
  // Loaded already: nothing waits, whatever came between.
  if (full == loaded[n]) {
    wanted[n] = full;
    staleModel[n] = false;
    return;
  }
  // A missing file leaves the newest one that exists waiting.
  if (full == missingThisRun[n]) return;
  if (full != foundThisRun[n]) {
    // Past the run's share of file checks the path waits for the next run.
    if (modelChecksLeft <= 0) {
      unchecked[n] = full;
      return;
    }
    --modelChecksLeft;
    if (!FileExists(full)) {
      missingThisRun[n] = full;
      return;
    }
    foundThisRun[n] = full;
  }
  wanted[n] = full;
  staleModel[n] = false;
}

}  // namespace

void QueueModel(int n, const std::string &serverPath) {
  if (n < 1 || n >= kSlotCount) return;  // the host loads no model into the user's aircraft
  std::string full;
  if (!ModelFilePath(serverPath, full)) {
    ++refusedModelPaths;
    return;
  }
  // A newer notice of a missing file leaves an older one still to be checked waiting.
  if (!unchecked[n].empty() && full == missingThisRun[n]) return;
  WantModel(n, full);
}

void CheckWaitingModels() {
  for (int n = 1; n < kSlotCount; ++n) {
    if (unchecked[n].empty()) continue;
    const std::string full = unchecked[n];
    WantModel(n, full);
  }
}

float SkytetherLoadModels(float, float, int, void *) {
  if (!PlanesHeld()) return kEveryFrame;
  const int total = TotalAircraft();
  for (int k = 0; k < kSlotCount - 1; ++k) {
    const int n = (nextLoad - 1 + k) % (kSlotCount - 1) + 1;
    if (n >= total || wanted[n].empty() || wanted[n] == loaded[n]) continue;
    // A plane that holds the model already (after a reconnect, a takeover, a reload of the host's
    // own) is not loaded again.
    if (PlaneHolds(n, wanted[n])) {
      loaded[n] = wanted[n];
      continue;
    }
    // The host loads the whole model before it returns: one a frame.
    XPLMSetAircraftModel(n, wanted[n].c_str());
    loaded[n] = wanted[n];
    nextLoad = n % (kSlotCount - 1) + 1;
    break;
  }
  return kEveryFrame;
}

int SlotsThatCanShow() {
  const int total = TotalAircraft() - 1;
  return total < 0 ? 0 : total > kSlotCount - 1 ? kSlotCount - 1 : total;
}
