#pragma once
// The host's multiplayer planes during a session: taken from the host while connected and given
// back after, each slot shown only while its pilot is there, placed in this host's frame (every
// frame, moving smoothly between reports, unless smoothing is off: then every receive run, as
// each report came), and given its model at most one load per frame. Host main thread only.
#include <string>

// Whether this plugin holds the host's multiplayer planes now.
bool PlanesHeld();
// A session opened: takes the planes, or asks for them and takes them once the holder lets go.
void AcquirePlanes();
// A session closed: every slot hidden, the planes given back.
void ReleasePlanes();
// While a session waits for the planes another plugin holds: what the plane list says of it.
std::string PlanesWait();
// XPluginReceiveMessage: another plugin asks for the planes, the user changed the plane count,
// the host loaded a plane.
void HandleHostMessage(int message, void *param);

// Slot n (1..19) got a report, its local position already converted: it shows from the next
// placement on.
void NoteReport(int n);

// The clock smoothing runs on: seconds, steady, finer than the host's float elapsed time.
double TrafficClock();
// With smoothing on: whether a report for slot n sent at the sender's microseconds `micros` and
// read at `arrival` is newer than the newest slot n took (a slot that took none, or took one
// without a time, takes any).
bool ReportIsNewer(int n, double arrival, long micros);
// With smoothing on: slot n took the report now in AircraftList[n] (timed: it carried the
// sender's microseconds), read at arrival.
void TakeReport(int n, double arrival, bool timed, long micros);
// Slot n starts a new track: its next report is taken whatever its time, and shown as it comes.
void ResetTrack(int n);
// Whether the host moved its local origin since the last call: if so, every track is carried
// over into the new frame. Called before anything of a frame is converted into local coordinates.
void FollowOrigin();
// Flight loop, every frame: with smoothing on, each shown slot placed where its track puts it now.
float SkytetherPlaceTraffic(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                            int inCounter, void *inRefcon);
// The server freed slot n: hidden until its next report, and a model waiting for it loads nothing.
void FreeSlot(int n);
// Whether slot n shows: the session is open and the slot had a report in the last 10 s, since it
// was last freed.
bool SlotShown(int n);
// End of every receive run: each hidden slot parked out of sight; each shown one given its
// report's values (with smoothing off, placed from its latitude, longitude and elevation in this
// host's frame as it is now; with smoothing on its position and angles are the frame's to write).
void STPlaceSlots();

// A model notice for slot n, with the path the server sent (relative to the host's folder).
void QueueModel(int n, const std::string &serverPath);
// Start of a receive run: the notices the last run had no file check left for are looked at.
void CheckWaitingModels();
// Flight loop, every frame: loads at most one waiting model.
float SkytetherLoadModels(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop, int inCounter,
                          void *inRefcon);
// The full path of a model the server names; false for a path that leaves the host's folder. A
// full path of the sender's machine is taken from its last "Aircraft" folder on; one without such
// a folder is refused.
bool ModelFilePath(const std::string &serverPath, std::string &fullPath);
// How many of the slots 1..19 the host can show with the plane count the user set.
int SlotsThatCanShow();
// Model paths refused as leaving the host's folder.
extern int refusedModelPaths;
