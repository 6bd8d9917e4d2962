// Skytether: the plugin's entry points and all of its state.
// Everything runs on the host's main thread, inside host callbacks; there are no threads or locks.

#include "plugin/SkytetherSE.h"

#include <climits>
#include <cstring>

#include "XPLMDataAccess.h"
#include "XPLMDisplay.h"
#include "XPLMMenus.h"
#include "XPLMPlanes.h"
#include "XPLMPlugin.h"
#include "XPLMProcessing.h"
#include "XPWidgets.h"
#include "XPLMUtilities.h"
#include "aircraft/Cockpit.h"
#include "aircraft/Traffic.h"
#include "net/net.h"
#include "plugin/Published.h"
#include "prefs/Preferences.h"
#include "ui/ui.h"

// ---- Globals, in the order they are built when the library loads ----

// Chat: the history (index 0 the oldest line) and the line being typed.
std::string imRead[kChatLines];
std::string imWrite;

// Preferences, read from and written to Resources/plugins/stprefs.txt.
std::string userID;        // user ID for the login
std::string password;      // password for the login token
std::string crewID;        // crew ID (settings pane only)
std::string myCallsign;    // callsign announced to the server
int flightMode = 0;        // 0 Solo, 1 Crewed
int cockpitPosition = 0;   // 0 Pilot, 1 Co-Pilot, 2 Navigator, 3 Flight Engineer
int connectAtStartup = 0;  // non-zero: connect when the plugin is enabled
std::string server;        // the server chosen: HOST, HOST:PORT or [IPv6]:PORT; empty: the built-in one
int smoothTraffic = 1;     // non-zero: remote aircraft move every frame between their reports
int showLabels = 1;        // non-zero: each shown aircraft's callsign over it (pane, command)
int labelDistance = 0;     // non-zero: and its distance in the label

// Remote aircraft: the displayed model name and the callsign of each slot, from the server.
std::string Planes[kSlotCount] = {"Plane 0",  "Plane 1",  "Plane 2",  "Plane 3",  "Plane 4",
                                  "Plane 5",  "Plane 6",  "Plane 7",  "Plane 8",  "Plane 9",
                                  "Plane 10", "Plane 11", "Plane 12", "Plane 13", "Plane 14",
                                  "Plane 15", "Plane 16", "Plane 17", "Plane 18", "Plane 19"};
std::string Callsigns[kSlotCount];

// The 20 aircraft slots; XPluginStart looks up their datarefs.
Aircraft AircraftList[kSlotCount] = {Aircraft(0),  Aircraft(1),  Aircraft(2),  Aircraft(3),  Aircraft(4),
                                     Aircraft(5),  Aircraft(6),  Aircraft(7),  Aircraft(8),  Aircraft(9),
                                     Aircraft(10), Aircraft(11), Aircraft(12), Aircraft(13), Aircraft(14),
                                     Aircraft(15), Aircraft(16), Aircraft(17), Aircraft(18), Aircraft(19)};

// Traffic indicators shown in the plane list ("  " or "Tx", "Tr", "Ux", "Ur"), and stream text
// received but not yet dispatched.
std::string recvstring;
std::string tcptx, tcprx, udptx, udprx;
std::string tcpBuffer;
size_t tcpSearched = 0;  // no line marker begins before this offset of tcpBuffer

// Identity and mode.
int uniqueID = 0;  // chosen at start; leads every message and enters the login token
int viewOnly = 0;  // observer mode, switched on at enable by the marker file

// The host's folder, ending in its separator; files are found under it, whatever the working
// directory. Set in XPluginStart.
std::string systemPath;

// Server session: written by ConnectToServer / DisconnectFromServer.
int tcpconnected = 0;               // 1 from a successful login send until disconnect
int tcpconnecting = 0;              // 1 while the server's name is looked up or the stream connects
int tsockfd = 0;                    // stream socket, 0 when closed
int sockfd = 0;                     // datagram socket, 0 when closed
sockaddr_storage serverAddress;     // the server's address and port; all zero when closed
socklen_t serverAddressLength = 0;  // its length for its family; 0 when closed
std::string serverName;             // the server's name being used; empty when it was given as an address
std::string serverStatus = "Not connected";  // the session's state as the plane list shows it
int status = 0;                              // result of the last bind, connect or send
int size = 0;                                // result of the last receive
int serverLength = 0;                        // address length of the last receive
std::string tcpSendRest;  // unsent end of a line a full stream took part of, and the lines behind it

// Own-aircraft datarefs, looked up in XPluginStart and read by the position broadcast.
XPLMDataRef gPlaneX, gPlaneY, gPlaneZ;
XPLMDataRef gPlaneLat, gPlaneLon, gPlaneEl;
XPLMDataRef gPlaneTheta, gPlanePhi, gPlanePsi;
XPLMDataRef gPlaneFlap, gPlaneFlap2;
XPLMDataRef gPlaneSpeedbrake, gPlaneSlat, gPlaneWingsweep;
XPLMDataRef gPlanePitch, gPlaneRoll, gPlaneYaw;
XPLMDataRef gPlaneGear, gPlaneThrottle;
XPLMDataRef gPlaneBeacon, gPlaneLanding, gPlaneStrobe, gPlaneNav, gPlaneTaxi;
XPLMDataRef gIsInReplay;  // the host replays a flight: its position datarefs show the past
int inReplay = 0;         // set by the broadcast each frame while connected; nothing is sent then

// Chat window state.
int imWriteFocus = 0;             // the typing line has the keyboard focus
int flashCursor = 0;              // cursor phase: 1 draws "|", 0 draws " "
int newTextRcvd = 0;              // seconds chat traffic still holds the chat window open
int networkShowChatOverride = 0;  // the chat window is held open by recent traffic
float chatOpacity = 0.0f;         // current opacity of the chat window
char gChar = 0;                   // last keystroke the sniffer saw: character,
int gFlags = 0;                   // key flags,
char gVirtualKey = 0;             // and virtual key

// Windows and menu.
XPLMWindowID gWindow = nullptr;    // plane list window
XPLMWindowID imReadWin = nullptr;  // chat window
XPLMMenuID PlaneMenu = nullptr;    // the "Plane Window" submenu
int showPlaneWindow = 0;           // the user wants the plane list (menu toggle)
int showChatWindow = 0;            // the user wants the chat window (Tab)
int pwinh = 320, pwinw = 270;      // plane list window height and width
int twinh = 320, twinw = 500;      // chat window height and width
int winbuff = 20;                  // gap to the screen edges and between the windows

// Settings pane: built on first use, hidden rather than destroyed.
int PrefPane = 0;  // 1 once the pane has been built
XPWidgetID PrefPaneWidget = nullptr, PrefPaneWindow = nullptr;
XPWidgetID UserIDT = nullptr, UserIDF = nullptr, PasswordT = nullptr, PasswordF = nullptr;
XPWidgetID CallsignT = nullptr, CallsignF = nullptr;
XPWidgetID FlightModeT = nullptr, FlightModeB1 = nullptr, FlightModeB2 = nullptr;
XPWidgetID CrewIDT = nullptr, CrewIDF = nullptr, PositionT = nullptr;
XPWidgetID PositionB1 = nullptr, PositionB2 = nullptr, PositionB3 = nullptr, PositionB4 = nullptr;
XPWidgetID ConnectB = nullptr, DisconnectB = nullptr, ConnectStartB = nullptr;
XPWidgetID CancelB = nullptr, ApplyB = nullptr, SaveB = nullptr;
XPWidgetID PrefErrorT = nullptr;                  // says why an apply was refused; hidden otherwise
XPWidgetID ServerT = nullptr, ServerF = nullptr;  // the server chosen, under the other settings
XPWidgetID SmoothTrafficB = nullptr;              // "Smooth traffic" check box, under the server
XPWidgetID LabelsB = nullptr;                     // "Labels" check box, on the row under smoothing
XPWidgetID LabelDistanceB = nullptr;              // "Distance" check box beside it

// Cockpit view hook: the view type seen on the previous frame.
int lastview = 0;

// The own-position broadcast's flight loop, after the flight model; made in XPluginStart.
XPLMFlightLoopID broadcastLoop = nullptr;

// The C++ runtime linked into this file keeps an emergency pool for exceptions that it never
// frees: handed back when the host unloads the file, or every reload would lose it.
namespace __gnu_cxx {
void __freeres();
}  // namespace __gnu_cxx
namespace {
struct RuntimePoolRelease {
  ~RuntimePoolRelease() { __gnu_cxx::__freeres(); }
} runtimePoolRelease;
}  // namespace

// ---- Entry points ----

namespace {

const char kSettingsItem[] = "1";
const char kTogglePlaneListItem[] = "2";
const char kPopOutChatItem[] = "3";
const char kPopOutPlaneListItem[] = "4";
const char kPopOutSettingsItem[] = "5";

void CopyOut(char *dest, const char *text) {
  std::memcpy(dest, text, std::strlen(text) + 1);
}

// A random non-negative id from the system's entropy source; the shared C generator is left alone.
// (The C++ runtime's random_device would tie the plugin file to a C library of 2022 or later.)
int ChooseUniqueID() {
  unsigned int bits = 0;
  if (!platform::RandomBits(&bits, sizeof bits)) {
    long seconds, micros;
    platform::WallClock(seconds, micros);
    bits = static_cast<unsigned int>(micros) ^ static_cast<unsigned int>(seconds) * 2654435761u ^
           platform::ProcessId() << 16;
  }
  return static_cast<int>(bits & INT_MAX);
}

void FindSystemPath() {
  char path[1024] = {0};  // the SDK asks for 512 bytes at least
  XPLMGetSystemPath(path);
  path[sizeof path - 1] = '\0';
  systemPath = path;
  const char *separator = XPLMGetDirectorySeparator();
  if (!systemPath.empty() &&
      systemPath.compare(systemPath.size() - std::strlen(separator), std::string::npos, separator) != 0)
    systemPath += separator;
}

void FindOwnAircraftDataRefs() {
  gPlaneX = XPLMFindDataRef("sim/flightmodel/position/local_x");
  gPlaneY = XPLMFindDataRef("sim/flightmodel/position/local_y");
  gPlaneZ = XPLMFindDataRef("sim/flightmodel/position/local_z");
  gPlaneLat = XPLMFindDataRef("sim/flightmodel/position/latitude");
  gPlaneLon = XPLMFindDataRef("sim/flightmodel/position/longitude");
  gPlaneEl = XPLMFindDataRef("sim/flightmodel/position/elevation");
  gPlaneTheta = XPLMFindDataRef("sim/flightmodel/position/theta");
  gPlanePhi = XPLMFindDataRef("sim/flightmodel/position/phi");
  gPlanePsi = XPLMFindDataRef("sim/flightmodel/position/psi");
  gPlaneFlap = XPLMFindDataRef("sim/flightmodel/controls/flaprat");
  gPlaneFlap2 = XPLMFindDataRef("sim/flightmodel/controls/flap2rat");
  gPlaneSpeedbrake = XPLMFindDataRef("sim/flightmodel/controls/sbrkrat");
  gPlaneSlat = XPLMFindDataRef("sim/flightmodel/controls/slatrat");
  gPlaneWingsweep = XPLMFindDataRef("sim/flightmodel/controls/swdi");
  gPlanePitch = XPLMFindDataRef("sim/joystick/FC_ptch");
  gPlaneRoll = XPLMFindDataRef("sim/joystick/FC_roll");
  gPlaneYaw = XPLMFindDataRef("sim/joystick/FC_hdng");
  gPlaneGear = XPLMFindDataRef("sim/aircraft/parts/acf_gear_deploy");
  gPlaneThrottle = FindDataRefOr("sim/flightmodel/ENGN_thro", kHostThrottleName);
  gPlaneBeacon = XPLMFindDataRef("sim/cockpit/electrical/beacon_lights_on");
  gPlaneLanding = XPLMFindDataRef("sim/cockpit/electrical/landing_lights_on");
  gPlaneStrobe = XPLMFindDataRef("sim/cockpit/electrical/strobe_lights_on");
  gPlaneNav = XPLMFindDataRef("sim/cockpit/electrical/nav_lights_on");
  gPlaneTaxi = XPLMFindDataRef("sim/cockpit/electrical/taxi_light_on");
  gIsInReplay = XPLMFindDataRef("sim/time/is_in_replay");
}

}  // namespace

PLUGIN_API int XPluginStart(char *outName, char *outSig, char *outDesc) {
  CopyOut(outName, "Skytether");
  CopyOut(outSig, "net.skytether.multiplayer");
  CopyOut(outDesc, "A plugin that provides for high-res network play. (Alpha releases)");

  XPLMMenuID plugins = XPLMFindPluginsMenu();
  int item = XPLMAppendMenuItem(plugins, "Skytether", nullptr, 1);
  PlaneMenu = XPLMCreateMenu("Plane Window", plugins, item, SkytetherMenuCallback, nullptr);
  XPLMAppendMenuItem(PlaneMenu, "Control & Settings", const_cast<char *>(kSettingsItem), 1);
  XPLMAppendMenuItem(PlaneMenu, "Toggle Plane List", const_cast<char *>(kTogglePlaneListItem), 1);
  // Each window in a window of its own (a second monitor), checked while it is; again to bring it back.
  XPLMAppendMenuItem(PlaneMenu, "Pop Out Chat", const_cast<char *>(kPopOutChatItem), 1);
  XPLMAppendMenuItem(PlaneMenu, "Pop Out Plane List", const_cast<char *>(kPopOutPlaneListItem), 1);
  XPLMAppendMenuItem(PlaneMenu, "Pop Out Control & Settings", const_cast<char *>(kPopOutSettingsItem), 1);
  for (int item = 2; item <= 4; ++item) XPLMCheckMenuItem(PlaneMenu, item, xplm_Menu_Unchecked);

  // Every path the host gives and takes in UTF-8, the system's own form: on Windows the legacy
  // form is the ANSI code page, which cannot spell every pilot's folder.
  XPLMEnableFeature("XPLM_USE_NATIVE_PATHS", 1);
  // The settings pane in a window of the host's new kind: scaled with the interface, able to pop
  // out and to go into VR like the chat and plane list windows.
  XPLMEnableFeature("XPLM_USE_NATIVE_WIDGET_WINDOWS", 1);
  platform::Error networkError;
  platform::NetworkStart(networkError);  // without sockets, each connect says why
  FindSystemPath();
  FindOwnAircraftDataRefs();
  for (Aircraft &a : AircraftList) a.BindDataRefs();
  uniqueID = ChooseUniqueID();
  LoadPreferences();
  CreateWindows();
  FindLabelDataRefs();

  XPLMRegisterKeySniffer(MyKeySniffer, 0, nullptr);
  XPLMRegisterFlightLoopCallback(SkytetherPacketProcess, 0.03f, nullptr);
  XPLMRegisterFlightLoopCallback(SkytetherProcessAirplaneCallback, 10.0f, nullptr);
  XPLMRegisterFlightLoopCallback(SkytetherProcessCursorCallback, 1.0f, nullptr);
  XPLMRegisterFlightLoopCallback(SkytetherProcessChatWinCallback, 1.0f, nullptr);
  XPLMRegisterFlightLoopCallback(SkytetherChatWinOpacityCallback, 0.1f, nullptr);
  // Once per frame on every graphics backend: flight loops, not draw callbacks of 3-D phases. The
  // broadcast runs after the flight model, so it sends where the user's aircraft is this frame (a
  // loop before it reads the last frame's position), and after the receive cycle, which clears
  // the traffic indicators: the frame's "Ux" is still set when the plane list draws.
  XPLMCreateFlightLoop_t broadcast = {sizeof(XPLMCreateFlightLoop_t), xplm_FlightLoop_Phase_AfterFlightModel,
                                      SkytetherDrawPlanes, nullptr};
  broadcastLoop = XPLMCreateFlightLoop(&broadcast);
  XPLMScheduleFlightLoop(broadcastLoop, kEveryFrame, 1);
  XPLMRegisterFlightLoopCallback(SkytetherDC3DCockpit, kEveryFrame, nullptr);
  XPLMRegisterFlightLoopCallback(SkytetherLoadModels, kEveryFrame, nullptr);
  // After the receive cycle: where the host calls flight loops in registration order, a report
  // read this frame is shown this frame.
  XPLMRegisterFlightLoopCallback(SkytetherPlaceTraffic, kEveryFrame, nullptr);
  XPLMRegisterFlightLoopCallback(SkytetherFollowScreen, kEveryFrame, nullptr);
  // Labels go in the last 2-D phase: over the scene and the panel, under the windows.
  XPLMRegisterDrawCallback(SkytetherDrawLabels, xplm_Phase_Window, 0, nullptr);
  RegisterCommandsAndDataRefs();

  recvstring = "Network Traffic:";
  tcptx = "  ";
  tcprx = "  ";
  udptx = "  ";
  udprx = "  ";
  return 1;
}

// The multiplayer planes are taken when a session opens and given back when it closes.
PLUGIN_API int XPluginEnable(void) {
  DetectViewOnly();
  LoadPreferences();
  if (connectAtStartup != 0) ConnectToServer();
  return 1;
}

PLUGIN_API void XPluginDisable(void) {
  DisconnectFromServer();
}

PLUGIN_API void XPluginStop(void) {
  XPLMDestroyWindow(gWindow);
  XPLMDestroyWindow(imReadWin);
  XPLMDestroyMenu(PlaneMenu);
  gWindow = imReadWin = nullptr;
  PlaneMenu = nullptr;
  if (PrefPane == 1) XPDestroyWidget(PrefPaneWidget, 1);
  if (viewOnly == 1) ReleaseViewOnlyOverrides();

  XPLMUnregisterKeySniffer(MyKeySniffer, 0, nullptr);
  XPLMUnregisterFlightLoopCallback(SkytetherPacketProcess, nullptr);
  XPLMUnregisterFlightLoopCallback(SkytetherProcessAirplaneCallback, nullptr);
  XPLMUnregisterFlightLoopCallback(SkytetherProcessCursorCallback, nullptr);
  XPLMUnregisterFlightLoopCallback(SkytetherProcessChatWinCallback, nullptr);
  XPLMUnregisterFlightLoopCallback(SkytetherChatWinOpacityCallback, nullptr);
  XPLMDestroyFlightLoop(broadcastLoop);
  broadcastLoop = nullptr;
  XPLMUnregisterFlightLoopCallback(SkytetherDC3DCockpit, nullptr);
  XPLMUnregisterFlightLoopCallback(SkytetherLoadModels, nullptr);
  XPLMUnregisterFlightLoopCallback(SkytetherPlaceTraffic, nullptr);
  XPLMUnregisterFlightLoopCallback(SkytetherFollowScreen, nullptr);
  XPLMUnregisterDrawCallback(SkytetherDrawLabels, xplm_Phase_Window, 0, nullptr);
  UnregisterCommandsAndDataRefs();
  ReleasePlanes();
  platform::ReleaseLookups();
  platform::NetworkStop();
}

PLUGIN_API void XPluginReceiveMessage(XPLMPluginID, int inMessage, void *inParam) {
  HandleHostMessage(inMessage, inParam);
  HandleWindowMessage(inMessage);
}

std::string HostPath(const std::string &relative) {
  return systemPath + ReplaceSeparators(relative);
}

void SkytetherMenuCallback(void *, void *inItemRef) {
  const char *item = static_cast<const char *>(inItemRef);
  if (item == nullptr) return;
  if (std::strcmp(item, kSettingsItem) == 0) {
    OpenSettings();
  } else if (std::strcmp(item, kTogglePlaneListItem) == 0) {
    TogglePlaneList();
  } else if (std::strcmp(item, kPopOutChatItem) == 0) {
    TogglePopOut(kChatWindow);
  } else if (std::strcmp(item, kPopOutPlaneListItem) == 0) {
    TogglePopOut(kPlaneListWindow);
  } else if (std::strcmp(item, kPopOutSettingsItem) == 0) {
    TogglePopOut(kSettingsWindow);
  }
}
