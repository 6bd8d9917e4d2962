// Labels: the callsign (and, if the pilot wants it, the distance) of each shown aircraft, drawn
// over it in the 2-D window phase from the host's camera matrices. Host main thread only.
#include <cmath>
#include <string>

#include "XPLMDataAccess.h"
#include "XPLMDisplay.h"
#include "XPLMGraphics.h"
#include "aircraft/Traffic.h"
#include "plugin/SkytetherSE.h"
#include "support/strings.h"
#include "ui/ui.h"

namespace {

// Full brightness this near, fading to kFarBrightness at the edge of the range, nothing beyond.
// XPLMDrawString takes no alpha: the label fades by its brightness.
constexpr double kFullLabelMetres = 5000;
constexpr double kLabelRangeMetres = 30000;
constexpr float kFarBrightness = 0.35f;
// The label's baseline this far above the point where the aircraft is.
constexpr int kLabelRise = 10;
constexpr double kMetresPerNauticalMile = 1852;

XPLMDataRef gWorldMatrix = nullptr, gProjectionMatrix = nullptr, gViewport = nullptr, gWindowWidth = nullptr;

// Where a point of the local frame lands on the screen, in the boxels 2-D drawing uses; false
// behind the camera or beyond its near and far planes.
bool Project(const float world[16], const float proj[16], const int viewport[4], double boxelsPerPixel,
             double x, double y, double z, double *sx, double *sy) {
  const double p[4] = {x, y, z, 1};
  double eye[4], clip[4];
  for (int r = 0; r < 4; ++r) eye[r] = world[r] * p[0] + world[4 + r] * p[1] + world[8 + r] * p[2] + world[12 + r];
  for (int r = 0; r < 4; ++r)
    clip[r] = proj[r] * eye[0] + proj[4 + r] * eye[1] + proj[8 + r] * eye[2] + proj[12 + r] * eye[3];
  if (!(clip[3] > 0) || !(std::fabs(clip[2]) <= clip[3])) return false;
  // The viewport is left, bottom, right, top in pixels.
  const double px = viewport[0] + (clip[0] / clip[3] + 1) / 2 * (viewport[2] - viewport[0]);
  const double py = viewport[1] + (clip[1] / clip[3] + 1) / 2 * (viewport[3] - viewport[1]);
  *sx = px * boxelsPerPixel;
  *sy = py * boxelsPerPixel;
  return std::isfinite(*sx) && std::isfinite(*sy);
}

// "12.3 nm", whatever decimal point the host process's locale uses.
std::string NauticalMiles(double metres) {
  const long tenths = std::lround(metres / kMetresPerNauticalMile * 10);
  std::string text;
  AddIntToString(text, "", static_cast<int>(tenths / 10));
  AddIntToString(text, ".", static_cast<int>(tenths % 10));
  return text + " nm";
}

}  // namespace

void FindLabelDataRefs() {
  gWorldMatrix = XPLMFindDataRef("sim/graphics/view/world_matrix");
  gProjectionMatrix = XPLMFindDataRef("sim/graphics/view/projection_matrix_3d");
  gViewport = XPLMFindDataRef("sim/graphics/view/viewport");
  gWindowWidth = XPLMFindDataRef("sim/graphics/view/window_width");
}

void ToggleLabels() {
  showLabels = showLabels != 0 ? 0 : 1;
  LabelSettingsChanged();
}

int SkytetherDrawLabels(XPLMDrawingPhase, int, void *) {
  // The headset shows none of the 2-D phases: in VR the plane list says who is who.
  if (showLabels == 0 || tcpconnected == 0 || VREnabled()) return 1;
  float world[16], proj[16];
  int viewport[4];
  if (XPLMGetDatavf(gWorldMatrix, world, 0, 16) != 16 || XPLMGetDatavf(gProjectionMatrix, proj, 0, 16) != 16 ||
      XPLMGetDatavi(gViewport, viewport, 0, 4) != 4)
    return 1;
  // 2-D drawing is in boxels, the viewport in the window's pixels.
  int left = 0, top = 0, right = 0, bottom = 0;
  XPLMGetScreenBoundsGlobal(&left, &top, &right, &bottom);
  const int pixels = XPLMGetDatai(gWindowWidth);
  const double boxelsPerPixel = pixels > 0 && right > left ? static_cast<double>(right - left) / pixels : 1.0;

  const double ux = XPLMGetDatad(gPlaneX), uy = XPLMGetDatad(gPlaneY), uz = XPLMGetDatad(gPlaneZ);
  const int canShow = SlotsThatCanShow();
  for (int n = 1; n <= canShow; ++n) {
    if (!SlotShown(n) || Callsigns[n].empty()) continue;
    const Aircraft &a = AircraftList[n];
    const double x = XPLMGetDatad(a.refX), y = XPLMGetDatad(a.refY), z = XPLMGetDatad(a.refZ);
    const double distance = std::sqrt((x - ux) * (x - ux) + (y - uy) * (y - uy) + (z - uz) * (z - uz));
    if (!(distance <= kLabelRangeMetres)) continue;
    double sx, sy;
    if (!Project(world, proj, viewport, boxelsPerPixel, x, y, z, &sx, &sy)) continue;

    std::string text = Callsigns[n];
    if (labelDistance != 0) text += " " + NauticalMiles(distance);
    const double fade = distance <= kFullLabelMetres ? 1.0
                                                     : 1.0 - (distance - kFullLabelMetres) /
                                                                 (kLabelRangeMetres - kFullLabelMetres);
    const float bright = kFarBrightness + (1.0f - kFarBrightness) * static_cast<float>(fade);
    float colour[3] = {bright, bright, bright};
    const float width = XPLMMeasureString(xplmFont_Basic, text.c_str(), static_cast<int>(text.size()));
    XPLMDrawString(colour, static_cast<int>(std::lround(sx - width / 2)), static_cast<int>(std::lround(sy)) + kLabelRise,
                   &text[0], nullptr, xplmFont_Basic);
  }
  return 1;
}
