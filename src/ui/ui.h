#pragma once
// Chat and plane-list windows, chat entry, settings pane.
#include <string>

#include "XPLMDisplay.h"
#include "XPWidgetDefs.h"

// Creates both windows hidden (called from XPluginStart after the preferences are loaded).
void CreateWindows();
// The one way into the chat history: shifts the lines up, puts text at line 13, holds the window 9 s.
void AppendChatLine(const std::string &text);

void DrawWindowCallback(XPLMWindowID inWindowID, void *inRefcon);
int HandleMouseClickCallback(XPLMWindowID inWindowID, int x, int y, XPLMMouseStatus inMouse, void *inRefcon);
void HandleKeyCallback(XPLMWindowID inWindowID, char inKey, XPLMKeyFlags inFlags, char inVirtualKey,
                       void *inRefcon, int losingFocus);
int MyKeySniffer(char inChar, XPLMKeyFlags inFlags, char inVirtualKey, void *inRefcon);
// Tab seen by the sniffer: opens the chat window with the keyboard, or closes it when open.
void OpenOrCloseChat();
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
