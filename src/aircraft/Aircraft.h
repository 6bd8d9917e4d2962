#pragma once
// One aircraft slot: 25 host datarefs and the last state received for it.
// Slot 0 is the user's own aircraft, slots 1..19 the host's multiplayer aircraft.

#include "XPLMDataAccess.h"

// The host's own name of the user's throttles, float[16]; the older name is looked up first.
extern const char kHostThrottleName[];

// Looks name up, and where the host does not publish it, hostName: the host's name for the same
// value. Either may be null in the end; the host ignores a null handle.
XPLMDataRef FindDataRefOr(const char *name, const char *hostName);

// What a slot's float value means, for the range it must keep.
enum class SlotValue { Position, Angle, Ratio };
// The one way a value reaches a slot's dataref, whatever a report or the motion between reports
// made of it: a value that is not finite, or a position farther than any place on the Earth, is
// not written (the dataref keeps its last value), nor is an angle of more than a hundred turns;
// a ratio is brought within what a control surface, gear or throttle takes.
void SetSlotFloat(XPLMDataRef ref, float value, SlotValue kind);
// The same for an array of ratios: one value that cannot be written keeps the whole array.
void SetSlotRatios(XPLMDataRef ref, const float *values, int count);
// Whether a position can be written: all three coordinates, or none.
bool PositionFits(float x, float y, float z);

class Aircraft {
 public:
  explicit Aircraft(int planeNumber);

  // Looks up the slot's 25 datarefs; from XPluginStart on, as the host answers lookups only then.
  void BindDataRefs();
  // Pushes the whole state into the host: 15 floats (latitude, longitude and elevation are the
  // host's to derive from x, y, z), 9 gear values, 8 throttles, 5 lights.
  void SetAircraftData();
  // Writes the local position alone.
  void SetPosition();
  // Everything SetAircraftData writes but the position and the three angles.
  void SetStateData();

  int planeNumber;

  XPLMDataRef refX, refY, refZ;
  XPLMDataRef refLat, refLon, refEl;
  XPLMDataRef refTheta, refPhi, refPsi;
  XPLMDataRef refFlap, refFlap2, refSpoiler, refSpeedbrake, refSlat, refWingSweep;
  XPLMDataRef refYokePitch, refYokeRoll, refYokeYaw;
  XPLMDataRef refGear, refThrottle;
  XPLMDataRef refBeacon, refLanding, refNav, refStrobe, refTaxi;

  // State values. The slots are zero-initialised globals; the constructor touches only the handles.
  float x, y, z;
  float lat, lon, el;
  float theta, phi, psi;
  float flap, flap2, spoiler, speedbrake, slat, wingSweep;
  float yokePitch, yokeRoll, yokeYaw;
  float gear[10];
  float throttle[8];
  int beacon, landing, strobe, nav, taxi;
};
