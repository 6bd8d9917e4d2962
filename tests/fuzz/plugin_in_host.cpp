#include "plugin_in_host.h"

#include <cstring>
#include <memory>

#include "XPLMDefs.h"
#include "plugin/SkytetherSE.h"
#include "plugin_host.h"

PLUGIN_API int XPluginStart(char *outName, char *outSig, char *outDesc);
PLUGIN_API int XPluginEnable(void);

namespace fuzz {

skyhost::Host &PluginHost() {
  // The harness's rig without a plugin file: the code linked in starts in place, once.
  static harness::PluginHost *rig = [] {
    auto *r = new harness::PluginHost("skytether-fuzz-");
    r->MakeHost();
    char name[256], sig[256], desc[256];
    XPluginStart(name, sig, desc);
    XPluginEnable();
    return r;
  }();
  return rig->host();
}

void ResetReceivedState() {
  for (int n = 0; n < kSlotCount; ++n) {
    Aircraft &a = AircraftList[n];
    // Everything after the handles is state.
    std::memset(&a.x, 0, sizeof(Aircraft) - offsetof(Aircraft, x));
    Callsigns[n].clear();
    Planes[n] = "Plane " + std::to_string(n);
  }
  for (auto &line : imRead) line.clear();
  newTextRcvd = 0;
  tcpBuffer.clear();
  tcpSearched = 0;
}

void SetOwnPosition(double lat, double lon) {
  PluginHost().setd("sim/flightmodel/position/latitude", lat);
  PluginHost().setd("sim/flightmodel/position/longitude", lon);
}

}  // namespace fuzz
