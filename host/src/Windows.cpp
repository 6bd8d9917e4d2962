// Windows, keyboard focus and routing, key sniffers, and the mouse.

#include <algorithm>
#include <cctype>
#include <cstring>

#include "HostImpl.h"

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

bool shifted(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') || (u < 128 && std::strchr("~!@#$%^&*()_+{}|:\"<>?", u) && u != 0);
}

}  // namespace

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

XPLMWindowID Host::mouse(int x, int y, XPLMMouseStatus status) {
  Impl &h = *impl_;
  h.mouseX = x;
  h.mouseY = y;
  if (status == xplm_MouseDown) {
    h.mouseOwner = nullptr;
    std::vector<XPLMWindowID> order(h.zOrder.rbegin(), h.zOrder.rend());  // topmost first
    for (XPLMWindowID id : order) {
      WindowRec *w = h.findWindow(id);
      if (!w || !w->pub.visible || !inside(w->pub, x, y) || !w->pub.mouseFn) continue;
      XPLMHandleMouseClick_f fn = w->pub.mouseFn;
      void *refcon = w->pub.refcon;
      int taken;
      {
        PluginCall call(h, w->owner);
        taken = fn(id, x, y, status, refcon);
      }
      if (taken) {
        if (h.findWindow(id)) h.mouseOwner = id;
        return id;
      }
    }
    return nullptr;
  }
  if (status != xplm_MouseDrag && status != xplm_MouseUp) return nullptr;
  XPLMWindowID id = h.mouseOwner;
  WindowRec *w = h.findWindow(id);
  if (status == xplm_MouseUp) h.mouseOwner = nullptr;
  if (!w) {
    h.mouseOwner = nullptr;
    return nullptr;
  }
  if (w->pub.mouseFn) {
    XPLMHandleMouseClick_f fn = w->pub.mouseFn;
    void *refcon = w->pub.refcon;
    PluginCall call(h, w->owner);
    fn(id, x, y, status, refcon);
  }
  return id;
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
  skyhost::WindowRec *w = cur().findWindow(inWindowID);
  if (outLeft) *outLeft = w ? w->pub.left : 0;
  if (outTop) *outTop = w ? w->pub.top : 0;
  if (outRight) *outRight = w ? w->pub.right : 0;
  if (outBottom) *outBottom = w ? w->pub.bottom : 0;
}

void XPLMSetWindowGeometry(XPLMWindowID inWindowID, int inLeft, int inTop, int inRight, int inBottom) {
  if (skyhost::WindowRec *w = cur().findWindow(inWindowID)) {
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
