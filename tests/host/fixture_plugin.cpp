// A tiny plugin for testing the simulated host: it registers one of everything and logs what
// the host calls, as text lines the tests read through fixture_log().
// Built twice (FIXTURE_TAG "fixture" and "fixture2"), so two of them can run in one host: each
// publishes TAG/id (int, read-only: the id XPLMGetMyID gives inside the accessor), TAG/value (int,
// writable) and TAG/name (bytes: the plugin's name), and both handle the one command
// "fixture/command", created by whichever starts first.
//
// Environment, read at XPluginStart:
//   FIXTURE_START_FAILS=1   XPluginStart registers a flight loop, then returns 0
//   FIXTURE_LEAKS=1         XPluginStop removes nothing it made
//   FIXTURE_UNLOAD_CALLS=1  a global destructor calls into the host while the file unloads

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "XPLMDataAccess.h"
#include "XPLMDisplay.h"
#include "XPLMGraphics.h"
#include "XPLMMenus.h"
#include "XPLMPlanes.h"
#include "XPLMPlugin.h"
#include "XPLMProcessing.h"
#include "XPLMUtilities.h"
#include "XPStandardWidgets.h"
#include "XPWidgets.h"

#define FIXTURE_API PLUGIN_API

namespace {

std::string gLog;
int gConstructed = 0;
int gStarts = 0;
bool gLeaks = false;

XPLMWindowID gWindow = nullptr;
XPLMMenuID gMenu = nullptr;
XPWidgetID gPane = nullptr;
int gPaneResult = 1;  // what the pane's handler returns for the messages it logs
XPLMCommandRef gCommand = nullptr;
int gCommandResult = 1;  // what the command handler returns
XPLMDataRef gIdRef = nullptr, gValueRef = nullptr, gNameRef = nullptr;
int gValue = 0;
const char kName[] = FIXTURE_NAME;

void log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log(const char *fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  gLog += buf;
  gLog += '\n';
}

// Built while the library loads, inside dlopen, like a plugin's global objects.
struct LoadTimeLookups {
  XPLMDataRef view, plane1x, unknown;
  LoadTimeLookups() {
    ++gConstructed;
    view = XPLMFindDataRef("sim/graphics/view/view_type");
    plane1x = XPLMFindDataRef("sim/multiplayer/position/plane1_x");
    unknown = XPLMFindDataRef("fixture/no_such_dataref");
  }
} gLookups;

bool gUnloadCalls = false;
struct UnloadTimeCall {
  ~UnloadTimeCall() {
    if (gUnloadCalls) XPLMFindDataRef("sim/graphics/view/view_type");
  }
} gUnloadTimeCall;

float Loop(float sinceLast, float sinceLoop, int counter, void *) {
  log("loop %.4f %.4f %d", static_cast<double>(sinceLast), static_cast<double>(sinceLoop), counter);
  return 0.5f;
}

int Draw(XPLMDrawingPhase phase, int before, void *) {
  float white[3] = {1, 1, 1};
  char text[] = "fixture draws";
  XPLMDrawString(white, 5, 6, text, nullptr, xplmFont_Basic);
  log("draw %d %d", phase, before);
  return 1;
}

void WindowDraw(XPLMWindowID, void *) {
  int l, t, r, b;
  XPLMGetWindowGeometry(gWindow, &l, &t, &r, &b);
  XPLMDrawTranslucentDarkBox(l, t, r, b);
  log("window draw");
}

void WindowKey(XPLMWindowID, char key, XPLMKeyFlags flags, char vkey, void *, int losing) {
  log("window key %d %d %d %d", key, flags, vkey, losing);
}

int WindowMouse(XPLMWindowID, int x, int y, XPLMMouseStatus status, void *) {
  log("window mouse %d %d %d", x, y, status);
  if (status == xplm_MouseDown) XPLMTakeKeyboardFocus(gWindow);
  return 1;
}

int Sniffer(char key, XPLMKeyFlags flags, char vkey, void *) {
  log("sniffer %d %d %d", key, flags, vkey);
  return key == 'x' ? 0 : 1;  // consumes x
}

int PaneHandler(XPWidgetMessage msg, XPWidgetID, intptr_t p1, intptr_t p2) {
  if (msg == xpMessage_CloseButtonPushed || msg == xpMsg_PushButtonPressed ||
      msg == xpMsg_ButtonStateChanged || msg == xpMsg_TextFieldChanged) {
    char desc[64];
    XPGetWidgetDescriptor(reinterpret_cast<XPWidgetID>(p1), desc, sizeof desc - 1);
    log("pane %d \"%s\" %ld", msg, desc, static_cast<long>(p2));
    if (msg == xpMessage_CloseButtonPushed) XPHideWidget(gPane);
    return gPaneResult;
  }
  return 0;
}

void BuildPane() {
  gPane = XPCreateWidget(100, 500, 400, 200, 1, "Fixture Pane", 1, nullptr, xpWidgetClass_MainWindow);
  XPSetWidgetProperty(gPane, xpProperty_MainWindowHasCloseBoxes, 1);
  XPWidgetID push = XPCreateWidget(110, 480, 180, 460, 1, "Push", 0, gPane, xpWidgetClass_Button);
  XPSetWidgetProperty(push, xpProperty_ButtonBehavior, xpButtonBehaviorPushButton);
  XPWidgetID radio = XPCreateWidget(110, 450, 120, 440, 1, "Radio", 0, gPane, xpWidgetClass_Button);
  XPSetWidgetProperty(radio, xpProperty_ButtonType, xpRadioButton);
  XPSetWidgetProperty(radio, xpProperty_ButtonBehavior, xpButtonBehaviorRadioButton);
  XPWidgetID check = XPCreateWidget(110, 430, 120, 420, 1, "Check", 0, gPane, xpWidgetClass_Button);
  XPSetWidgetProperty(check, xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox);
  XPCreateWidget(110, 410, 300, 390, 1, "", 0, gPane, xpWidgetClass_TextField);
  XPWidgetID sub = XPCreateWidget(110, 380, 300, 250, 0, "Hidden Box", 0, gPane, xpWidgetClass_SubWindow);
  XPCreateWidget(120, 370, 180, 350, 1, "Hidden Push", 0, sub, xpWidgetClass_Button);
  XPAddWidgetCallback(gPane, PaneHandler);
}

int CommandHandler(XPLMCommandRef, XPLMCommandPhase phase, void *) {
  log("command %d %d", phase, XPLMGetMyID());
  return gCommandResult;
}

int ReadId(void *) {
  return XPLMGetMyID();
}
int ReadValue(void *) {
  return gValue;
}
void WriteValue(void *, int v) {
  gValue = v;
}
int ReadName(void *, void *out, int offset, int max) {
  const int size = static_cast<int>(sizeof kName) - 1;
  if (!out) return size;
  if (offset < 0 || offset >= size || max <= 0) return 0;
  const int n = max < size - offset ? max : size - offset;
  std::memcpy(out, kName + offset, static_cast<size_t>(n));
  return n;
}

void RegisterDataRefs() {
  const std::string tag = FIXTURE_TAG;
  gIdRef = XPLMRegisterDataAccessor((tag + "/id").c_str(), xplmType_Int, 0, ReadId, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr);
  gValueRef = XPLMRegisterDataAccessor((tag + "/value").c_str(), xplmType_Int, 1, ReadValue, WriteValue,
                                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr);
  gNameRef = XPLMRegisterDataAccessor((tag + "/name").c_str(), xplmType_Data, 0, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, ReadName,
                                      nullptr, nullptr, nullptr);
}

void MenuHandler(void *menuRef, void *itemRef) {
  log("menu %s %s", static_cast<const char *>(menuRef), static_cast<const char *>(itemRef));
  if (std::strcmp(static_cast<const char *>(itemRef), "1") == 0 && !gPane) BuildPane();
  if (std::strcmp(static_cast<const char *>(itemRef), "2") == 0)
    XPLMSetWindowIsVisible(gWindow, !XPLMGetWindowIsVisible(gWindow));
}

}  // namespace

FIXTURE_API const char *fixture_log() {
  return gLog.c_str();
}
FIXTURE_API void fixture_clear_log() {
  gLog.clear();
}
FIXTURE_API int fixture_constructed() {
  return gConstructed;
}
FIXTURE_API int fixture_starts() {
  return gStarts;
}
FIXTURE_API void fixture_set_pane_result(int r) {
  gPaneResult = r;
}
FIXTURE_API XPLMWindowID fixture_window() {
  return gWindow;
}
FIXTURE_API void fixture_set_command_result(int r) {
  gCommandResult = r;
}

PLUGIN_API int XPluginStart(char *outName, char *outSig, char *outDesc) {
  ++gStarts;
  log("start");
  std::strcpy(outName, kName);
  std::strcpy(outSig, "skytether.tests." FIXTURE_TAG);
  std::strcpy(outDesc, "A plugin that exercises the simulated host.");
  gLeaks = std::getenv("FIXTURE_LEAKS") != nullptr;
  gUnloadCalls = std::getenv("FIXTURE_UNLOAD_CALLS") != nullptr;
  if (std::getenv("FIXTURE_START_FAILS")) {
    XPLMRegisterFlightLoopCallback(Loop, 1.0f, nullptr);
    return 0;
  }
  XPLMFindDataRef("sim/flightmodel/position/latitude");
  int item = XPLMAppendMenuItem(XPLMFindPluginsMenu(), "Fixture", nullptr, 1);
  gMenu =
      XPLMCreateMenu("Fixture Menu", XPLMFindPluginsMenu(), item, MenuHandler, const_cast<char *>("menuref"));
  XPLMAppendMenuItem(gMenu, "Build Pane", const_cast<char *>("1"), 1);
  XPLMAppendMenuItem(gMenu, "Toggle Window", const_cast<char *>("2"), 1);
  XPLMAppendMenuSeparator(gMenu);
  int off = XPLMAppendMenuItem(gMenu, "Disabled", const_cast<char *>("3"), 1);
  XPLMEnableMenuItem(gMenu, off, 0);
  gWindow = XPLMCreateWindow(10, 300, 210, 200, 0, WindowDraw, WindowKey, WindowMouse, nullptr);
  XPLMRegisterFlightLoopCallback(Loop, 0.5f, nullptr);
  XPLMRegisterDrawCallback(Draw, xplm_Phase_Window, 0, nullptr);
  XPLMRegisterKeySniffer(Sniffer, 0, nullptr);
  gCommand = XPLMCreateCommand("fixture/command", "A command of the fixture");
  XPLMRegisterCommandHandler(gCommand, CommandHandler, 1, nullptr);
  RegisterDataRefs();
  return 1;
}

PLUGIN_API int XPluginEnable() {
  log("enable");
  XPLMAcquirePlanes(nullptr, nullptr, nullptr);
  XPLMSetActiveAircraftCount(5);
  for (int i = 1; i <= 4; ++i) XPLMDisableAIForPlane(i);
  char root[512];
  XPLMGetSystemPath(root);
  XPLMSetAircraftModel(1, (std::string(root) + "Aircraft/Fixture/fixture.acf").c_str());
  return 1;
}

PLUGIN_API void XPluginDisable() {
  log("disable");
  XPLMReleasePlanes();
}

PLUGIN_API void XPluginStop() {
  log("stop");
  if (gLeaks) return;
  XPLMDestroyWindow(gWindow);
  XPLMDestroyMenu(gMenu);
  if (gPane) XPDestroyWidget(gPane, 1);
  XPLMUnregisterFlightLoopCallback(Loop, nullptr);
  XPLMUnregisterDrawCallback(Draw, xplm_Phase_Window, 0, nullptr);
  XPLMUnregisterKeySniffer(Sniffer, 0, nullptr);
  XPLMUnregisterCommandHandler(gCommand, CommandHandler, 1, nullptr);
  XPLMUnregisterDataAccessor(gIdRef);
  XPLMUnregisterDataAccessor(gValueRef);
  XPLMUnregisterDataAccessor(gNameRef);
}

PLUGIN_API void XPluginReceiveMessage(XPLMPluginID from, int msg, void *param) {
  // A pointer as glibc's "%p" writes it, on every system.
  if (param == nullptr)
    log("message %d %d (nil)", from, msg);
  else
    log("message %d %d 0x%llx", from, msg, static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(param)));
}
