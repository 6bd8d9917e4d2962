#include "aircraft/Aircraft.h"

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
  XPLMSetDataf(refX, x);
  XPLMSetDataf(refY, y);
  XPLMSetDataf(refZ, z);
}

void Aircraft::SetAircraftData() {
  SetPosition();
  XPLMSetDataf(refTheta, theta);
  XPLMSetDataf(refPhi, phi);
  XPLMSetDataf(refPsi, psi);
  SetStateData();
}

void Aircraft::SetStateData() {
  XPLMSetDataf(refFlap, flap);
  XPLMSetDataf(refFlap2, flap2);
  XPLMSetDataf(refSpoiler, spoiler);
  XPLMSetDataf(refSpeedbrake, speedbrake);
  XPLMSetDataf(refSlat, slat);
  XPLMSetDataf(refWingSweep, wingSweep);
  XPLMSetDataf(refYokePitch, yokePitch);
  XPLMSetDataf(refYokeRoll, yokeRoll);
  XPLMSetDataf(refYokeYaw, yokeYaw);
  // Nine of the ten gear values reach the host; the tenth stays in the slot.
  XPLMSetDatavf(refGear, gear, 0, 9);
  XPLMSetDatavf(refThrottle, throttle, 0, 8);
  XPLMSetDatai(refBeacon, beacon);
  XPLMSetDatai(refLanding, landing);
  XPLMSetDatai(refNav, nav);
  XPLMSetDatai(refStrobe, strobe);
  XPLMSetDatai(refTaxi, taxi);
}
