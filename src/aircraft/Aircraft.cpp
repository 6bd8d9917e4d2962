#include "aircraft/Aircraft.h"

#include <cmath>
#include <cstdio>

namespace {

// Names bound by slot 0, the user's own aircraft, in binding order. Slot 0 has no throttle name of
// its own; it binds the user's engine throttles, which the position broadcast reads too.
const char *const kOwnNames[25] = {"sim/flightmodel/position/local_x",
                                   "sim/flightmodel/position/local_y",
                                   "sim/flightmodel/position/local_z",
                                   "sim/flightmodel/position/latitude",
                                   "sim/flightmodel/position/longitude",
                                   "sim/flightmodel/position/elevation",
                                   "sim/flightmodel/position/theta",
                                   "sim/flightmodel/position/phi",
                                   "sim/flightmodel/position/psi",
                                   "sim/flightmodel/controls/flaprat",
                                   "sim/flightmodel/controls/flap2rat",
                                   "sim/flightmodel/controls/lspdef",
                                   "sim/flightmodel/controls/sbrkrat",
                                   "sim/flightmodel/controls/slatrat",
                                   "sim/flightmodel/controls/swdi",
                                   "sim/flightmodel/controls/elv_trim",
                                   "sim/flightmodel/controls/ail_trim",
                                   "sim/flightmodel/controls/rud_trim",
                                   "sim/aircraft/parts/acf_gear_deploy",
                                   "sim/flightmodel/ENGN_thro",
                                   "sim/cockpit/electrical/beacon_lights_on",
                                   "sim/cockpit/electrical/landing_lights_on",
                                   "sim/cockpit/electrical/nav_lights_on",
                                   "sim/cockpit/electrical/strobe_lights_on",
                                   "sim/cockpit/electrical/taxi_light_on"};

// Names bound by slots 1..19, the host's multiplayer aircraft; %d is the slot index.
const char *const kMultiplayerNames[25] = {"sim/multiplayer/position/plane%d_x",
                                           "sim/multiplayer/position/plane%d_y",
                                           "sim/multiplayer/position/plane%d_z",
                                           "sim/multiplayer/position/plane%d_lat",
                                           "sim/multiplayer/position/plane%d_lon",
                                           "sim/multiplayer/position/plane%d_el",
                                           "sim/multiplayer/position/plane%d_the",
                                           "sim/multiplayer/position/plane%d_phi",
                                           "sim/multiplayer/position/plane%d_psi",
                                           "sim/multiplayer/position/plane%d_flap_ratio",
                                           "sim/multiplayer/position/plane%d_flap_ratio2",
                                           "sim/multiplayer/position/plane%d_spoiler_ratio",
                                           "sim/multiplayer/position/plane%d_speedbrake_ratio",
                                           "sim/multiplayer/position/plane%d_slat_ratio",
                                           "sim/multiplayer/position/plane%d_wing_sweep",
                                           "sim/multiplayer/position/plane%d_yolk_pitch",
                                           "sim/multiplayer/position/plane%d_yolk_roll",
                                           "sim/multiplayer/position/plane%d_yolk_yaw",
                                           "sim/multiplayer/position/plane%d_gear_deploy",
                                           "sim/multiplayer/position/plane%d_throttle",
                                           "sim/multiplayer/position/plane%d_beacon_lights_on",
                                           "sim/multiplayer/position/plane%d_landing_lights_on",
                                           "sim/multiplayer/position/plane%d_nav_lights_on",
                                           "sim/multiplayer/position/plane%d_strobe_lights_on",
                                           "sim/multiplayer/position/plane%d_taxi_light_on"};

// Slots 2..19: the host names their slat ratio "sla1"; only plane 1 has "slat_ratio".
const char kMultiplayerSlatHostName[] = "sim/multiplayer/position/plane%d_sla1_ratio";
constexpr int kSlatSlot = 13;
constexpr int kThrottleSlot = 19;

}  // namespace

const char kHostThrottleName[] = "sim/flightmodel/engine/ENGN_thro";

namespace {

// Metres from the origin of the host's frame beyond which nothing on or above the Earth lies.
constexpr float kFarthestPosition = 2.0e7f;
// Degrees: the host takes an angle in any range (a heading of 365 is one of 5), but a hundred
// turns is no aircraft's attitude.
constexpr float kWidestAngle = 36000.0f;
// Ratios span -0.5 (a speedbrake armed) to 1.5 (one deployed in flight) in the host; -1..1 for yokes.
constexpr float kRatioMin = -1.0f, kRatioMax = 1.5f;

// The value as the host may take it; false when it must not be written at all.
bool Sane(float &value, SlotValue kind) {
  if (!std::isfinite(value)) return false;
  switch (kind) {
    case SlotValue::Position:
      return std::fabs(value) <= kFarthestPosition;
    case SlotValue::Angle:
      return std::fabs(value) <= kWidestAngle;
    case SlotValue::Ratio:
      value = value < kRatioMin ? kRatioMin : value > kRatioMax ? kRatioMax : value;
      return true;
  }
  return false;
}

}  // namespace

bool PositionFits(float x, float y, float z) {
  return Sane(x, SlotValue::Position) && Sane(y, SlotValue::Position) && Sane(z, SlotValue::Position);
}

void SetSlotFloat(XPLMDataRef ref, float value, SlotValue kind) {
  if (Sane(value, kind)) XPLMSetDataf(ref, value);
}

void SetSlotRatios(XPLMDataRef ref, const float *values, int count) {
  float sane[16];
  if (count > 16) count = 16;
  for (int i = 0; i < count; ++i) {
    sane[i] = values[i];
    if (!Sane(sane[i], SlotValue::Ratio)) return;
  }
  XPLMSetDatavf(ref, sane, 0, count);
}

XPLMDataRef FindDataRefOr(const char *name, const char *hostName) {
  XPLMDataRef ref = XPLMFindDataRef(name);
  return ref != nullptr ? ref : XPLMFindDataRef(hostName);
}

Aircraft::Aircraft(int number) : planeNumber(number) {}

void Aircraft::BindDataRefs() {
  XPLMDataRef *const handles[25] = {&refX,         &refY,        &refZ,          &refLat,    &refLon,
                                    &refEl,        &refTheta,    &refPhi,        &refPsi,    &refFlap,
                                    &refFlap2,     &refSpoiler,  &refSpeedbrake, &refSlat,   &refWingSweep,
                                    &refYokePitch, &refYokeRoll, &refYokeYaw,    &refGear,   &refThrottle,
                                    &refBeacon,    &refLanding,  &refNav,        &refStrobe, &refTaxi};
  for (int i = 0; i < 25; ++i) {
    if (planeNumber == 0) {
      *handles[i] =
          i == kThrottleSlot ? FindDataRefOr(kOwnNames[i], kHostThrottleName) : XPLMFindDataRef(kOwnNames[i]);
    } else {
      char name[128], hostName[128];
      std::snprintf(name, sizeof name, kMultiplayerNames[i], planeNumber);
      std::snprintf(hostName, sizeof hostName, kMultiplayerSlatHostName, planeNumber);
      *handles[i] = i == kSlatSlot ? FindDataRefOr(name, hostName) : XPLMFindDataRef(name);
    }
  }
}

void Aircraft::SetPosition() {
  // A position is written whole or not at all.
  if (!PositionFits(x, y, z)) return;
  SetSlotFloat(refX, x, SlotValue::Position);
  SetSlotFloat(refY, y, SlotValue::Position);
  SetSlotFloat(refZ, z, SlotValue::Position);
}

void Aircraft::SetAircraftData() {
  SetPosition();
  SetSlotFloat(refTheta, theta, SlotValue::Angle);
  SetSlotFloat(refPhi, phi, SlotValue::Angle);
  SetSlotFloat(refPsi, psi, SlotValue::Angle);
  SetStateData();
}

void Aircraft::SetStateData() {
  const XPLMDataRef ratioRefs[9] = {refFlap,      refFlap2,     refSpoiler, refSpeedbrake, refSlat,
                                    refWingSweep, refYokePitch, refYokeRoll, refYokeYaw};
  const float ratios[9] = {flap, flap2, spoiler, speedbrake, slat, wingSweep, yokePitch, yokeRoll, yokeYaw};
  for (int i = 0; i < 9; ++i) SetSlotFloat(ratioRefs[i], ratios[i], SlotValue::Ratio);
  // Nine of the ten gear values reach the host; the tenth stays in the slot.
  SetSlotRatios(refGear, gear, 9);
  SetSlotRatios(refThrottle, throttle, 8);
  // The host's lights are switches: on or off.
  XPLMSetDatai(refBeacon, beacon != 0);
  XPLMSetDatai(refLanding, landing != 0);
  XPLMSetDatai(refNav, nav != 0);
  XPLMSetDatai(refStrobe, strobe != 0);
  XPLMSetDatai(refTaxi, taxi != 0);
}
