// Widgets: the tree, properties, message dispatch, keyboard focus, and the standard classes'
// behaviour (buttons and text fields) that the harness drives with clicks and typing.

#include <algorithm>
#include <stdexcept>

#include "HostImpl.h"
#include "XPStandardWidgets.h"

namespace skyhost {

namespace {

intptr_t prop(const WidgetRec &r, int id) {
  auto it = r.pub.properties.find(id);
  return it == r.pub.properties.end() ? 0 : it->second;
}

// Runs the widget's callbacks, newest first, until one handles the message (all of them with
// `all`, only the newest with `once`). Each callback may destroy the widget or add callbacks.
int dispatchDirect(Host::Impl &h, XPWidgetID w, XPWidgetMessage msg, intptr_t p1, intptr_t p2, bool all,
                   bool once) {
  WidgetRec *r = h.findWidget(w);
  if (!r) return 0;
  const std::vector<XPWidgetFunc_t> callbacks = r->pub.callbacks;
  int handled = 0;
  for (XPWidgetFunc_t fn : callbacks) {
    if (!h.findWidget(w)) break;
    int res;
    {
      PluginCall call(h, h.ownerOfCode(reinterpret_cast<void *>(fn)));
      res = fn(msg, w, p1, p2);
    }
    if (res) {
      handled = 1;
      if (!all) break;
    }
    if (once) break;
  }
  return handled;
}

bool isInside(const Host::Impl &h, XPWidgetID w, XPWidgetID ancestor) {
  int guard = 0;
  for (const WidgetRec *r = h.findWidget(w); r && guard < 10000; r = h.findWidget(r->pub.container), ++guard)
    if (r->pub.id == ancestor) return true;
  return false;
}

bool contains(const Host::Widget &w, int x, int y) {
  return x >= w.left && x <= w.right && y >= w.bottom && y <= w.top;
}

void detachFromParent(Host::Impl &h, XPWidgetID w) {
  WidgetRec *r = h.findWidget(w);
  if (!r) return;
  if (WidgetRec *p = h.findWidget(r->pub.container)) {
    auto &kids = p->pub.children;
    kids.erase(std::remove(kids.begin(), kids.end(), w), kids.end());
  }
  r->pub.container = nullptr;
}

int plainClassFunc(XPWidgetMessage, XPWidgetID, intptr_t, intptr_t) {
  return 0;
}

int buttonClassFunc(XPWidgetMessage msg, XPWidgetID w, intptr_t, intptr_t) {
  Host::Impl &h = cur();
  if (msg == xpMsg_MouseDown) return 1;
  if (msg != xpMsg_MouseUp) return 0;
  WidgetRec *r = h.findWidget(w);
  if (!r) return 1;
  const intptr_t behavior = prop(*r, xpProperty_ButtonBehavior);
  const intptr_t id = reinterpret_cast<intptr_t>(w);
  if (behavior == xpButtonBehaviorCheckBox) {
    const intptr_t state = prop(*r, xpProperty_ButtonState) ? 0 : 1;
    r->pub.properties[xpProperty_ButtonState] = state;
    h.sendWidgetMessage(w, xpMsg_ButtonStateChanged, xpMode_UpChain, id, state);
  } else if (behavior == xpButtonBehaviorRadioButton) {
    // A radio button only turns on: pressing one that is on already says nothing.
    if (prop(*r, xpProperty_ButtonState) == 1) return 1;
    r->pub.properties[xpProperty_ButtonState] = 1;
    h.sendWidgetMessage(w, xpMsg_ButtonStateChanged, xpMode_UpChain, id, 1);
  } else {
    h.sendWidgetMessage(w, xpMsg_PushButtonPressed, xpMode_UpChain, id, 0);
  }
  return 1;
}

int textFieldClassFunc(XPWidgetMessage msg, XPWidgetID w, intptr_t p1, intptr_t) {
  Host::Impl &h = cur();
  switch (msg) {
    case xpMsg_KeyTakeFocus:
    case xpMsg_KeyLoseFocus:
    case xpMsg_MouseUp:
      return 1;
    case xpMsg_MouseDown:
      h.setWidgetFocus(w);
      return 1;
    case xpMsg_KeyPress: {
      const auto *key = reinterpret_cast<const XPKeyState_t *>(p1);
      WidgetRec *r = h.findWidget(w);
      if (!key || !r) return 0;
      const unsigned char code = static_cast<unsigned char>(key->key);
      const bool edit = code == 8 || code == 127 || (code >= 32 && code <= 126);
      if (!edit) return 0;  // Return, Tab and the rest go on to whoever wants them
      if (!(key->flags & xplm_DownFlag)) return 1;
      std::string text = r->pub.descriptor;
      if (code == 8 || code == 127) {
        if (text.empty()) return 1;
        text.pop_back();
      } else {
        const intptr_t max = prop(*r, xpProperty_MaxCharacters);
        if (max > 0 && static_cast<intptr_t>(text.size()) >= max) return 1;
        text.push_back(static_cast<char>(code));
      }
      r->pub.descriptor = text;
      r->pub.properties[xpProperty_EditFieldSelStart] = static_cast<intptr_t>(text.size());
      r->pub.properties[xpProperty_EditFieldSelEnd] = static_cast<intptr_t>(text.size());
      h.sendWidgetMessage(w, xpMsg_TextFieldChanged, xpMode_UpChain, reinterpret_cast<intptr_t>(w), 0);
      return 1;
    }
    default:
      return 0;
  }
}

XPWidgetID createWidget(Host::Impl &h, int left, int top, int right, int bottom, int visible,
                        const char *descriptor, int isRoot, XPWidgetID container, int cls,
                        XPWidgetFunc_t base) {
  WidgetRec r{};
  Host::Widget &w = r.pub;
  w.id = newHandle(kWidgetHandleBase);
  w.left = left;
  w.top = top;
  w.right = right;
  w.bottom = bottom;
  w.visible = visible != 0;
  w.descriptor = descriptor ? descriptor : "";
  w.isRoot = isRoot != 0;
  w.container = h.findWidget(container) ? container : nullptr;
  w.widgetClass = cls;
  if (base) w.callbacks.push_back(base);
  // Properties hold only what was set, by the plugin or by the widget's own behaviour.
  r.owner = h.caller();
  const XPWidgetID id = w.id;
  const XPWidgetID parent = w.container;
  h.widgets.emplace(id, r);
  h.widgetOrder.push_back(id);
  if (WidgetRec *p = h.findWidget(parent)) p->pub.children.push_back(id);
  if (!parent) h.rootOrder.push_back(id);
  h.logRegistration("create widget " + pointerText(id) + " class " + std::to_string(cls) + " \"" +
                    (descriptor ? descriptor : "") + "\"");
  // With native widget windows every root lives in a modern window of its own, in global boxels.
  const PluginRec *plugin = h.plugin(h.caller());
  if (!parent && plugin && plugin->nativeWidgets) {
    WindowRec win{};
    win.pub.id = newHandle(kWindowHandleBase);
    win.pub.modern = true;
    win.pub.layer = xplm_WindowLayerFloatingWindows;
    win.pub.decoration = xplm_WindowDecorationRoundRectangle;
    win.pub.positioning = xplm_WindowPositionFree;
    win.pub.widgetRoot = id;
    win.owner = h.caller();
    h.windows.push_back(win);
    h.zOrder.push_back(win.pub.id);
    WidgetRec &made = *h.findWidget(id);
    made.window = win.pub.id;
    h.syncWidgetWindow(made);
  }
  dispatchDirect(h, id, xpMsg_Create, 0, 0, false, false);
  return id;
}

XPWidgetID rootOf(const Host::Impl &h, XPWidgetID w) {
  XPWidgetID root = nullptr;
  int guard = 0;
  for (const WidgetRec *r = h.findWidget(w); r && guard < 10000; r = h.findWidget(r->pub.container), ++guard)
    if (r->pub.isRoot || !h.findWidget(r->pub.container)) root = r->pub.id;
  return root;
}

}  // namespace

XPWidgetFunc_t standardClassFunc(XPWidgetClass cls) {
  switch (cls) {
    case xpWidgetClass_Button:
      return buttonClassFunc;
    case xpWidgetClass_TextField:
      return textFieldClassFunc;
    case xpWidgetClass_MainWindow:
    case xpWidgetClass_SubWindow:
    case xpWidgetClass_ScrollBar:
    case xpWidgetClass_Caption:
    case xpWidgetClass_GeneralGraphics:
    case xpWidgetClass_Progress:
      return plainClassFunc;
    default:
      return nullptr;
  }
}

WidgetRec *Host::Impl::findWidget(XPWidgetID id) {
  auto it = widgets.find(id);
  return it == widgets.end() ? nullptr : &it->second;
}

const WidgetRec *Host::Impl::findWidget(XPWidgetID id) const {
  auto it = widgets.find(id);
  return it == widgets.end() ? nullptr : &it->second;
}

int Host::Impl::sendWidgetMessage(XPWidgetID w, XPWidgetMessage msg, XPDispatchMode mode, intptr_t p1,
                                  intptr_t p2) {
  switch (mode) {
    case xpMode_Direct:
      return dispatchDirect(*this, w, msg, p1, p2, false, false);
    case xpMode_DirectAllCallbacks:
      return dispatchDirect(*this, w, msg, p1, p2, true, false);
    case xpMode_Once:
      return dispatchDirect(*this, w, msg, p1, p2, false, true);
    case xpMode_UpChain: {
      int guard = 0;
      for (XPWidgetID at = w; at && guard < 10000; ++guard) {
        if (dispatchDirect(*this, at, msg, p1, p2, false, false)) return 1;
        WidgetRec *r = findWidget(at);
        at = r ? r->pub.container : nullptr;
      }
      return 0;
    }
    case xpMode_Recursive: {
      int handled = dispatchDirect(*this, w, msg, p1, p2, false, false);
      WidgetRec *r = findWidget(w);
      if (!r) return handled;
      const std::vector<XPWidgetID> kids = r->pub.children;
      for (XPWidgetID k : kids) handled |= sendWidgetMessage(k, msg, mode, p1, p2);
      return handled;
    }
    default:
      return 0;
  }
}

void Host::Impl::syncWidgetWindow(const WidgetRec &root) {
  WindowRec *w = findWindow(root.window);
  if (!w) return;
  w->pub.left = std::min(root.pub.left, root.pub.right);
  w->pub.right = std::max(root.pub.left, root.pub.right);
  w->pub.bottom = std::min(root.pub.bottom, root.pub.top);
  w->pub.top = std::max(root.pub.bottom, root.pub.top);
  w->pub.visible = root.pub.visible;
}

bool Host::Impl::widgetReachable(XPWidgetID id) const {
  if (!self->widgetShown(id)) return false;
  const WidgetRec *root = findWidget(rootOf(*this, id));
  const WindowRec *w = root ? const_cast<Impl *>(this)->findWindow(root->window) : nullptr;
  if (!w) return !vr;  // an old-style widget window is never shown in VR
  const Host::Shown where = shown(*w);
  return where == Host::Shown::Screen || where == Host::Shown::PopOut || where == Host::Shown::VR;
}

void Host::Impl::removeWidgetQuietly(XPWidgetID w) {
  WidgetRec *r = findWidget(w);
  if (!r) return;
  if (r->window) {
    if (focus == r->window) focus = nullptr;
    if (mouseOwner == r->window) mouseOwner = nullptr;
    destroyWindow(r->window);
    r->window = nullptr;
  }
  const std::vector<XPWidgetID> kids = r->pub.children;
  for (XPWidgetID k : kids) {
    if (WidgetRec *kr = findWidget(k)) {
      kr->pub.container = nullptr;
      rootOrder.push_back(k);
    }
  }
  detachFromParent(*this, w);
  if (widgetFocus == w) widgetFocus = nullptr;
  widgets.erase(w);
  widgetOrder.erase(std::remove(widgetOrder.begin(), widgetOrder.end(), w), widgetOrder.end());
  rootOrder.erase(std::remove(rootOrder.begin(), rootOrder.end(), w), rootOrder.end());
}

void Host::Impl::destroyWidget(XPWidgetID w, bool children, bool fromParent) {
  WidgetRec *r = findWidget(w);
  if (!r || r->dying) return;
  r->dying = true;
  dispatchDirect(*this, w, xpMsg_Destroy, fromParent ? 1 : 0, 0, true, false);
  r = findWidget(w);
  if (!r) return;
  if (children) {
    const std::vector<XPWidgetID> kids = r->pub.children;
    for (XPWidgetID k : kids) destroyWidget(k, true, true);
  }
  removeWidgetQuietly(w);
}

XPWidgetID Host::Impl::setWidgetFocus(XPWidgetID w) {
  if (!w || !findWidget(w)) {
    XPWidgetID old = widgetFocus;
    widgetFocus = nullptr;
    if (old) dispatchDirect(*this, old, xpMsg_KeyLoseFocus, 0, 0, false, false);
    return nullptr;
  }
  XPWidgetID target = nullptr;
  int guard = 0;
  for (XPWidgetID at = w; at && guard < 10000; ++guard) {
    if (dispatchDirect(*this, at, xpMsg_KeyTakeFocus, at != w ? 1 : 0, 0, false, false)) {
      target = at;
      break;
    }
    WidgetRec *r = findWidget(at);
    at = r ? r->pub.container : nullptr;
  }
  if (target == widgetFocus) return target;
  XPWidgetID old = widgetFocus;
  widgetFocus = target;
  if (target && focus) {  // the widget's window takes the keyboard from the plugin's window
    XPLMWindowID lost = focus;
    focus = nullptr;
    if (WindowRec *win = findWindow(lost)) {
      if (win->pub.keyFn) {
        XPLMHandleKey_f fn = win->pub.keyFn;
        void *refcon = win->pub.refcon;
        PluginCall call(*this, win->owner);
        fn(lost, 0, 0, 0, refcon, 1);
      }
    }
  }
  if (old) dispatchDirect(*this, old, xpMsg_KeyLoseFocus, target ? 1 : 0, 0, false, false);
  return target;
}

// ---- harness ----

std::vector<Host::Widget> Host::widgets() const {
  std::vector<Widget> out;
  for (XPWidgetID id : impl_->widgetOrder)
    if (const WidgetRec *r = impl_->findWidget(id)) out.push_back(r->pub);
  return out;
}

bool Host::widgetExists(XPWidgetID id) const {
  return impl_->findWidget(id) != nullptr;
}

Host::Widget Host::widget(XPWidgetID id) const {
  const WidgetRec *r = impl_->findWidget(id);
  if (!r) throw std::invalid_argument("simulated host: no widget " + pointerText(id));
  return r->pub;
}

XPWidgetID Host::findWidget(const std::string &descriptor) const {
  for (XPWidgetID id : impl_->widgetOrder) {
    const WidgetRec *r = impl_->findWidget(id);
    if (r && r->pub.descriptor == descriptor) return id;
  }
  return nullptr;
}

bool Host::widgetShown(XPWidgetID id) const {
  int guard = 0;
  const WidgetRec *r = impl_->findWidget(id);
  if (!r) return false;
  for (; r && guard < 10000; r = impl_->findWidget(r->pub.container), ++guard)
    if (!r->pub.visible) return false;
  return true;
}

bool Host::clickWidget(XPWidgetID id) {
  Impl &h = *impl_;
  if (!h.widgetReachable(id)) return false;
  const Widget w = h.findWidget(id)->pub;
  XPMouseState_t mouse{(w.left + w.right) / 2, (w.top + w.bottom) / 2, 0, 0};
  h.sendWidgetMessage(id, xpMsg_MouseDown, xpMode_UpChain, reinterpret_cast<intptr_t>(&mouse), 0);
  if (h.findWidget(id))
    h.sendWidgetMessage(id, xpMsg_MouseUp, xpMode_UpChain, reinterpret_cast<intptr_t>(&mouse), 0);
  return true;
}

bool Host::typeIntoWidget(XPWidgetID id, const std::string &text) {
  Impl &h = *impl_;
  if (!h.widgetReachable(id)) return false;
  if (h.setWidgetFocus(id) != id) return false;
  type(text);
  return true;
}

bool Host::pressCloseBox(XPWidgetID mainWindow) {
  Impl &h = *impl_;
  if (!h.widgetReachable(mainWindow) || h.findWidget(mainWindow)->pub.widgetClass != xpWidgetClass_MainWindow)
    return false;
  // Only a main window made with close boxes has one to press.
  if (prop(*h.findWidget(mainWindow), xpProperty_MainWindowHasCloseBoxes) != 1) return false;
  h.sendWidgetMessage(mainWindow, xpMessage_CloseButtonPushed, xpMode_UpChain,
                      reinterpret_cast<intptr_t>(mainWindow), 0);
  return true;
}

}  // namespace skyhost

using skyhost::cur;
using skyhost::WidgetRec;

XPWidgetID XPCreateWidget(int inLeft, int inTop, int inRight, int inBottom, int inVisible,
                          const char *inDescriptor, int inIsRoot, XPWidgetID inContainer,
                          XPWidgetClass inClass) {
  return skyhost::createWidget(cur(), inLeft, inTop, inRight, inBottom, inVisible, inDescriptor, inIsRoot,
                               inContainer, inClass, skyhost::standardClassFunc(inClass));
}

XPWidgetID XPCreateCustomWidget(int inLeft, int inTop, int inRight, int inBottom, int inVisible,
                                const char *inDescriptor, int inIsRoot, XPWidgetID inContainer,
                                XPWidgetFunc_t inCallback) {
  return skyhost::createWidget(cur(), inLeft, inTop, inRight, inBottom, inVisible, inDescriptor, inIsRoot,
                               inContainer, -1, inCallback);
}

void XPDestroyWidget(XPWidgetID inWidget, int inDestroyChildren) {
  auto &h = cur();
  if (h.findWidget(inWidget))
    h.logRegistration("destroy widget " + skyhost::pointerText(inWidget) +
                      (inDestroyChildren ? " with children" : ""));
  h.destroyWidget(inWidget, inDestroyChildren != 0, false);
}

int XPSendMessageToWidget(XPWidgetID inWidget, XPWidgetMessage inMessage, XPDispatchMode inMode,
                          intptr_t inParam1, intptr_t inParam2) {
  return cur().sendWidgetMessage(inWidget, inMessage, inMode, inParam1, inParam2);
}

void XPPlaceWidgetWithin(XPWidgetID inSubWidget, XPWidgetID inContainer) {
  auto &h = cur();
  WidgetRec *sub = h.findWidget(inSubWidget);
  if (!sub) return;
  if (inContainer && (!h.findWidget(inContainer) || skyhost::isInside(h, inContainer, inSubWidget)))
    return;  // no cycles
  const bool wasRoot = !sub->pub.container;
  skyhost::detachFromParent(h, inSubWidget);
  if (wasRoot)
    h.rootOrder.erase(std::remove(h.rootOrder.begin(), h.rootOrder.end(), inSubWidget), h.rootOrder.end());
  if (WidgetRec *c = h.findWidget(inContainer)) {
    sub->pub.container = inContainer;
    c->pub.children.push_back(inSubWidget);
  } else {
    h.rootOrder.push_back(inSubWidget);
  }
}

int XPCountChildWidgets(XPWidgetID inWidget) {
  WidgetRec *r = cur().findWidget(inWidget);
  return r ? static_cast<int>(r->pub.children.size()) : 0;
}

XPWidgetID XPGetNthChildWidget(XPWidgetID inWidget, int inIndex) {
  WidgetRec *r = cur().findWidget(inWidget);
  if (!r || inIndex < 0 || inIndex >= static_cast<int>(r->pub.children.size())) return nullptr;
  return r->pub.children[static_cast<size_t>(inIndex)];
}

XPWidgetID XPGetParentWidget(XPWidgetID inWidget) {
  WidgetRec *r = cur().findWidget(inWidget);
  return r ? r->pub.container : nullptr;
}

void XPShowWidget(XPWidgetID inWidget) {
  auto &h = cur();
  if (WidgetRec *r = h.findWidget(inWidget)) {
    r->pub.visible = true;
    h.syncWidgetWindow(*r);
  }
}

void XPHideWidget(XPWidgetID inWidget) {
  auto &h = cur();
  WidgetRec *r = h.findWidget(inWidget);
  if (!r) return;
  r->pub.visible = false;
  h.syncWidgetWindow(*r);
  if (h.widgetFocus && skyhost::isInside(h, h.widgetFocus, inWidget)) h.setWidgetFocus(nullptr);
}

int XPIsWidgetVisible(XPWidgetID inWidget) {
  // Visible only when the widget and every container up to its root are.
  return cur().self->widgetShown(inWidget) ? 1 : 0;
}

XPWidgetID XPFindRootWidget(XPWidgetID inWidget) {
  return skyhost::rootOf(cur(), inWidget);
}

void XPBringRootWidgetToFront(XPWidgetID inWidget) {
  auto &h = cur();
  XPWidgetID root = skyhost::rootOf(h, inWidget);
  if (!root) return;
  auto &order = h.rootOrder;
  order.erase(std::remove(order.begin(), order.end(), root), order.end());
  order.push_back(root);
}

int XPIsWidgetInFront(XPWidgetID inWidget) {
  auto &h = cur();
  XPWidgetID root = skyhost::rootOf(h, inWidget);
  return root && !h.rootOrder.empty() && h.rootOrder.back() == root ? 1 : 0;
}

void XPGetWidgetGeometry(XPWidgetID inWidget, int *outLeft, int *outTop, int *outRight, int *outBottom) {
  WidgetRec *r = cur().findWidget(inWidget);
  if (outLeft) *outLeft = r ? r->pub.left : 0;
  if (outTop) *outTop = r ? r->pub.top : 0;
  if (outRight) *outRight = r ? r->pub.right : 0;
  if (outBottom) *outBottom = r ? r->pub.bottom : 0;
}

void XPSetWidgetGeometry(XPWidgetID inWidget, int inLeft, int inTop, int inRight, int inBottom) {
  auto &h = cur();
  if (WidgetRec *r = h.findWidget(inWidget)) {
    r->pub.left = inLeft;
    r->pub.top = inTop;
    r->pub.right = inRight;
    r->pub.bottom = inBottom;
    h.syncWidgetWindow(*r);
  }
}

XPWidgetID XPGetWidgetForLocation(XPWidgetID inContainer, int inXOffset, int inYOffset, int inRecursive,
                                  int inVisibleOnly) {
  auto &h = cur();
  WidgetRec *r = h.findWidget(inContainer);
  if (!r || (inVisibleOnly && !r->pub.visible) || !skyhost::contains(r->pub, inXOffset, inYOffset))
    return nullptr;
  const std::vector<XPWidgetID> kids = r->pub.children;
  for (auto it = kids.rbegin(); it != kids.rend(); ++it) {  // later children lie on top
    WidgetRec *k = h.findWidget(*it);
    if (!k || (inVisibleOnly && !k->pub.visible) || !skyhost::contains(k->pub, inXOffset, inYOffset))
      continue;
    return inRecursive ? XPGetWidgetForLocation(*it, inXOffset, inYOffset, 1, inVisibleOnly) : *it;
  }
  return inContainer;
}

void XPGetWidgetExposedGeometry(XPWidgetID inWidgetID, int *outLeft, int *outTop, int *outRight,
                                int *outBottom) {
  auto &h = cur();
  WidgetRec *r = h.findWidget(inWidgetID);
  int l = 0, t = 0, rt = 0, b = 0;
  if (r) {
    l = r->pub.left, t = r->pub.top, rt = r->pub.right, b = r->pub.bottom;
    int guard = 0;
    for (WidgetRec *p = h.findWidget(r->pub.container); p && guard < 10000;
         p = h.findWidget(p->pub.container), ++guard) {
      l = std::max(l, p->pub.left);
      t = std::min(t, p->pub.top);
      rt = std::min(rt, p->pub.right);
      b = std::max(b, p->pub.bottom);
    }
  }
  if (outLeft) *outLeft = l;
  if (outTop) *outTop = t;
  if (outRight) *outRight = rt;
  if (outBottom) *outBottom = b;
}

void XPSetWidgetDescriptor(XPWidgetID inWidget, const char *inDescriptor) {
  if (WidgetRec *r = cur().findWidget(inWidget)) r->pub.descriptor = inDescriptor ? inDescriptor : "";
}

int XPGetWidgetDescriptor(XPWidgetID inWidget, char *outDescriptor, int inMaxDescLength) {
  WidgetRec *r = cur().findWidget(inWidget);
  const std::string text = r ? r->pub.descriptor : std::string();
  const int length = static_cast<int>(text.size());
  if (!outDescriptor) return length;
  const int n = std::max(0, std::min(length, inMaxDescLength));
  text.copy(outDescriptor, static_cast<size_t>(n));
  outDescriptor[n] = '\0';
  return length;
}

// Widgets here are not drawn into host windows of their own.
XPLMWindowID XPGetWidgetUnderlyingWindow(XPWidgetID inWidget) {
  auto &h = cur();
  const WidgetRec *root = h.findWidget(skyhost::rootOf(h, inWidget));
  return root ? root->window : nullptr;
}

void XPSetWidgetProperty(XPWidgetID inWidget, XPWidgetPropertyID inProperty, intptr_t inValue) {
  if (WidgetRec *r = cur().findWidget(inWidget)) r->pub.properties[inProperty] = inValue;
}

intptr_t XPGetWidgetProperty(XPWidgetID inWidget, XPWidgetPropertyID inProperty, int *inExists) {
  WidgetRec *r = cur().findWidget(inWidget);
  if (r) {
    auto it = r->pub.properties.find(inProperty);
    if (it != r->pub.properties.end()) {
      if (inExists) *inExists = 1;
      return it->second;
    }
  }
  if (inExists) *inExists = 0;
  return 0;
}

XPWidgetID XPSetKeyboardFocus(XPWidgetID inWidget) {
  return cur().setWidgetFocus(inWidget);
}

void XPLoseKeyboardFocus(XPWidgetID inWidget) {
  auto &h = cur();
  if (h.widgetFocus && skyhost::isInside(h, h.widgetFocus, inWidget)) h.setWidgetFocus(nullptr);
}

XPWidgetID XPGetWidgetWithFocus(void) {
  return cur().widgetFocus;
}

void XPAddWidgetCallback(XPWidgetID inWidget, XPWidgetFunc_t inNewCallback) {
  WidgetRec *r = cur().findWidget(inWidget);
  if (!r || !inNewCallback) return;
  r->pub.callbacks.insert(r->pub.callbacks.begin(), inNewCallback);
}

XPWidgetFunc_t XPGetWidgetClassFunc(XPWidgetClass inWidgetClass) {
  return skyhost::standardClassFunc(inWidgetClass);
}
