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
void STDrawTranslucentBox(int left, int top, int right, int bottom, int focused, float alpha);

float SkytetherChatWinOpacityCallback(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                                      int inCounter, void *inRefcon);
float SkytetherProcessChatWinCallback(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                                      int inCounter, void *inRefcon);
float SkytetherProcessCursorCallback(float inElapsedSinceLastCall, float inElapsedTimeSinceLastFlightLoop,
                                     int inCounter, void *inRefcon);

void CreatePrefPane(int w, int h);
void InitializePrefPane();
int PrefPaneHandler(XPWidgetMessage inMessage, XPWidgetID inWidget, intptr_t inParam1, intptr_t inParam2);
