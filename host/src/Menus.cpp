// Menus: the plugins menu, submenus attached to items, and picking an item.

#include <algorithm>
#include <functional>
#include <sstream>

#include "HostImpl.h"
#include "System.h"

namespace skyhost {

namespace {

const char *checkText(int check) {
  switch (check) {
    case xplm_Menu_Unchecked:
      return " [unchecked]";
    case xplm_Menu_Checked:
      return " [checked]";
    default:
      return "";
  }
}

}  // namespace

// Reads only inside a mapped, readable segment and never past the first NUL, so any pointer is
// safe to show; the sanitizer would otherwise object to probing past a non-text object.
__attribute__((no_sanitize("address"))) std::string textAtPointer(const void *p) {
  if (!p) return "";
  const size_t limit = sys::readableBytes(p, 64);
  if (limit == 0) return "";
  const char *s = static_cast<const char *>(p);
  std::string out;
  for (size_t i = 0; i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == 0) return out;
    if (c < 32 || c > 126) return "";
    out.push_back(static_cast<char>(c));
  }
  return "";
}

MenuRec *Host::Impl::findMenu(XPLMMenuID id) {
  if (!id) return nullptr;
  for (auto &m : menus)
    if (m.id == id) return &m;
  return nullptr;
}

void Host::Impl::destroyMenu(XPLMMenuID id) {
  MenuRec *m = findMenu(id);
  if (!m || id == pluginsMenu) return;
  std::vector<XPLMMenuID> subs;
  for (const auto &it : m->items)
    if (it.pub.submenu) subs.push_back(it.pub.submenu);
  if (MenuRec *parent = findMenu(m->parent)) {
    for (auto &it : parent->items)
      if (it.pub.submenu == id) it.pub.submenu = nullptr;
  }
  menus.erase(std::remove_if(menus.begin(), menus.end(), [id](const MenuRec &r) { return r.id == id; }),
              menus.end());
  for (XPLMMenuID s : subs) destroyMenu(s);
}

std::string Host::Impl::menuTree() const {
  std::ostringstream out;
  auto *self = const_cast<Host::Impl *>(this);
  std::vector<XPLMMenuID> seen;
  std::function<void(XPLMMenuID, int)> walk = [&](XPLMMenuID id, int depth) {
    MenuRec *m = self->findMenu(id);
    if (!m || std::find(seen.begin(), seen.end(), id) != seen.end()) return;
    seen.push_back(id);
    const std::string pad(static_cast<size_t>(depth) * 2, ' ');
    out << pad << m->name << "  (menu " << pointerText(m->id) << ", ref " << pointerText(m->menuRef) << ")\n";
    for (size_t i = 0; i < m->items.size(); ++i) {
      const MenuItem &it = m->items[i].pub;
      out << pad << "  " << i << ": ";
      if (it.separator) {
        out << "----\n";
        continue;
      }
      out << it.name << "  [ref " << pointerText(it.itemRef);
      std::string text = textAtPointer(it.itemRef);
      if (!text.empty()) out << " \"" << text << "\"";
      out << "]" << checkText(it.check) << (it.enabled ? "" : " [disabled]") << "\n";
      if (it.submenu) walk(it.submenu, depth + 2);
    }
  };
  walk(pluginsMenu, 0);
  for (const auto &m : menus)
    if (!m.parent && m.id != pluginsMenu) walk(m.id, 0);
  for (const auto &m : menus)  // menus whose parent item went away
    if (std::find(seen.begin(), seen.end(), m.id) == seen.end()) walk(m.id, 0);
  return out.str();
}

XPLMMenuID Host::pluginsMenu() const {
  return impl_->pluginsMenu;
}

std::vector<Host::Menu> Host::menus() const {
  std::vector<Menu> out;
  for (const auto &m : impl_->menus) {
    Menu pub{m.id, m.name, m.parent, m.parentItem, m.handler, m.menuRef, {}};
    for (const auto &it : m.items) pub.items.push_back(it.pub);
    out.push_back(pub);
  }
  return out;
}

std::string Host::menuTree() const {
  return impl_->menuTree();
}

bool Host::pickMenu(const std::vector<std::string> &path) {
  Impl &h = *impl_;
  if (path.empty()) return false;
  MenuRec *menu = h.findMenu(h.pluginsMenu);
  size_t k = 0;
  auto itemNamed = [](MenuRec *m, const std::string &name) -> int {
    for (size_t i = 0; i < m->items.size(); ++i)
      if (!m->items[i].pub.separator && m->items[i].pub.name == name) return static_cast<int>(i);
    return -1;
  };
  if (itemNamed(menu, path[0]) < 0) {  // a menu of the menu bar, named by its title
    menu = nullptr;
    for (auto &m : h.menus)
      if (!m.parent && m.id != h.pluginsMenu && m.name == path[0]) menu = &m;
    if (!menu) return false;
    k = 1;
  }
  while (k < path.size()) {
    int index = itemNamed(menu, path[k]);
    if (index < 0) return false;
    const MenuItem item = menu->items[static_cast<size_t>(index)].pub;
    if (!item.enabled) return false;
    if (k + 1 == path.size()) {
      if (item.submenu) return false;  // opening a submenu picks nothing
      if (!menu->handler) return false;
      XPLMMenuHandler_f fn = menu->handler;
      void *menuRef = menu->menuRef;
      PluginCall call(h, menu->owner ? menu->owner : menu->items[static_cast<size_t>(index)].owner);
      fn(menuRef, item.itemRef);
      return true;
    }
    MenuRec *sub = h.findMenu(item.submenu);
    if (!sub) return false;
    ++k;
    if (itemNamed(sub, path[k]) < 0 && sub->name == path[k]) ++k;  // the submenu's title, optional
    menu = sub;
    if (k == path.size()) return false;
  }
  return false;
}

}  // namespace skyhost

using skyhost::cur;
using skyhost::pointerText;

XPLMMenuID XPLMFindPluginsMenu(void) {
  return cur().pluginsMenu;
}

XPLMMenuID XPLMCreateMenu(const char *inName, XPLMMenuID inParentMenu, int inParentItem,
                          XPLMMenuHandler_f inHandler, void *inMenuRef) {
  auto &h = cur();
  skyhost::MenuRec *parent = nullptr;
  if (inParentMenu) {
    parent = h.findMenu(inParentMenu);
    if (!parent || inParentItem < 0 || inParentItem >= static_cast<int>(parent->items.size())) return nullptr;
  }
  skyhost::MenuRec m{};
  m.id = skyhost::newHandle(skyhost::kMenuHandleBase);
  m.name = inName ? inName : "";
  m.parent = inParentMenu;
  m.parentItem = inParentItem;
  m.handler = inHandler;
  m.menuRef = inMenuRef;
  m.owner = h.caller();
  if (parent) {
    XPLMMenuID old = parent->items[static_cast<size_t>(inParentItem)].pub.submenu;
    parent->items[static_cast<size_t>(inParentItem)].pub.submenu = m.id;
    if (old) h.destroyMenu(old);
  }
  h.menus.push_back(m);
  h.logRegistration("create menu \"" + m.name + "\" " + pointerText(m.id));
  return m.id;
}

void XPLMDestroyMenu(XPLMMenuID inMenuID) {
  auto &h = cur();
  skyhost::MenuRec *m = h.findMenu(inMenuID);
  if (!m || inMenuID == h.pluginsMenu) return;
  h.logRegistration("destroy menu \"" + m->name + "\" " + pointerText(inMenuID));
  h.destroyMenu(inMenuID);
}

void XPLMClearAllMenuItems(XPLMMenuID inMenuID) {
  auto &h = cur();
  skyhost::MenuRec *m = h.findMenu(inMenuID);
  if (!m) return;
  std::vector<XPLMMenuID> subs;
  for (const auto &it : m->items)
    if (it.pub.submenu) subs.push_back(it.pub.submenu);
  m->items.clear();
  for (XPLMMenuID s : subs) h.destroyMenu(s);
}

int XPLMAppendMenuItem(XPLMMenuID inMenu, const char *inItemName, void *inItemRef, int inForceEnglish) {
  auto &h = cur();
  skyhost::MenuRec *m = h.findMenu(inMenu);
  if (!m) return -1;
  skyhost::ItemRec it{};
  it.pub.name = inItemName ? inItemName : "";
  it.pub.itemRef = inItemRef;
  it.pub.forceEnglish = inForceEnglish != 0;
  it.pub.enabled = true;
  it.pub.check = xplm_Menu_NoCheck;
  it.owner = h.caller();
  m->items.push_back(it);
  return static_cast<int>(m->items.size()) - 1;
}

void XPLMAppendMenuSeparator(XPLMMenuID inMenu) {
  auto &h = cur();
  skyhost::MenuRec *m = h.findMenu(inMenu);
  if (!m) return;
  skyhost::ItemRec it{};
  it.pub.separator = true;
  it.pub.enabled = true;
  it.owner = h.caller();
  m->items.push_back(it);
}

static skyhost::ItemRec *menuItem(XPLMMenuID inMenu, int index) {
  skyhost::MenuRec *m = cur().findMenu(inMenu);
  if (!m || index < 0 || index >= static_cast<int>(m->items.size())) return nullptr;
  return &m->items[static_cast<size_t>(index)];
}

void XPLMSetMenuItemName(XPLMMenuID inMenu, int inIndex, const char *inItemName, int inForceEnglish) {
  if (skyhost::ItemRec *it = menuItem(inMenu, inIndex)) {
    it->pub.name = inItemName ? inItemName : "";
    it->pub.forceEnglish = inForceEnglish != 0;
  }
}

void XPLMCheckMenuItem(XPLMMenuID inMenu, int index, XPLMMenuCheck inCheck) {
  if (skyhost::ItemRec *it = menuItem(inMenu, index)) it->pub.check = inCheck;
}

void XPLMCheckMenuItemState(XPLMMenuID inMenu, int index, XPLMMenuCheck *outCheck) {
  skyhost::ItemRec *it = menuItem(inMenu, index);
  if (outCheck) *outCheck = it ? it->pub.check : xplm_Menu_NoCheck;
}

void XPLMEnableMenuItem(XPLMMenuID inMenu, int index, int enabled) {
  if (skyhost::ItemRec *it = menuItem(inMenu, index)) it->pub.enabled = enabled != 0;
}

void XPLMRemoveMenuItem(XPLMMenuID inMenu, int inIndex) {
  auto &h = cur();
  skyhost::MenuRec *m = h.findMenu(inMenu);
  if (!m || inIndex < 0 || inIndex >= static_cast<int>(m->items.size())) return;
  XPLMMenuID sub = m->items[static_cast<size_t>(inIndex)].pub.submenu;
  m->items.erase(m->items.begin() + inIndex);
  // Submenus hang on items by index; the ones after the removed item move up with it.
  for (auto &other : h.menus)
    if (other.parent == inMenu && other.parentItem > inIndex) other.parentItem--;
  if (sub) h.destroyMenu(sub);
}
