// Windows, keyboard focus and routing, key sniffers, and the mouse.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "HostImpl.h"
#include "XPLMPlugin.h"

namespace skyhost {

namespace {

bool inside(const Host::Window &w, int x, int y) {
  return x >= w.left && x <= w.right && y >= w.bottom && y <= w.top;
}

// The key code the host reports with a character, XPLM_VK_* values.
char virtualKeyFor(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  switch (u) {
    case 8:
      return XPLM_VK_BACK;
    case 9:
      return XPLM_VK_TAB;
    case 13:
      return XPLM_VK_RETURN;
    case 27:
      return XPLM_VK_ESCAPE;
    case 32:
      return XPLM_VK_SPACE;
    case 127:
      return XPLM_VK_DELETE;
    default:
      break;
  }
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 'a' + 'A');
  if ((u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')) return static_cast<char>(u);
  return 0;
}

// The window under a screen pixel in the pilot's view, and the point in the window's coordinates:
// pixels for an old window, boxels for a modern one (its own in VR).
bool hit(const Host::Impl &h, const WindowRec &w, int x, int y, int *wx, int *wy) {
  const Host::Shown shown = h.shown(w);
  if (shown != Host::Shown::Screen && shown != Host::Shown::VR) return false;
  if (!w.pub.modern) {
    *wx = x;
    *wy = y;
    return inside(w.pub, x, y);
  }
  const int bx = static_cast<int>(std::floor((x + 0.5) / h.scale()));
  const int by = static_cast<int>(std::floor((y + 0.5) / h.scale()));
  if (!inside(w.pub, bx, by)) return false;
  *wx = w.pub.inVR ? bx - w.pub.left : bx;
  *wy = w.pub.inVR ? by - w.pub.bottom : by;
  return true;
}

bool shifted(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') || (u < 128 && std::strchr("~!@#$%^&*()_+{}|:\"<>?", u) && u != 0);
}

}  // namespace

std::vector<XPLMWindowID> Host::Impl::layeredOrder() {
  std::vector<XPLMWindowID> order = zOrder;
  auto layer = [this](XPLMWindowID id) {
    const WindowRec *w = findWindow(id);
    return w && w->pub.modern ? w->pub.layer : static_cast<int>(xplm_WindowLayerFloatingWindows);
  };
  std::stable_sort(order.begin(), order.end(), [&](XPLMWindowID a, XPLMWindowID b) { return layer(a) < layer(b); });
  return order;
}

void Host::Impl::screenBounds(int *left, int *top, int *right, int *bottom) const {
  *left = 0;
  *bottom = 0;
  *right = static_cast<int>(std::floor(options.screenWidth / scale()));
  *top = static_cast<int>(std::floor(options.screenHeight / scale()));
}

Host::Shown Host::Impl::shown(const WindowRec &w) const {
  if (!w.pub.visible) return Host::Shown::Hidden;
  if (vr) return w.pub.inVR ? Host::Shown::VR : Host::Shown::NotInVR;
  return w.pub.poppedOut ? Host::Shown::PopOut : Host::Shown::Screen;
}

void Host::Impl::setPositioning(WindowRec &w, int mode) {
  Host::Window &p = w.pub;
  if (!p.modern) return;  // the old windows stay where they are
  int l, t, r, b;
  screenBounds(&l, &t, &r, &b);
  switch (mode) {
    case xplm_WindowPositionFree:
      break;
    case xplm_WindowCenterOnMonitor: {
      const int width = p.right - p.left, height = p.top - p.bottom;
      p.left = l + (r - l - width) / 2;
      p.right = p.left + width;
      p.bottom = b + (t - b - height) / 2;
      p.top = p.bottom + height;
      break;
    }
    case xplm_WindowFullScreenOnMonitor:
    case xplm_WindowFullScreenOnAllMonitors:
      p.left = l;
      p.top = t;
      p.right = r;
      p.bottom = b;
      break;
    case xplm_WindowPopOut:
      if (!p.poppedOut) {  // a window of its own where the window floated, in the desktop's pixels
        p.osLeft = static_cast<int>(std::lround(p.left * scale()));
        p.osTop = static_cast<int>(std::lround(p.top * scale()));
        p.osRight = static_cast<int>(std::lround(p.right * scale()));
        p.osBottom = static_cast<int>(std::lround(p.bottom * scale()));
      }
      p.poppedOut = true;
      p.inVR = false;
      p.positioning = mode;
      return;
    case xplm_WindowVR:
      if (!vr) return;  // only while the headset is on
      p.inVR = true;
      p.poppedOut = false;
      p.positioning = mode;
      return;
    default:
      return;
  }
  p.poppedOut = false;
  p.inVR = false;
  p.positioning = mode;
}

const char *Host::shownName(Shown shown) {
  switch (shown) {
    case Shown::Hidden:
      return "hidden";
    case Shown::Screen:
      return "on the screen";
    case Shown::PopOut:
      return "in a window of its own";
    case Shown::VR:
      return "in VR";
    case Shown::NotInVR:
      return "not visible (VR is on, the window is not in VR)";
  }
  return "?";
}

Host::Shown Host::windowShown(XPLMWindowID id) const {
  const WindowRec *w = const_cast<Impl &>(*impl_).findWindow(id);
  return w ? impl_->shown(*w) : Shown::Hidden;
}

void Host::setVR(bool on) {
  Impl &h = *impl_;
  if (on == h.vr) return;
  if (on) {
    h.vr = true;
    setd("sim/graphics/VR/enabled", 1);
    h.broadcast(XPLM_MSG_ENTERED_VR, nullptr);
    return;
  }
  h.broadcast(XPLM_MSG_EXITING_VR, nullptr);
  h.vr = false;
  for (auto &w : h.windows)
    if (w.pub.inVR) h.setPositioning(w, xplm_WindowPositionFree);
  setd("sim/graphics/VR/enabled", 0);
}

bool Host::vr() const {
  return impl_->vr;
}

void Host::setInterfaceScale(double scale) {
  if (!(scale >= 0.5 && scale <= 4)) throw std::invalid_argument("interface scale must be 0.5 to 4 (50 to 400 %)");
  impl_->options.interfaceScale = scale;
}

WindowRec *Host::Impl::findWindow(XPLMWindowID id) {
  if (!id) return nullptr;
  for (auto &w : windows)
    if (w.pub.id == id) return &w;
  return nullptr;
}

void Host::Impl::destroyWindow(XPLMWindowID id) {
  windows.erase(
      std::remove_if(windows.begin(), windows.end(), [id](const WindowRec &w) { return w.pub.id == id; }),
      windows.end());
  zOrder.erase(std::remove(zOrder.begin(), zOrder.end(), id), zOrder.end());
}

void Host::Impl::setKeyboardFocus(XPLMWindowID id) {
  if (id && !findWindow(id)) return;  // a destroyed or unknown window cannot take the keyboard
  if (widgetFocus) setWidgetFocus(nullptr);
  if (id == focus) return;
  XPLMWindowID old = focus;
  focus = id;
  if (WindowRec *w = findWindow(old)) {
    if (w->pub.keyFn) {
      XPLMHandleKey_f fn = w->pub.keyFn;
      void *refcon = w->pub.refcon;
      PluginCall call(*this, w->owner);
      // As the host does: the window id passed is the one taking the focus, 0 for the host.
      fn(id, 0, 0, 0, refcon, 1);
    }
  }
}

void Host::Impl::dispatchKey(char c, int flags, char vkey) {
  auto runSniffers = [&](bool beforeWindows) {
    std::vector<SnifferRec> order;
    for (const auto &s : sniffers)
      if ((s.pub.beforeWindows != 0) == beforeWindows) order.push_back(s);
    for (const SnifferRec &s : order) {
      bool still = false;
      for (const auto &r : sniffers) still = still || r.seq == s.seq;
      if (!still || !callsBack(s.owner)) continue;
      int pass;
      {
        PluginCall call(*this, s.owner);
        pass = s.pub.fn(c, flags, vkey, s.pub.refcon);
      }
      if (pass == 0) return true;  // consumed
    }
    return false;
  };
  if (runSniffers(true)) return;
  if (widgetFocus) {
    XPKeyState_t key{c, flags, vkey};
    if (sendWidgetMessage(widgetFocus, xpMsg_KeyPress, xpMode_UpChain, reinterpret_cast<intptr_t>(&key), 0))
      return;
  }
  if (WindowRec *w = findWindow(focus)) {
    if (w->pub.keyFn) {
      XPLMHandleKey_f fn = w->pub.keyFn;
      void *refcon = w->pub.refcon;
      XPLMWindowID id = focus;
      PluginCall call(*this, w->owner);
      fn(id, c, flags, vkey, refcon, 0);
    }
    return;
  }
  if (runSniffers(false)) return;
  if (flags & xplm_DownFlag) hostKeys.push_back(c);
}

// ---- harness ----

void Host::keyDown(char c, char vkey, int extraFlags) {
  int flags = extraFlags | xplm_DownFlag | (shifted(c) ? xplm_ShiftFlag : 0);
  impl_->dispatchKey(c, flags, vkey ? vkey : virtualKeyFor(c));
}

void Host::keyUp(char c, char vkey, int extraFlags) {
  int flags = extraFlags | xplm_UpFlag | (shifted(c) ? xplm_ShiftFlag : 0);
  impl_->dispatchKey(c, flags, vkey ? vkey : virtualKeyFor(c));
}

void Host::pressKey(char c, char vkey, int extraFlags) {
  keyDown(c, vkey, extraFlags);
  keyUp(c, vkey, extraFlags);
}

void Host::type(const std::string &text) {
  for (char c : text) pressKey(c);
}

XPLMWindowID Host::keyboardFocus() const {
  return impl_->focus;
}
const std::string &Host::keysForHost() const {
  return impl_->hostKeys;
}
XPWidgetID Host::widgetFocus() const {
  return impl_->widgetFocus;
}

namespace {

// Drags and the up go to the window that took the down, in the coordinates the down was given in.
XPLMWindowID mouseFollowUp(Host::Impl &h, int x, int y, XPLMMouseStatus status, bool inPopOut) {
  if (status != xplm_MouseDrag && status != xplm_MouseUp) return nullptr;
  XPLMWindowID id = h.mouseOwner;
  WindowRec *w = h.findWindow(id);
  if (status == xplm_MouseUp) h.mouseOwner = nullptr;
  if (!w || h.mouseInPopOut != inPopOut) {
    h.mouseOwner = nullptr;
    return nullptr;
  }
  int wx = x, wy = y;
  if (!inPopOut && w->pub.modern) {
    wx = static_cast<int>(std::floor((x + 0.5) / h.scale()));
    wy = static_cast<int>(std::floor((y + 0.5) / h.scale()));
    if (w->pub.inVR) {
      wx -= w->pub.left;
      wy -= w->pub.bottom;
    }
  }
  if (w->pub.mouseFn) {
    XPLMHandleMouseClick_f fn = w->pub.mouseFn;
    void *refcon = w->pub.refcon;
    PluginCall call(h, w->owner);
    fn(id, wx, wy, status, refcon);
  }
  return id;
}

// A down to one window: true when its callback took it.
bool mouseDownTo(Host::Impl &h, WindowRec *w, int wx, int wy, bool inPopOut) {
  if (!w->pub.mouseFn) return false;
  const XPLMWindowID id = w->pub.id;
  XPLMHandleMouseClick_f fn = w->pub.mouseFn;
  void *refcon = w->pub.refcon;
  int taken;
  {
    PluginCall call(h, w->owner);
    taken = fn(id, wx, wy, xplm_MouseDown, refcon);
  }
  if (!taken) return false;
  if (h.findWindow(id)) {
    h.mouseOwner = id;
    h.mouseInPopOut = inPopOut;
  }
  return true;
}

}  // namespace

XPLMWindowID Host::mouse(int x, int y, XPLMMouseStatus status) {
  Impl &h = *impl_;
  h.mouseX = x;
  h.mouseY = y;
  if (status != xplm_MouseDown) return mouseFollowUp(h, x, y, status, false);
  h.mouseOwner = nullptr;
  const std::vector<XPLMWindowID> bottomFirst = h.layeredOrder();
  for (auto it = bottomFirst.rbegin(); it != bottomFirst.rend(); ++it) {
    WindowRec *w = h.findWindow(*it);
    int wx, wy;
    if (!w || !hit(h, *w, x, y, &wx, &wy)) continue;
    if (mouseDownTo(h, w, wx, wy, false)) return *it;
  }
  return nullptr;
}

XPLMWindowID Host::mouseInPopOut(XPLMWindowID window, int x, int y, XPLMMouseStatus status) {
  Impl &h = *impl_;
  if (status != xplm_MouseDown) return mouseFollowUp(h, x, y, status, true);
  h.mouseOwner = nullptr;
  WindowRec *w = h.findWindow(window);
  if (!w || h.shown(*w) != Shown::PopOut) return nullptr;
  return mouseDownTo(h, w, x, y, true) ? window : nullptr;
}

void Host::click(int x, int y) {
  mouse(x, y, xplm_MouseDown);
  mouse(x, y, xplm_MouseUp);
}

std::vector<Host::Window> Host::windows() const {
  std::vector<Window> out;
  for (const auto &w : impl_->windows) out.push_back(w.pub);
  return out;
}

std::vector<XPLMWindowID> Host::windowZOrder() const {
  return impl_->zOrder;
}

bool Host::windowExists(XPLMWindowID id) const {
  return impl_->findWindow(id) != nullptr;
}

}  // namespace skyhost

using skyhost::cur;
using skyhost::pointerText;

int XPLMRegisterKeySniffer(XPLMKeySniffer_f inCallback, int inBeforeWindows, void *inRefcon) {
  auto &h = cur();
  if (!inCallback) return 0;
  h.sniffers.push_back({++h.seq, {inCallback, inBeforeWindows ? 1 : 0, inRefcon}, h.caller()});
  h.logRegistration("register keysniffer " + pointerText(reinterpret_cast<void *>(inCallback)) +
                    (inBeforeWindows ? " before windows" : " after windows") + " refcon " +
                    pointerText(inRefcon));
  return 1;
}

int XPLMUnregisterKeySniffer(XPLMKeySniffer_f inCallback, int inBeforeWindows, void *inRefcon) {
  auto &h = cur();
  const int before = inBeforeWindows ? 1 : 0;
  std::string entry = "unregister keysniffer " + pointerText(reinterpret_cast<void *>(inCallback)) +
                      (before ? " before windows" : " after windows") + " refcon " + pointerText(inRefcon);
  for (auto it = h.sniffers.begin(); it != h.sniffers.end(); ++it) {
    if (it->pub.fn == inCallback && it->pub.beforeWindows == before && it->pub.refcon == inRefcon &&
        it->owner == h.caller()) {
      h.sniffers.erase(it);
      h.logRegistration(entry);
      return 1;
    }
  }
  h.logRegistration(entry + " (not registered)");
  return 0;
}

XPLMWindowID XPLMCreateWindow(int inLeft, int inTop, int inRight, int inBottom, int inIsVisible,
                              XPLMDrawWindow_f inDrawCallback, XPLMHandleKey_f inKeyCallback,
                              XPLMHandleMouseClick_f inMouseCallback, void *inRefcon) {
  auto &h = cur();
  skyhost::WindowRec w{};
  w.pub.positioning = xplm_WindowPositionFree;
  w.pub.id = skyhost::newHandle(skyhost::kWindowHandleBase);
  w.pub.left = inLeft;
  w.pub.top = inTop;
  w.pub.right = inRight;
  w.pub.bottom = inBottom;
  w.pub.visible = inIsVisible != 0;
  w.pub.refcon = inRefcon;
  w.pub.drawFn = inDrawCallback;
  w.pub.keyFn = inKeyCallback;
  w.pub.mouseFn = inMouseCallback;
  w.owner = h.caller();
  h.windows.push_back(w);
  h.zOrder.push_back(w.pub.id);
  h.logRegistration("create window " + pointerText(w.pub.id) + " " + std::to_string(inLeft) + "," +
                    std::to_string(inTop) + "," + std::to_string(inRight) + "," + std::to_string(inBottom) +
                    (inIsVisible ? " visible" : " hidden"));
  return w.pub.id;
}

XPLMWindowID XPLMCreateWindowEx(XPLMCreateWindow_t *inParams) {
  auto &h = cur();
  if (!inParams || inParams->structSize <= 0) return nullptr;
  // A plugin built against an older SDK passes the shorter structure, without decoration and
  // layer: those take the values the SDK gives them then.
  XPLMCreateWindow_t p{};
  p.decorateAsFloatingWindow = xplm_WindowDecorationRoundRectangle;
  p.layer = xplm_WindowLayerFloatingWindows;
  std::memcpy(&p, inParams, std::min(sizeof p, static_cast<size_t>(inParams->structSize)));
  skyhost::WindowRec w{};
  w.pub.id = skyhost::newHandle(skyhost::kWindowHandleBase);
  w.pub.left = p.left;
  w.pub.top = p.top;
  w.pub.right = p.right;
  w.pub.bottom = p.bottom;
  w.pub.visible = p.visible != 0;
  w.pub.refcon = p.refcon;
  w.pub.drawFn = p.drawWindowFunc;
  w.pub.keyFn = p.handleKeyFunc;
  w.pub.mouseFn = p.handleMouseClickFunc;
  w.pub.modern = true;
  w.pub.layer = p.layer;
  w.pub.decoration = p.decorateAsFloatingWindow;
  w.pub.positioning = xplm_WindowPositionFree;
  w.owner = h.caller();
  h.windows.push_back(w);
  h.zOrder.push_back(w.pub.id);
  h.logRegistration("create window " + pointerText(w.pub.id) + " (ex, layer " + std::to_string(p.layer) +
                    ", decoration " + std::to_string(p.decorateAsFloatingWindow) + ") " + std::to_string(p.left) +
                    "," + std::to_string(p.top) + "," + std::to_string(p.right) + "," + std::to_string(p.bottom) +
                    (p.visible ? " visible" : " hidden"));
  return w.pub.id;
}

void XPLMDestroyWindow(XPLMWindowID inWindowID) {
  auto &h = cur();
  if (!h.findWindow(inWindowID)) return;
  // A destroyed window gets no losing-focus call: its callbacks may already be gone.
  if (h.focus == inWindowID) h.focus = nullptr;
  if (h.mouseOwner == inWindowID) h.mouseOwner = nullptr;
  h.destroyWindow(inWindowID);
  h.logRegistration("destroy window " + pointerText(inWindowID));
}

void XPLMGetScreenSize(int *outWidth, int *outHeight) {
  auto &h = cur();
  if (outWidth) *outWidth = h.options.screenWidth;
  if (outHeight) *outHeight = h.options.screenHeight;
}

void XPLMGetMouseLocation(int *outX, int *outY) {
  auto &h = cur();
  if (outX) *outX = h.mouseX;
  if (outY) *outY = h.mouseY;
}

void XPLMGetWindowGeometry(XPLMWindowID inWindowID, int *outLeft, int *outTop, int *outRight,
                           int *outBottom) {
  auto &h = cur();
  skyhost::WindowRec *w = h.findWindow(inWindowID);
  int l = 0, t = 0, r = 0, b = 0;
  if (w) {
    l = w->pub.left;
    t = w->pub.top;
    r = w->pub.right;
    b = w->pub.bottom;
    if (h.ownCoordinates(*w)) {  // popped out or in VR: (0, 0) is its own bottom left
      r -= l;
      t -= b;
      l = b = 0;
    }
  }
  if (outLeft) *outLeft = l;
  if (outTop) *outTop = t;
  if (outRight) *outRight = r;
  if (outBottom) *outBottom = b;
}

void XPLMSetWindowGeometry(XPLMWindowID inWindowID, int inLeft, int inTop, int inRight, int inBottom) {
  auto &h = cur();
  skyhost::WindowRec *w = h.findWindow(inWindowID);
  // Only a floating window moves so: a popped-out one is the system's to move, one in VR the pilot's.
  if (w && !h.ownCoordinates(*w)) {
    w->pub.left = inLeft;
    w->pub.top = inTop;
    w->pub.right = inRight;
    w->pub.bottom = inBottom;
  }
}

int XPLMGetWindowIsVisible(XPLMWindowID inWindowID) {
  skyhost::WindowRec *w = cur().findWindow(inWindowID);
  return w && w->pub.visible ? 1 : 0;
}

void XPLMGetScreenBoundsGlobal(int *outLeft, int *outTop, int *outRight, int *outBottom) {
  int l, t, r, b;
  cur().screenBounds(&l, &t, &r, &b);
  if (outLeft) *outLeft = l;
  if (outTop) *outTop = t;
  if (outRight) *outRight = r;
  if (outBottom) *outBottom = b;
}

void XPLMGetMouseLocationGlobal(int *outX, int *outY) {
  auto &h = cur();
  if (outX) *outX = static_cast<int>(std::floor((h.mouseX + 0.5) / h.scale()));
  if (outY) *outY = static_cast<int>(std::floor((h.mouseY + 0.5) / h.scale()));
}

void XPLMSetWindowPositioningMode(XPLMWindowID inWindowID, XPLMWindowPositioningMode inPositioningMode,
                                  int /*inMonitorIndex*/) {
  auto &h = cur();
  if (skyhost::WindowRec *w = h.findWindow(inWindowID)) h.setPositioning(*w, inPositioningMode);
}

void XPLMSetWindowTitle(XPLMWindowID inWindowID, const char *inWindowTitle) {
  if (skyhost::WindowRec *w = cur().findWindow(inWindowID)) w->pub.title = inWindowTitle ? inWindowTitle : "";
}

void XPLMGetWindowGeometryOS(XPLMWindowID inWindowID, int *outLeft, int *outTop, int *outRight,
                             int *outBottom) {
  skyhost::WindowRec *w = cur().findWindow(inWindowID);
  const bool out = w && w->pub.poppedOut;
  if (outLeft) *outLeft = out ? w->pub.osLeft : 0;
  if (outTop) *outTop = out ? w->pub.osTop : 0;
  if (outRight) *outRight = out ? w->pub.osRight : 0;
  if (outBottom) *outBottom = out ? w->pub.osBottom : 0;
}

void XPLMSetWindowGeometryOS(XPLMWindowID inWindowID, int inLeft, int inTop, int inRight, int inBottom) {
  auto &h = cur();
  skyhost::WindowRec *w = h.findWindow(inWindowID);
  if (!w || !w->pub.poppedOut) return;
  w->pub.osLeft = inLeft;
  w->pub.osTop = inTop;
  w->pub.osRight = inRight;
  w->pub.osBottom = inBottom;
  // Its boxels follow the size of its window on the desktop.
  w->pub.right = w->pub.left + static_cast<int>(std::lround((inRight - inLeft) / h.scale()));
  w->pub.bottom = w->pub.top - static_cast<int>(std::lround((inTop - inBottom) / h.scale()));
}

int XPLMWindowIsPoppedOut(XPLMWindowID inWindowID) {
  skyhost::WindowRec *w = cur().findWindow(inWindowID);
  return w && w->pub.poppedOut ? 1 : 0;
}

int XPLMWindowIsInVR(XPLMWindowID inWindowID) {
  skyhost::WindowRec *w = cur().findWindow(inWindowID);
  return w && w->pub.inVR ? 1 : 0;
}

void XPLMGetWindowGeometryVR(XPLMWindowID inWindowID, int *outWidthBoxels, int *outHeightBoxels) {
  skyhost::WindowRec *w = cur().findWindow(inWindowID);
  const bool in = w && w->pub.inVR;
  if (outWidthBoxels) *outWidthBoxels = in ? w->pub.right - w->pub.left : 0;
  if (outHeightBoxels) *outHeightBoxels = in ? w->pub.top - w->pub.bottom : 0;
}

void XPLMSetWindowGeometryVR(XPLMWindowID inWindowID, int widthBoxels, int heightBoxels) {
  skyhost::WindowRec *w = cur().findWindow(inWindowID);
  if (!w || !w->pub.inVR) return;
  w->pub.right = w->pub.left + widthBoxels;
  w->pub.bottom = w->pub.top - heightBoxels;
}

void XPLMSetWindowIsVisible(XPLMWindowID inWindowID, int inIsVisible) {
  if (skyhost::WindowRec *w = cur().findWindow(inWindowID)) w->pub.visible = inIsVisible != 0;
}

void *XPLMGetWindowRefCon(XPLMWindowID inWindowID) {
  skyhost::WindowRec *w = cur().findWindow(inWindowID);
  return w ? w->pub.refcon : nullptr;
}

void XPLMSetWindowRefCon(XPLMWindowID inWindowID, void *inRefcon) {
  if (skyhost::WindowRec *w = cur().findWindow(inWindowID)) w->pub.refcon = inRefcon;
}

void XPLMTakeKeyboardFocus(XPLMWindowID inWindow) {
  cur().setKeyboardFocus(inWindow);
}

int XPLMHasKeyboardFocus(XPLMWindowID inWindow) {
  auto &h = cur();
  // A widget takes the keyboard through the window it lives in.
  if (!inWindow && h.widgetFocus) return 0;
  return h.focus == inWindow ? 1 : 0;
}

void XPLMBringWindowToFront(XPLMWindowID inWindow) {
  auto &h = cur();
  if (!h.findWindow(inWindow)) return;
  h.zOrder.erase(std::remove(h.zOrder.begin(), h.zOrder.end(), inWindow), h.zOrder.end());
  h.zOrder.push_back(inWindow);
}

int XPLMIsWindowInFront(XPLMWindowID inWindow) {
  auto &h = cur();
  return !h.zOrder.empty() && h.zOrder.back() == inWindow ? 1 : 0;
}
