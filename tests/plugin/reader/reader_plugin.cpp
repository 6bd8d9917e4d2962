// A second plugin for the plugin tests: each frame it reads Skytether's datarefs the way a moving
// map or a panel would, from its own context, and keeps what it read for the test.

#include <cstdio>
#include <cstring>
#include <string>

#include "XPLMDataAccess.h"
#include "XPLMPlugin.h"
#include "XPLMProcessing.h"

#define READER_API PLUGIN_API

namespace {

std::string gSnapshot;

// Looked up again until found: the reader may start before the plugin that publishes them.
XPLMDataRef Find(XPLMDataRef &ref, const std::string &name) {
  if (!ref) ref = XPLMFindDataRef(name.c_str());
  return ref;
}

std::string Bytes(XPLMDataRef ref) {
  char buf[64] = {0};
  const int n = XPLMGetDatab(ref, buf, 0, sizeof buf - 1);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

XPLMDataRef gInts[3], gTexts[2], gPlanes[20];
const char *const kInts[] = {"connected", "view_only", "planes_in_use"};
const char *const kTexts[] = {"callsign", "server_address"};

float Read(float, float, int, void *) {
  std::string s = "me=" + std::to_string(XPLMGetMyID()) + "\n";
  for (int i = 0; i < 3; ++i) {
    XPLMDataRef r = Find(gInts[i], std::string("skytether/") + kInts[i]);
    s += std::string(kInts[i]) + "=" + (r ? std::to_string(XPLMGetDatai(r)) : "missing") + "\n";
  }
  for (int i = 0; i < 2; ++i) {
    XPLMDataRef r = Find(gTexts[i], std::string("skytether/") + kTexts[i]);
    s += std::string(kTexts[i]) + "=" + (r ? Bytes(r) : "missing") + "\n";
  }
  for (int n = 1; n <= 19; ++n) {
    XPLMDataRef r = Find(gPlanes[n], "skytether/plane" + std::to_string(n) + "_callsign");
    s += "plane" + std::to_string(n) + "=" + (r ? Bytes(r) : "missing") + "\n";
  }
  s += std::string("good=") + (gInts[0] ? std::to_string(XPLMIsDataRefGood(gInts[0])) : "missing") + "\n";
  gSnapshot = s;
  return -1.0f;
}

}  // namespace

// What the last frame read, one "key=value" line each.
READER_API const char *reader_snapshot() {
  return gSnapshot.c_str();
}

PLUGIN_API int XPluginStart(char *outName, char *outSig, char *outDesc) {
  std::strcpy(outName, "Reader");
  std::strcpy(outSig, "skytether.tests.reader");
  std::strcpy(outDesc, "Reads another plugin's datarefs.");
  XPLMRegisterFlightLoopCallback(Read, -1.0f, nullptr);
  return 1;
}
PLUGIN_API int XPluginEnable() {
  return 1;
}
PLUGIN_API void XPluginDisable() {}
PLUGIN_API void XPluginStop() {
  XPLMUnregisterFlightLoopCallback(Read, nullptr);
}
PLUGIN_API void XPluginReceiveMessage(XPLMPluginID, int, void *) {}
