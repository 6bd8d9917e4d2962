// The chat window and the plane list window: creation, history, drawing, fade, show timer, mouse.
// Every function here runs on the host's main thread.
#include <GL/gl.h>

#include <string>

#include "XPLMDataAccess.h"
#include "XPLMDisplay.h"
#include "XPLMGraphics.h"
#include "XPLMMenus.h"
#include "XPLMPlugin.h"
#include "XPWidgets.h"
#include "aircraft/Traffic.h"
#include "plugin/SkytetherSE.h"
#include "support/strings.h"
#include "ui/ui.h"

namespace {

float kWhite[3] = {1.0f, 1.0f, 1.0f};
float kGreen[3] = {0.5f, 1.0f, 0.5f};
float kYellow[3] = {1.0f, 1.0f, 0.3f};

// The fade moves in these steps and stops once it reaches the ceiling. Both are 32-bit floats on
// purpose: ten steps up land exactly on the ceiling, ten down end a hair below zero.
constexpr float kOpacityStep = 0.069f;
constexpr float kOpacityMax = 0.69f;

// The SDK takes a mutable char pointer; the host only reads the text.
void DrawText(float *rgb, int x, int y, std::string &text, int *wrap) {
  XPLMDrawString(rgb, x, y, &text[0], wrap, xplmFont_Basic);
}

// The text with its middle cut out for "..." until it fits width pixels: the start says what
// happened, the end holds the server's address.
std::string FitWidth(const std::string &text, int width) {
  auto measure = [](const std::string &t) {
    return XPLMMeasureString(xplmFont_Basic, t.c_str(), int(t.size()));
  };
  if (measure(text) <= float(width)) return text;
  for (size_t keep = text.size(); keep-- > 0;) {
    const std::string cut = text.substr(0, keep / 2) + "..." + text.substr(text.size() - (keep - keep / 2));
    if (measure(cut) <= float(width)) return cut;
  }
  return "";
}

void DrawPlaneList(int L, int T, int R, int B) {
  XPLMDrawTranslucentDarkBox(L, T, R, B);

  std::string traffic = recvstring + " " + tcptx + tcprx + udptx + udprx;
  DrawText(kWhite, L + 5, T - 20, traffic, nullptr);

  // The host draws only as many planes as the user enabled in its settings, the user's included.
  const int canShow = SlotsThatCanShow();
  if (canShow < kSlotCount - 1) {
    std::string note;
    AddIntToString(note, "", canShow);
    AddIntToString(note, " of ", kSlotCount - 1);
    AddIntToString(note, " show: set ", kSlotCount);
    note += " aircraft in settings";
    DrawText(kYellow, L + 5, T - 34, note, nullptr);
  }

  // Slot 0 is the user's own aircraft and is never listed.
  for (int i = 1; i < kSlotCount; ++i) {
    std::string row;
    AddIntToString(row, "", i);
    row += ": ";
    row += Callsigns[i];
    row += " ";
    row += Planes[i];
    DrawText(kWhite, L + 5, T - 34 - 14 * i, row, nullptr);
  }

  // The server's state on a line under the rows (while connected but the planes are another
  // plugin's, why no traffic shows; while the host replays, that the pilot's position is not
  // sent), measured again only when it changes.
  static std::string measured, fitted;
  static int fittedWidth = 0;
  const std::string wait = PlanesWait();
  static const std::string replay = "Replay: your position is not sent";
  const std::string &status = !wait.empty() ? wait : tcpconnected != 0 && inReplay != 0 ? replay : serverStatus;
  if (measured != status || fittedWidth != R - L - 10) {
    measured = status;
    fittedWidth = R - L - 10;
    fitted = FitWidth(status, fittedWidth);
  }
  std::string state = fitted;
  DrawText(kWhite, L + 5, T - 34 - 14 * kSlotCount, state, nullptr);
}

void DrawChat(int L, int T, int R, int B) {
  STDrawTranslucentBox(L, T, R, B, imWriteFocus, chatOpacity);

  // While fading out only the box is drawn.
  if (showChatWindow != 0 || networkShowChatOverride != 0) {
    int wrap = R - L;
    for (int j = 0; j < kChatLines; ++j) DrawText(kGreen, L + 5, B + 300 - 20 * j, imRead[j], &wrap);

    std::string typing = imWrite;
    if (imWriteFocus != 0) typing += flashCursor != 0 ? "|" : " ";
    DrawText(kYellow, L + 5, B + 20, typing, &wrap);
  }

  // Held open by traffic alone: show how many seconds are left.
  if (showChatWindow == 0 && networkShowChatOverride != 0) {
    std::string countdown;
    AddIntToString(countdown, "", newTextRcvd + 1);
    DrawText(kYellow, R - 15, B + 14, countdown, nullptr);
  }
}

}  // namespace

namespace {

// The screen's top-right corner (global boxels) each window was last placed against; a change of
// screen size or interface scale moves it by as much as the corner moved.
struct Anchor {
  bool set;
  int right, top;
};
Anchor anchors[kPluginWindowCount];

// The pilot's choice of a window of its own for each window (menu), and whether the plugin's
// windows are in VR now.
bool popOutWanted[kPluginWindowCount];
bool windowsInVR = false;
// Between the host's "exiting VR" and its dataref turning 0, the dataref still says VR.
bool leavingVR = false;
XPLMDataRef gVREnabled = nullptr;

// The menu items, after "Control & Settings" and "Toggle Plane List".
constexpr int kFirstPopOutItem = 2;

XPLMWindowID WindowOf(int which) {
  switch (which) {
    case kChatWindow:
      return imReadWin;
    case kPlaneListWindow:
      return gWindow;
    case kSettingsWindow:
      return PrefPaneWidget != nullptr ? XPGetWidgetUnderlyingWindow(PrefPaneWidget) : nullptr;
    default:
      return nullptr;
  }
}

// A window only the simulator's own window shows, where the plugin may move it.
bool Floating(XPLMWindowID w) {
  return !XPLMWindowIsPoppedOut(w) && !XPLMWindowIsInVR(w);
}

// In VR while the headset is on; otherwise in a window of its own or floating, as the pilot chose.
void Place(int which) {
  XPLMWindowID w = WindowOf(which);
  if (w == nullptr) return;
  if (windowsInVR) {
    if (!XPLMWindowIsInVR(w)) XPLMSetWindowPositioningMode(w, xplm_WindowVR, -1);
  } else if (popOutWanted[which]) {
    if (!XPLMWindowIsPoppedOut(w)) XPLMSetWindowPositioningMode(w, xplm_WindowPopOut, -1);
  } else if (!Floating(w)) {
    XPLMSetWindowPositioningMode(w, xplm_WindowPositionFree, -1);
  }
}

void PlaceAll() {
  for (int k = 0; k < kPluginWindowCount; ++k) Place(k);
}

void SetInVR(bool inVR) {
  if (inVR == windowsInVR) return;
  windowsInVR = inVR;
  PlaceAll();
}

XPLMWindowID MakeWindow(int left, int top, int right, int bottom, int visible, const char *title) {
  XPLMCreateWindow_t params = {};
  params.structSize = sizeof params;
  params.left = left;
  params.top = top;
  params.right = right;
  params.bottom = bottom;
  params.visible = visible;
  params.drawWindowFunc = DrawWindowCallback;
  params.handleMouseClickFunc = HandleMouseClickCallback;
  params.handleKeyFunc = HandleKeyCallback;
  params.refcon = nullptr;
  // The window draws all of itself: the host adds no frame or title bar on the simulator's screen.
  params.decorateAsFloatingWindow = xplm_WindowDecorationNone;
  params.layer = xplm_WindowLayerFloatingWindows;
  XPLMWindowID id = XPLMCreateWindowEx(&params);
  XPLMSetWindowPositioningMode(id, xplm_WindowPositionFree, -1);
  XPLMSetWindowTitle(id, title);  // the title bar of its own window, popped out
  return id;
}

void ShiftWindow(XPLMWindowID w, int dx, int dy) {
  int l = 0, t = 0, r = 0, b = 0;
  XPLMGetWindowGeometry(w, &l, &t, &r, &b);
  XPLMSetWindowGeometry(w, l + dx, t + dy, r + dx, b + dy);
}

void ShiftWidgetTree(XPWidgetID w, int dx, int dy, int depth) {
  if (w == nullptr || depth > 8) return;
  int l = 0, t = 0, r = 0, b = 0;
  XPGetWidgetGeometry(w, &l, &t, &r, &b);
  XPSetWidgetGeometry(w, l + dx, t + dy, r + dx, b + dy);
  const int children = XPCountChildWidgets(w);
  for (int i = 0; i < children; ++i) ShiftWidgetTree(XPGetNthChildWidget(w, i), dx, dy, depth + 1);
}

// Moves a floating window by as much as the screen's top-right corner moved since it was placed.
// One in a window of its own or in VR keeps its floating place.
void Follow(int which, int right, int top) {
  Anchor &a = anchors[which];
  XPLMWindowID w = WindowOf(which);
  if (!a.set || w == nullptr || !Floating(w) || (a.right == right && a.top == top)) return;
  const int dx = right - a.right, dy = top - a.top;
  if (which == kSettingsWindow)
    ShiftWidgetTree(PrefPaneWidget, dx, dy, 0);
  else
    ShiftWindow(w, dx, dy);
  a.right = right;
  a.top = top;
}

}  // namespace

bool VREnabled() {
  return gVREnabled != nullptr && XPLMGetDatai(gVREnabled) != 0;
}

float SkytetherFollowScreen(float, float, int, void *) {
  int l = 0, t = 0, r = 0, b = 0;
  XPLMGetScreenBoundsGlobal(&l, &t, &r, &b);
  for (int k = 0; k < kPluginWindowCount; ++k) Follow(k, r, t);
  // The messages say when the headset goes on or off; the dataref catches one the plugin missed
  // (sent while it was disabled).
  const bool vr = VREnabled();
  if (!vr) leavingVR = false;
  if (!leavingVR) SetInVR(vr);
  return kEveryFrame;
}

void HandleWindowMessage(int message) {
  if (message == XPLM_MSG_ENTERED_VR) {
    leavingVR = false;
    SetInVR(true);
  } else if (message == XPLM_MSG_EXITING_VR) {
    leavingVR = true;
    SetInVR(false);
  }
}

void TogglePopOut(PluginWindow which) {
  if (which < 0 || which >= kPluginWindowCount) return;
  // The settings pane is built (or shown) first: the pilot asked to see it.
  if (which == kSettingsWindow && !popOutWanted[which]) OpenSettings();
  popOutWanted[which] = !popOutWanted[which];
  XPLMCheckMenuItem(PlaneMenu, kFirstPopOutItem + which,
                    popOutWanted[which] ? xplm_Menu_Checked : xplm_Menu_Unchecked);
  Place(which);
}

bool PoppedOutByPilot(PluginWindow which) {
  return which >= 0 && which < kPluginWindowCount && popOutWanted[which];
}

void SettingsPaneBuilt(int boundsRight, int boundsTop) {
  anchors[kSettingsWindow] = {true, boundsRight, boundsTop};
  Place(kSettingsWindow);
}

void TogglePlaneList() {
  showPlaneWindow = 1 - showPlaneWindow;
  XPLMSetWindowIsVisible(gWindow, showPlaneWindow);
}

bool SlotShowsAircraft(int n) {
  if (n < 1 || n >= kSlotCount) return false;
  if (!Callsigns[n].empty()) return true;
  std::string placeholder;
  AddIntToString(placeholder, "Plane ", n);
  return !Planes[n].empty() && Planes[n] != placeholder;
}

void CreateWindows() {
  gVREnabled = XPLMFindDataRef("sim/graphics/VR/enabled");
  // At 100 % the screen's boxels are its pixels; the plane list sits under the chat window, both
  // against the right edge.
  int L = 0, H = 0, W = 0, B = 0;
  XPLMGetScreenBoundsGlobal(&L, &H, &W, &B);
  gWindow = MakeWindow(W - winbuff - pwinw, H - 2 * winbuff - twinh, W - winbuff, H - 2 * winbuff - twinh - pwinh,
                       showPlaneWindow, "Skytether Plane List");
  imReadWin = MakeWindow(W - winbuff - twinw, H - winbuff, W - winbuff, H - winbuff - twinh, showChatWindow,
                         "Skytether Chat");
  anchors[kChatWindow] = {true, W, H};
  anchors[kPlaneListWindow] = {true, W, H};
  anchors[kSettingsWindow] = {false, 0, 0};
  for (bool &wanted : popOutWanted) wanted = false;
  leavingVR = false;
  windowsInVR = VREnabled();  // a plugin started in VR starts there
  PlaceAll();
}

void AppendChatLine(const std::string &text) {
  for (int i = 0; i < kChatLines - 1; ++i) imRead[i] = imRead[i + 1];
  imRead[kChatLines - 1] = text;
  newTextRcvd = 9;
}

void DrawWindowCallback(XPLMWindowID inWindowID, void * /*inRefcon*/) {
  int L = 0, T = 0, R = 0, B = 0;
  XPLMGetWindowGeometry(inWindowID, &L, &T, &R, &B);
  if (inWindowID == gWindow && showPlaneWindow == 1) DrawPlaneList(L, T, R, B);
  if (inWindowID == imReadWin && chatOpacity > 0) DrawChat(L, T, R, B);
}

void STDrawTranslucentBox(int left, int top, int right, int bottom, int focused, float alpha) {
  // Lighting off: with it on, glColor4f would not set the colour drawn.
  XPLMSetGraphicsState(0, 0, 0, 0, 1, 0, 0);

  const float l = static_cast<float>(left), t = static_cast<float>(top);
  const float r = static_cast<float>(right), b = static_cast<float>(bottom);

  glColor4f(0.1f, 0.1f, 0.1f, alpha);
  glBegin(GL_QUADS);
  glVertex2f(r, b);
  glVertex2f(l, b);
  glVertex2f(l, t);
  glVertex2f(r, t);
  glEnd();

  // A bright border tells the user the typing line has the keyboard.
  if (focused != 0)
    glColor4f(1.0f, 1.0f, 1.0f, alpha * 0.5f + 0.5f);
  else
    glColor4f(0.0f, 0.0f, 0.0f, alpha);

  glBegin(GL_LINES);
  glVertex2f(r, b);
  glVertex2f(l, b);
  glVertex2f(l, b);
  glVertex2f(l, t);
  glVertex2f(l, t);
  glVertex2f(r, t);
  glVertex2f(r, t);
  glVertex2f(r, b);
  glEnd();
}

float SkytetherChatWinOpacityCallback(float, float, int, void *) {
  if ((showChatWindow == 1 || networkShowChatOverride == 1) && chatOpacity < kOpacityMax) {
    chatOpacity = chatOpacity + kOpacityStep;
  } else if (showChatWindow == 0 && networkShowChatOverride == 0 && chatOpacity > 0) {
    chatOpacity = chatOpacity - kOpacityStep;
  }
  // Set every time, so the window follows the opacity whatever else touched its visibility.
  XPLMSetWindowIsVisible(imReadWin, chatOpacity > 0 ? 1 : 0);
  return 0.01f;
}

float SkytetherProcessChatWinCallback(float, float, int, void *) {
  if (newTextRcvd > 0) {
    --newTextRcvd;
    networkShowChatOverride = 1;
  } else {
    networkShowChatOverride = 0;
  }
  return 1.0f;
}

int HandleMouseClickCallback(XPLMWindowID inWindowID, int x, int y, XPLMMouseStatus inMouse,
                             void * /*inRefcon*/) {
  // One drag at a time, whichever window it is.
  static int gDragging = 0;
  static int dX = 0, dY = 0;
  static int Weight = 0, Height = 0;

  int L = 0, T = 0, R = 0, B = 0;
  XPLMGetWindowGeometry(inWindowID, &L, &T, &R, &B);

  switch (inMouse) {
    case xplm_MouseDown:
      if (inWindowID == imReadWin) {
        imWriteFocus = 1;
        XPLMTakeKeyboardFocus(imReadWin);
      } else if (inWindowID == gWindow) {
        // Only the look changes: the chat window keeps the keyboard.
        imWriteFocus = 0;
        flashCursor = 0;
      }
      dX = x - L;
      dY = y - T;
      Weight = R - L;
      Height = B - T;
      // A window of its own is moved by the system, one in VR by the pilot's hands.
      gDragging = Floating(inWindowID) ? 1 : 0;
      break;
    case xplm_MouseDrag:
      if (gDragging == 1) {
        const int left = x - dX;
        const int top = y - dY;
        XPLMSetWindowGeometry(inWindowID, left, top, left + Weight, top + Height);
      }
      break;
    case xplm_MouseUp:
      gDragging = 0;
      break;
    default:
      break;
  }
  return 1;
}
