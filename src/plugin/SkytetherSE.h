#pragma once
// The plugin's whole state. Every global is defined, with its meaning, in SkytetherSE.cpp.
// Everything runs on the host's main thread; nothing here needs a lock.

#include <string>

#include "XPLMDataAccess.h"
#include "XPLMDisplay.h"
#include "XPLMMenus.h"
#include "XPWidgetDefs.h"
#include "aircraft/Aircraft.h"
#include "platform/platform.h"

// Identity and mode
extern int uniqueID;
extern int viewOnly;

// The host's folder, with its separator at the end (from XPluginStart on).
extern std::string systemPath;
// A file under the host's folder: the relative path with "/" turned into the host's separator.
std::string HostPath(const std::string &relative);

// Server session
extern int tcpconnected;
extern int tcpconnecting;
extern int tsockfd;
extern int sockfd;
extern sockaddr_storage serverAddress;
extern socklen_t serverAddressLength;
extern std::string serverName;
extern std::string serverStatus;
extern int status;
extern int size;
extern int serverLength;
extern std::string tcpSendRest;

// Preferences
extern std::string userID;
extern std::string password;
extern std::string crewID;
extern std::string myCallsign;
extern int flightMode;
extern int cockpitPosition;
extern int connectAtStartup;
extern std::string server;
extern int smoothTraffic;
extern int showLabels;
extern int labelDistance;

// Own-aircraft datarefs
extern XPLMDataRef gPlaneX, gPlaneY, gPlaneZ;
extern XPLMDataRef gPlaneLat, gPlaneLon, gPlaneEl;
extern XPLMDataRef gPlaneTheta, gPlanePhi, gPlanePsi;
extern XPLMDataRef gPlaneFlap, gPlaneFlap2;
extern XPLMDataRef gPlaneSpeedbrake, gPlaneSlat, gPlaneWingsweep;
extern XPLMDataRef gPlanePitch, gPlaneRoll, gPlaneYaw;
extern XPLMDataRef gPlaneGear, gPlaneThrottle;
extern XPLMDataRef gPlaneBeacon, gPlaneLanding, gPlaneStrobe, gPlaneNav, gPlaneTaxi;
extern XPLMDataRef gIsInReplay;
extern int inReplay;

// Remote aircraft
constexpr int kSlotCount = 20;
extern Aircraft AircraftList[kSlotCount];
extern std::string Callsigns[kSlotCount];
extern std::string Planes[kSlotCount];

// Chat
constexpr int kChatLines = 14;
extern std::string imRead[kChatLines];
extern std::string imWrite;
extern int imWriteFocus;
extern int flashCursor;
extern int newTextRcvd;
extern int networkShowChatOverride;
extern float chatOpacity;
extern char gChar;
extern int gFlags;
extern char gVirtualKey;

// Traffic indicators and the stream buffer
extern std::string recvstring;
extern std::string tcptx, tcprx, udptx, udprx;
extern std::string tcpBuffer;
extern size_t tcpSearched;

// Windows and menu
extern XPLMWindowID gWindow;
extern XPLMWindowID imReadWin;
extern XPLMMenuID PlaneMenu;
extern int showPlaneWindow;
extern int showChatWindow;
extern int pwinh, pwinw, twinh, twinw, winbuff;

// Settings pane
extern int PrefPane;
extern XPWidgetID PrefPaneWidget, PrefPaneWindow;
extern XPWidgetID UserIDT, UserIDF, PasswordT, PasswordF, CallsignT, CallsignF;
extern XPWidgetID FlightModeT, FlightModeB1, FlightModeB2;
extern XPWidgetID CrewIDT, CrewIDF, PositionT, PositionB1, PositionB2, PositionB3, PositionB4;
extern XPWidgetID ConnectB, DisconnectB, ConnectStartB, CancelB, ApplyB, SaveB;
extern XPWidgetID PrefErrorT;
extern XPWidgetID ServerT, ServerF;
extern XPWidgetID SmoothTrafficB;
extern XPWidgetID LabelsB, LabelDistanceB;

// Cockpit view hook
extern int lastview;

// A flight loop's interval that asks for a call at every frame, on every graphics backend.
constexpr float kEveryFrame = -1.0f;

// Menu handler of the "Plane Window" submenu.
void SkytetherMenuCallback(void *inMenuRef, void *inItemRef);
