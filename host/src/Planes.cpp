// Multiplayer aircraft and the host's utility calls (paths, separator, messages).

#include <cstring>

#include "HostImpl.h"
#include "XPLMPlugin.h"
#include "XPLMUtilities.h"

namespace skyhost {

namespace {

// Copies into a buffer the SDK sizes: at most capacity - 1 characters and a NUL.
void copyName(char *out, const std::string &text, size_t capacity = 256) {
  if (!out) return;
  const size_t n = std::min<size_t>(text.size(), capacity - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}
// The SDK's buffers for an aircraft's file name and path.
constexpr size_t kFileNameBuffer = 256;
constexpr size_t kPathBuffer = 512;
// The plugin's id as XPLMGetMyID answers, and the one that holds the planes when another does.
constexpr XPLMPluginID kPluginID = 1;
constexpr XPLMPluginID kOtherPluginID = 2;

std::string baseName(const std::string &path, const std::string &separator) {
  size_t cut = std::string::npos, width = 1;
  if (!separator.empty() && (cut = path.rfind(separator)) != std::string::npos) width = separator.size();
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && (cut == std::string::npos || slash > cut)) {
    cut = slash;
    width = 1;
  }
  return cut == std::string::npos ? path : path.substr(cut + width);
}

}  // namespace

int Host::activeAircraftCount() const {
  return impl_->activeAircraft;
}
bool Host::planesAcquired() const {
  return impl_->acquired;
}
const std::vector<int> &Host::aiDisabledLog() const {
  return impl_->aiDisabled;
}
std::string Host::aircraftModel(int index) const {
  auto it = impl_->models.find(index);
  return it == impl_->models.end() ? std::string() : it->second;
}
const std::vector<std::pair<int, std::string>> &Host::setAircraftModelLog() const {
  return impl_->modelLog;
}
const std::vector<std::pair<int, std::string>> &Host::refusedAircraftModels() const {
  return impl_->refusedModels;
}
int Host::aiDisableIgnored() const {
  return impl_->aiIgnored;
}
void Host::setPlanesHeldElsewhere(bool held) {
  Impl &h = *impl_;
  h.options.planesHeldElsewhere = held;
  if (held || !h.planesAvailable) return;
  XPLMPlanesAvailable_f fn = h.planesAvailable;
  void *refcon = h.planesAvailableRefcon;
  h.planesAvailable = nullptr;
  if (!h.callsBack(true)) return;
  PluginCall call(h);
  fn(refcon);
}
int Host::acquireCalls() const {
  return impl_->acquireCalls;
}
int Host::releaseCalls() const {
  return impl_->releaseCalls;
}

}  // namespace skyhost

using skyhost::cur;

void XPLMSetUsersAircraft(const char *inAircraftPath) {
  auto &h = cur();
  if (!inAircraftPath) return;
  h.options.userModelPath = inAircraftPath;
  h.options.userModelFile = skyhost::baseName(inAircraftPath, h.options.directorySeparator);
}

void XPLMPlaceUserAtAirport(const char *inAirportCode) {
  cur().debug.push_back(std::string("place user at airport ") + (inAirportCode ? inAirportCode : ""));
}

void XPLMCountAircraft(int *outTotalAircraft, int *outActiveAircraft, XPLMPluginID *outController) {
  auto &h = cur();
  if (outTotalAircraft) *outTotalAircraft = h.options.totalAircraft;
  if (outActiveAircraft) *outActiveAircraft = h.activeAircraft;
  if (outController)
    *outController = h.acquired                      ? skyhost::kPluginID
                     : h.options.planesHeldElsewhere ? skyhost::kOtherPluginID
                                                     : XPLM_NO_PLUGIN_ID;
}

void XPLMGetNthAircraftModel(int inIndex, char *outFileName, char *outPath) {
  auto &h = cur();
  std::string file = h.options.userModelFile, path = h.options.userModelPath;
  if (inIndex != 0) {
    auto it = h.models.find(inIndex);
    path = it == h.models.end() ? std::string() : it->second;
    file = path.empty() ? path : skyhost::baseName(path, h.options.directorySeparator);
  }
  // The host fills the buffers up to the sizes the SDK asks the caller for.
  skyhost::copyName(outFileName, file, skyhost::kFileNameBuffer);
  skyhost::copyName(outPath, path, skyhost::kPathBuffer);
}

int XPLMAcquirePlanes(char **, XPLMPlanesAvailable_f inCallback, void *inRefcon) {
  auto &h = cur();
  h.acquireCalls++;
  if (h.acquired) return 0;
  if (h.options.planesHeldElsewhere) {
    h.planesAvailable = inCallback;
    h.planesAvailableRefcon = inRefcon;
    return 0;
  }
  h.acquired = true;
  return 1;
}

void XPLMReleasePlanes(void) {
  auto &h = cur();
  h.releaseCalls++;
  h.acquired = false;
}

void XPLMSetActiveAircraftCount(int inCount) {
  auto &h = cur();
  // Kept as asked (clamped to the host's aircraft), so a plugin's 0 at disable stays visible.
  if (inCount < 0) inCount = 0;
  if (inCount > h.options.totalAircraft) inCount = h.options.totalAircraft;
  h.activeAircraft = inCount;
}

void XPLMSetAircraftModel(int inIndex, const char *inAircraftPath) {
  auto &h = cur();
  const std::string path = inAircraftPath ? inAircraftPath : "";
  // Only into a multiplayer plane, and only by the plugin that holds the planes.
  if (inIndex <= 0 || inIndex >= h.options.totalAircraft || !h.acquired) {
    h.refusedModels.emplace_back(inIndex, path);
    return;
  }
  h.modelLog.emplace_back(inIndex, path);
  h.models[inIndex] = path;
}

void XPLMDisableAIForPlane(int inPlaneIndex) {
  auto &h = cur();
  if (inPlaneIndex < 0 || inPlaneIndex >= h.options.totalAircraft) {
    ++h.aiIgnored;
    return;
  }
  h.aiDisabled.push_back(inPlaneIndex);
}

XPLMPluginID XPLMGetMyID(void) {
  return skyhost::kPluginID;
}

void XPLMGetSystemPath(char *outSystemPath) {
  auto &h = cur();
  skyhost::copyName(outSystemPath, h.root + h.options.directorySeparator);
}

void XPLMGetPrefsPath(char *outPrefsPath) {
  auto &h = cur();
  const std::string &sep = h.options.directorySeparator;
  skyhost::copyName(outPrefsPath, h.root + sep + "Output" + sep + "preferences" + sep + "Host.prf");
}

const char *XPLMGetDirectorySeparator(void) {
  return cur().options.directorySeparator.c_str();
}

void XPLMDebugString(const char *inString) {
  cur().debug.push_back(inString ? inString : "");
}

void XPLMSpeakString(const char *inString) {
  cur().debug.push_back(std::string("speak: ") + (inString ? inString : ""));
}
