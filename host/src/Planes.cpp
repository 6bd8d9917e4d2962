// Multiplayer aircraft and the host's utility calls (paths, separator, messages).

#include <cstring>

#include "HostImpl.h"
#include "XPLMUtilities.h"

namespace skyhost {

namespace {

// Copies into one of the host's 256-byte name buffers: at most 255 characters and a NUL.
void copyName(char *out, const std::string &text) {
  if (!out) return;
  const size_t n = std::min<size_t>(text.size(), 255);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

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
  // The loaded plugin is plugin 1; the host itself is XPLM_PLUGIN_XPLANE.
  if (outController) *outController = h.acquired ? 1 : XPLM_NO_PLUGIN_ID;
}

void XPLMGetNthAircraftModel(int inIndex, char *outFileName, char *outPath) {
  auto &h = cur();
  if (inIndex == 0) {
    skyhost::copyName(outFileName, h.options.userModelFile);
    skyhost::copyName(outPath, h.options.userModelPath);
    return;
  }
  auto it = h.models.find(inIndex);
  const std::string path = it == h.models.end() ? std::string() : it->second;
  skyhost::copyName(outFileName, path.empty() ? path : skyhost::baseName(path, h.options.directorySeparator));
  skyhost::copyName(outPath, path);
}

int XPLMAcquirePlanes(char **, XPLMPlanesAvailable_f, void *) {
  auto &h = cur();
  h.acquireCalls++;
  if (h.acquired) return 0;
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
  h.modelLog.emplace_back(inIndex, path);
  if (inIndex > 0 && inIndex < h.options.totalAircraft) h.models[inIndex] = path;
}

void XPLMDisableAIForPlane(int inPlaneIndex) {
  cur().aiDisabled.push_back(inPlaneIndex);
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
