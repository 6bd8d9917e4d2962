#pragma once
// Chat and plane-list windows, chat entry, settings pane.
#include <string>

#include "XPLMDisplay.h"
#include "XPWidgetDefs.h"

// Creates both windows hidden (called from XPluginStart after the preferences are loaded), in
// global boxels, so they scale with the interface, pop out and go into VR.
void CreateWindows();
// Every frame: the windows keep their place against the screen's top-right corner when its size
// or the interface scale changes, and are in VR exactly while the headset is on.
float SkytetherFollowScreen(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop, int inCounter,
                            void *inRefcon);
// XPluginReceiveMessage: the headset put on or taken off.
void HandleWindowMessage(int message);
// Whether the host shows VR now.
bool VREnabled();
// The plugin's windows the pilot can give a window of their own (menu items).
enum PluginWindow { kChatWindow, kPlaneListWindow, kSettingsWindow, kPluginWindowCount };
// The menu's "Pop Out ...": the window goes into a window of its own, or back into the simulator.
void TogglePopOut(PluginWindow which);
bool PoppedOutByPilot(PluginWindow which);
// The settings pane was just built at the place it computed from these screen bounds: it follows
// them from now on, and goes where the pilot wants it (VR, a window of its own).
void SettingsPaneBuilt(int boundsRight, int boundsTop);
// The one way into the chat history: shifts the lines up, puts text at line 13, holds the window 9 s.
void AppendChatLine(const std::string &text);

void DrawWindowCallback(XPLMWindowID inWindowID, void *inRefcon);
int HandleMouseClickCallback(XPLMWindowID inWindowID, int x, int y, XPLMMouseStatus inMouse, void *inRefcon);
void HandleKeyCallback(XPLMWindowID inWindowID, char inKey, XPLMKeyFlags inFlags, char inVirtualKey,
                       void *inRefcon, int losingFocus);
int MyKeySniffer(char inChar, XPLMKeyFlags inFlags, char inVirtualKey, void *inRefcon);
// Tab seen by the sniffer: opens the chat window with the keyboard, or closes it when open. The
// keyboard goes only to a window the pilot can see: in VR, while the chat window is not shown
// there, nothing happens and false is returned (the key is the host's).
bool OpenOrCloseChat();
// Tab in the chat window: the keyboard goes back to the host, the window stays open.
void HandBackChatKeyboard();
// What a Tab press does now, whoever holds the keyboard: one of the two above.
void ChatTab();
// The menu's "Toggle Plane List".
void TogglePlaneList();
// Whether slot n's row in the plane list shows an aircraft: a callsign, or a model name other than
// the row's placeholder "Plane n". Slots 1 to 19 only.
bool SlotShowsAircraft(int n);
void STDrawTranslucentBox(int left, int top, int right, int bottom, int focused, float alpha);

float SkytetherChatWinOpacityCallback(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                                      int inCounter, void *inRefcon);
float SkytetherProcessChatWinCallback(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                                      int inCounter, void *inRefcon);
float SkytetherProcessCursorCallback(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                                     int inCounter, void *inRefcon);

void CreatePrefPane(int w, int h);
void InitializePrefPane();
// The menu's "Control & Settings": builds the pane, or refills and shows it when hidden.
void OpenSettings();
// The pane's "Connect" and "Disconnect" buttons, which swap the two when the session changes.
// Each does nothing unless the session is closed (Connect) or open (Disconnect).
void ConnectFromPane();
void DisconnectFromPane();
// The session opened or closed: the pane, if built, offers Connect or Disconnect accordingly.
void SessionChanged();
int PrefPaneHandler(XPWidgetMessage inMessage, XPWidgetID inWidget, intptr_t inParam1, intptr_t inParam2);
// The label settings changed elsewhere (command): the pane, if built, shows them.
void LabelSettingsChanged();

// Labels: each shown aircraft's callsign (and distance) over it, in the 2-D window phase.
void FindLabelDataRefs();  // from XPluginStart
int SkytetherDrawLabels(XPLMDrawingPhase inPhase, int inIsBefore, void *inRefcon);
// The command: labels on or off.
void ToggleLabels();
