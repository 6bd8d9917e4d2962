// Multiplayer aircraft and the host's utility calls (paths, separator, messages).

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "HostImpl.h"
#include "System.h"
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
// The plugin holding the planes when another one, not loaded in this host, does: an id this host
// never gives out.
constexpr XPLMPluginID kOtherPluginID = 9999;
// Planes farther than this from the user's aircraft are not drawn (nor on the traffic display).
constexpr double kDrawRangeMetres = 100000;

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
  return impl_->planesHolder != XPLM_NO_PLUGIN_ID;
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
  h.otherWaiting = false;
  if (!held) h.planesReleased();
  for (auto &e : h.deferred) e();  // the asker's callback runs now, not at the next frame
  h.deferred.clear();
}

bool Host::planesHeldElsewhere() const {
  return impl_->options.planesHeldElsewhere;
}
int Host::otherPluginAsked() const {
  return impl_->otherAsked;
}

void Host::otherPluginAcquire(bool yieldsWhenAsked) {
  Impl &h = *impl_;
  h.otherYields = yieldsWhenAsked;
  if (h.options.planesHeldElsewhere) return;
  if (h.planesHolder == XPLM_NO_PLUGIN_ID) {
    h.options.planesHeldElsewhere = true;
    return;
  }
  // The holder is asked to let them go, by the asker; the other takes them when it does.
  h.otherWaiting = true;
  PluginRec *holder = h.plugin(h.planesHolder);
  if (holder && holder->enabled) {
    PluginCall call(h, holder->id);
    holder->xReceive(kOtherPluginID, XPLM_MSG_RELEASE_PLANES, nullptr);
  }
}

void Host::Impl::planesReleased() {
  planesHolder = XPLM_NO_PLUGIN_ID;
  if (otherWaiting) {
    otherWaiting = false;
    options.planesHeldElsewhere = true;
    return;
  }
  if (options.planesHeldElsewhere || !planesAvailable) return;
  // The plugin a refused acquire left waiting hears at the next frame.
  XPLMPlanesAvailable_f fn = planesAvailable;
  void *refcon = planesAvailableRefcon;
  const XPLMPluginID owner = planesAvailableOwner;
  planesAvailable = nullptr;
  deferred.push_back([this, fn, refcon, owner] {
    if (!callsBack(owner)) return;
    PluginCall call(*this, owner);
    fn(refcon);
  });
}

bool Host::Impl::holdsPlanes(const char *call) {
  if (planesHolder != XPLM_NO_PLUGIN_ID && planesHolder == caller()) return true;
  ++refusedPlaneCalls;
  debug.push_back(std::string(call) + " refused: the calling plugin does not hold the planes");
  return false;
}

int Host::refusedPlaneCalls() const {
  return impl_->refusedPlaneCalls;
}
int Host::totalAircraft() const {
  return impl_->options.totalAircraft;
}

void Host::setTotalAircraft(int total) {
  Impl &h = *impl_;
  h.options.totalAircraft = std::max(1, std::min(20, total));
  h.activeAircraft = std::min(h.activeAircraft, h.options.totalAircraft);
  h.broadcast(XPLM_MSG_AIRPLANE_COUNT_CHANGED, nullptr);
}

void Host::reloadPlanes() {
  Impl &h = *impl_;
  for (int n = 1; n < 20; ++n) {
    h.models.erase(n);
    h.broadcast(XPLM_MSG_PLANE_LOADED, reinterpret_cast<void *>(static_cast<intptr_t>(n)));
  }
}

bool Host::planeDrawn(int n) const {
  const Impl &h = *impl_;
  if (n < 1 || n >= h.options.totalAircraft || n >= h.activeAircraft) return false;
  auto model = h.models.find(n);
  if (model == h.models.end() || model->second.empty()) return false;
  const std::string p = "sim/multiplayer/position/plane" + std::to_string(n) + "_";
  const std::string u = "sim/flightmodel/position/local_";
  const double d =
      std::sqrt(std::pow(getd(p + "x") - getd(u + "x"), 2) + std::pow(getd(p + "y") - getd(u + "y"), 2) +
                std::pow(getd(p + "z") - getd(u + "z"), 2));
  return d <= kDrawRangeMetres;
}

std::vector<int> Host::drawnPlanes() const {
  std::vector<int> out;
  for (int n = 1; n < 20; ++n)
    if (planeDrawn(n)) out.push_back(n);
  return out;
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
    *outController = h.planesHolder != XPLM_NO_PLUGIN_ID ? h.planesHolder
                     : h.options.planesHeldElsewhere     ? skyhost::kOtherPluginID
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
  skyhost::copyName(outFileName, h.pathForCaller(file), skyhost::kFileNameBuffer);
  skyhost::copyName(outPath, h.pathForCaller(path), skyhost::kPathBuffer);
}

int XPLMAcquirePlanes(char **, XPLMPlanesAvailable_f inCallback, void *inRefcon) {
  auto &h = cur();
  h.acquireCalls++;
  const XPLMPluginID asker = h.caller();
  if (h.planesHolder == asker) return 0;  // held already
  if (h.planesHolder == XPLM_NO_PLUGIN_ID && !h.options.planesHeldElsewhere) {
    h.planesHolder = asker;
    return 1;
  }
  // Refused: the asker hears when they are free. Asking the holder to let them go is the asker's
  // own business (XPLMSendMessageToPlugin): the host does not ask for it.
  h.planesAvailable = inCallback;
  h.planesAvailableRefcon = inRefcon;
  h.planesAvailableOwner = asker;
  return 0;
}

void XPLMReleasePlanes(void) {
  auto &h = cur();
  h.releaseCalls++;
  // Only the holder gives them back.
  if (h.planesHolder == h.caller() && h.planesHolder != XPLM_NO_PLUGIN_ID) h.planesReleased();
}

void XPLMSetActiveAircraftCount(int inCount) {
  auto &h = cur();
  if (!h.holdsPlanes("XPLMSetActiveAircraftCount")) return;
  // Cut to the planes the user enabled.
  if (inCount < 0) inCount = 0;
  if (inCount > h.options.totalAircraft) inCount = h.options.totalAircraft;
  h.activeAircraft = inCount;
}

void XPLMSetAircraftModel(int inIndex, const char *inAircraftPath) {
  auto &h = cur();
  const std::string path = h.pathFromCaller(inAircraftPath ? inAircraftPath : "");
  // Only a full path into a multiplayer plane, and only by the plugin that holds the planes.
  if (inIndex <= 0 || inIndex >= h.options.totalAircraft || !skyhost::sys::isAbsolutePath(path) ||
      !h.holdsPlanes("XPLMSetAircraftModel")) {
    h.refusedModels.emplace_back(inIndex, path);
    return;
  }
  // The model loads before the call returns: the frame waits.
  if (h.options.modelLoadSeconds > 0)
    std::this_thread::sleep_for(std::chrono::duration<double>(h.options.modelLoadSeconds));
  h.modelLog.emplace_back(inIndex, path);
  h.models[inIndex] = path;
  h.deferred.push_back([&h, inIndex] {
    h.broadcast(XPLM_MSG_PLANE_LOADED, reinterpret_cast<void *>(static_cast<intptr_t>(inIndex)));
  });
}

void XPLMDisableAIForPlane(int inPlaneIndex) {
  auto &h = cur();
  if (inPlaneIndex < 0 || inPlaneIndex >= 20) {
    ++h.aiIgnored;
    return;
  }
  if (!h.holdsPlanes("XPLMDisableAIForPlane")) return;
  h.aiDisabled.push_back(inPlaneIndex);
}

XPLMPluginID XPLMGetMyID(void) {
  return cur().caller();
}

void XPLMGetPluginInfo(XPLMPluginID inPlugin, char *outName, char *outFilePath, char *outSignature,
                       char *outDescription) {
  auto &h = cur();
  std::string name, file, signature, description;
  if (const skyhost::PluginRec *p = h.plugin(inPlugin)) {
    name = p->name;
    file = p->path;
    signature = p->signature;
    description = p->description;
  } else if (inPlugin == skyhost::kOtherPluginID) {
    name = h.options.otherPluginName;
    signature = "skyhost.other.traffic";
  }
  skyhost::copyName(outName, name);
  skyhost::copyName(outFilePath, file);
  skyhost::copyName(outSignature, signature);
  skyhost::copyName(outDescription, description);
}

void XPLMSendMessageToPlugin(XPLMPluginID inPlugin, int inMessage, void *inParam) {
  auto &h = cur();
  const XPLMPluginID from = h.caller();
  if (inPlugin == skyhost::kOtherPluginID) {
    // The traffic plugin outside this host: a yielding one lets the planes go at the next frame.
    ++h.otherAsked;
    if (inMessage == XPLM_MSG_RELEASE_PLANES && h.otherYields && h.options.planesHeldElsewhere)
      h.deferred.push_back([&h] {
        if (!h.options.planesHeldElsewhere) return;
        h.options.planesHeldElsewhere = false;
        h.planesReleased();
      });
    return;
  }
  std::vector<XPLMPluginID> to;
  for (const auto &p : h.plugins)
    if (inPlugin == XPLM_NO_PLUGIN_ID || p->id == inPlugin) to.push_back(p->id);
  for (XPLMPluginID id : to) {
    skyhost::PluginRec *p = h.plugin(id);
    if (!p || !p->enabled || !p->xReceive) continue;
    skyhost::PluginCall call(h, id);
    p->xReceive(from, inMessage, inParam);
  }
}

namespace {
constexpr char kNativePaths[] = "XPLM_USE_NATIVE_PATHS";
constexpr char kNativeWidgetWindows[] = "XPLM_USE_NATIVE_WIDGET_WINDOWS";
}  // namespace

namespace {
// Each plugin's switch for a feature the host has, null for any other name.
bool *featureFlag(skyhost::PluginRec *p, const char *feature) {
  if (!p || !feature) return nullptr;
  if (std::strcmp(feature, kNativePaths) == 0) return &p->nativePaths;
  if (std::strcmp(feature, kNativeWidgetWindows) == 0) return &p->nativeWidgets;
  return nullptr;
}
}  // namespace

int XPLMHasFeature(const char *inFeature) {
  return inFeature != nullptr &&
                 (std::strcmp(inFeature, kNativePaths) == 0 || std::strcmp(inFeature, kNativeWidgetWindows) == 0)
             ? 1
             : 0;
}

int XPLMIsFeatureEnabled(const char *inFeature) {
  auto &h = cur();
  const bool *flag = featureFlag(h.plugin(h.caller()), inFeature);
  return flag && *flag ? 1 : 0;
}

void XPLMEnableFeature(const char *inFeature, int inEnable) {
  auto &h = cur();
  if (bool *flag = featureFlag(h.plugin(h.caller()), inFeature)) *flag = inEnable != 0;
}

void XPLMGetSystemPath(char *outSystemPath) {
  auto &h = cur();
  skyhost::copyName(outSystemPath, h.pathForCaller(h.root + h.options.directorySeparator));
}

void XPLMGetPrefsPath(char *outPrefsPath) {
  auto &h = cur();
  const std::string &sep = h.options.directorySeparator;
  skyhost::copyName(outPrefsPath,
                    h.pathForCaller(h.root + sep + "Output" + sep + "preferences" + sep + "Host.prf"));
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
