#include "aircraft/Cockpit.h"

#include "XPLMDataAccess.h"
#include "platform/platform.h"
#include "plugin/SkytetherSE.h"

namespace {
// Looked up on first use and kept: the host's handles stay valid for the plugin's life.
XPLMDataRef viewTypeRef = nullptr;
XPLMDataRef headXRef = nullptr;
}  // namespace

float SkytetherDC3DCockpit(float, float, int, void *) {
  if (viewTypeRef == nullptr) viewTypeRef = XPLMFindDataRef("sim/graphics/view/view_type");
  if (headXRef == nullptr) headXRef = XPLMFindDataRef("sim/graphics/view/pilots_head_x");
  int view = XPLMGetDatai(viewTypeRef);
  // A co-pilot sits on the right: mirror a left-hand head offset once per change of view.
  if (view != lastview && cockpitPosition == 1 && XPLMGetDataf(headXRef) < 0.0f) {
    XPLMSetDataf(headXRef, -XPLMGetDataf(headXRef));
  }
  lastview = view;
  return kEveryFrame;
}

void DetectViewOnly() {
  // Only its presence counts. A named pipe in its place must not hold the host.
  if (platform::Opens(HostPath("Resources/plugins/viewonly.txt"))) viewOnly = 1;
}

void ReleaseViewOnlyOverrides() {
  XPLMSetDatai(XPLMFindDataRef("sim/operation/override/override_flightcontrol"), 0);
  // Element 0 is the user's own aircraft, the one an observer's reports drive.
  int released = 0;
  XPLMSetDatavi(XPLMFindDataRef("sim/operation/override/override_planepath"), &released, 0, 1);
}
