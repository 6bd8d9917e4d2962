// Host construction, the current-host rule, and the plugin lifecycle.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "HostImpl.h"
#include "System.h"

namespace fs = std::filesystem;

namespace skyhost {

namespace {

// Process-wide lists are heap objects never destroyed, so hosts made or destroyed during static
// initialisation or exit (a plugin's globals, a test's statics) never see them gone.
std::vector<Host *> &liveHosts() {
  static auto *hosts = new std::vector<Host *>;
  return *hosts;
}
std::vector<Host::Impl *> &activeHosts() {
  static auto *hosts = new std::vector<Host::Impl *>;
  return *hosts;
}
Host *&defaultHost() {
  static Host *host = nullptr;
  return host;
}

std::string joinModelPath(const HostOptions &o, const std::string &root) {
  const std::string &sep = o.directorySeparator;
  return root + sep + "Aircraft" + sep + "General Aviation" + sep + "Cessna 172SP" + sep + o.userModelFile;
}

}  // namespace

void *newHandle(uintptr_t kindBase) {
  static uintptr_t next = 0;
  ++next;
  return reinterpret_cast<void *>(kindBase + next * 16);
}

std::string pointerText(const void *p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

PluginCall::PluginCall(Host::Impl &h, XPLMPluginID id) : h_(h) {
  // Plugin code run between frames holds up the next frame as much as code run inside one.
  if (h_.running.empty() && !h_.inFrame) h_.outsideStart = std::chrono::steady_clock::now();
  h_.running.push_back(id ? h_.plugin(id) : nullptr);
  activeHosts().push_back(&h_);
}

PluginCall::~PluginCall() {
  activeHosts().pop_back();
  h_.running.pop_back();
  if (h_.running.empty() && !h_.inFrame)
    h_.outsideSeconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - h_.outsideStart).count();
}

Host &Host::current() {
  auto &active = activeHosts();
  if (!active.empty()) return *active.back()->self;
  auto &live = liveHosts();
  if (!live.empty()) return *live.back();
  if (!defaultHost()) {
    HostOptions o;
    o.createPluginsFolder = false;
    defaultHost() = new Host(o);  // registers itself in liveHosts
  }
  return *defaultHost();
}

Host::Host(HostOptions options) : impl_(new Impl) {
  Impl &h = *impl_;
  h.self = this;
  h.options = std::move(options);
  std::error_code ec;
  if (h.options.root.empty()) {
    h.root = fs::current_path(ec).u8string();
  } else {
    // Paths are UTF-8 text: u8path reads them so on every system.
    fs::create_directories(fs::u8path(h.options.root), ec);
    fs::path abs = fs::absolute(fs::u8path(h.options.root), ec);
    h.root = fs::weakly_canonical(abs, ec).u8string();
    if (h.root.empty()) h.root = abs.u8string();
    if (!fs::is_directory(fs::u8path(h.root), ec)) throw std::runtime_error("simulated host: no root folder " + h.root);
    if (h.options.createPluginsFolder) fs::create_directories(fs::u8path(h.root) / "Resources" / "plugins", ec);
  }
  if (h.options.userModelPath.empty()) h.options.userModelPath = joinModelPath(h.options, h.root);
  if (!(h.options.interfaceScale >= 0.5 && h.options.interfaceScale <= 4))
    throw std::invalid_argument("simulated host: the interface scale must be 0.5 to 4");

  const auto &table = dataRefTable();
  h.values.resize(table.size());
  h.readOnlyWrites.assign(table.size(), 0);
  for (const DataRefDef *d : table) {
    if (d->type == xplmType_FloatArray) h.values[d->index].vf.assign(d->size, 0.0f);
    if (d->type == xplmType_IntArray) h.values[d->index].vi.assign(d->size, 0);
  }
  h.values[findDataRefDef("sim/graphics/view/view_type")->index].i = 1000;  // forward view with panel

  h.initProjection();
  double x, y, z;
  worldToLocal(h.options.startLatitude, h.options.startLongitude, h.options.startElevation, &x, &y, &z);
  setd("sim/flightmodel/position/latitude", h.options.startLatitude);
  setd("sim/flightmodel/position/longitude", h.options.startLongitude);
  setd("sim/flightmodel/position/elevation", h.options.startElevation);
  setd("sim/flightmodel/position/local_x", x);
  setd("sim/flightmodel/position/local_y", y);
  setd("sim/flightmodel/position/local_z", z);
  h.derivePositions();
  h.writeCamera();  // the matrices are there before the first frame draws

  MenuRec plugins{};
  plugins.id = newHandle(kMenuHandleBase);
  plugins.name = "Plugins";
  h.menus.push_back(plugins);
  h.pluginsMenu = plugins.id;

  liveHosts().push_back(this);
}

Host::~Host() {
  // Last loaded, first gone.
  while (!impl_->plugins.empty()) unload(impl_->plugins.back()->id);
  auto &live = liveHosts();
  for (auto it = live.begin(); it != live.end(); ++it) {
    if (*it == this) {
      live.erase(it);
      break;
    }
  }
}

const HostOptions &Host::options() const {
  return impl_->options;
}
const std::string &Host::root() const {
  return impl_->root;
}

// ---- plugin lifecycle ----

PluginRec *Host::Impl::plugin(XPLMPluginID id) const {
  for (const auto &p : plugins)
    if (p->id == id) return p.get();
  return nullptr;
}

XPLMPluginID Host::Impl::ownerOfCode(const void *fn) const {
  const void *base = sys::moduleOf(fn);
  if (!base) return 0;
  for (const auto &p : plugins)
    if (p->base == base) return p->id;
  return 0;
}

void *Host::pluginSymbol(void *pluginHandle, const char *name) {
  return pluginHandle ? sys::librarySymbol(pluginHandle, name) : nullptr;
}

bool Host::fileLoaded(const std::string &path) {
  return sys::libraryLoaded(path);
}

std::string Host::Impl::pathForCaller(const std::string &utf8) const {
  const PluginRec *p = plugin(caller());
  return p == nullptr || p->nativePaths ? utf8 : sys::legacyPath(utf8);
}

std::string Host::Impl::pathFromCaller(const std::string &given) const {
  const PluginRec *p = plugin(caller());
  return p == nullptr || p->nativePaths ? given : sys::pathFromLegacy(given);
}

bool Host::Impl::callsBack(XPLMPluginID owner) const {
  if (owner == 0) return true;
  const PluginRec *p = plugin(owner);
  return p && p->enabled;
}

namespace {

// Opens, finds the entry points and starts one plugin file; its id, or XPLM_NO_PLUGIN_ID with the
// reason in lastError.
XPLMPluginID loadFile(Host::Impl &h, const std::string &pluginFile) {
  h.lastError.clear();
  // A file already mapped (by another host, or this one) would share its globals with it.
  if (sys::libraryLoaded(pluginFile)) {
    h.lastError = "the plugin file is already loaded in this process: " + pluginFile;
    return XPLM_NO_PLUGIN_ID;
  }
  h.plugins.push_back(std::make_unique<PluginRec>());
  PluginRec &p = *h.plugins.back();
  p.id = h.nextPluginID++;
  p.path = pluginFile;
  const XPLMPluginID id = p.id;
  // Gives up on the file: what it registered goes, then the file.
  auto fail = [&h, id](void *lib, const std::string &why) {
    h.lastError = why;
    h.purgePluginObjects(id);
    if (lib) {
      PluginCall call(h, id);
      sys::closeLibrary(lib);
    }
    h.plugins.erase(std::find_if(h.plugins.begin(), h.plugins.end(),
                                 [id](const std::unique_ptr<PluginRec> &r) { return r->id == id; }));
    return XPLM_NO_PLUGIN_ID;
  };
  void *lib = nullptr;
  {
    PluginCall call(h, id);  // the plugin's global objects run as the file loads
    std::string why;
    lib = sys::openLibrary(pluginFile, &why);
    if (!lib) return fail(nullptr, why);
  }
  struct Entry {
    const char *name;
    void **slot;
  };
  void *start = nullptr, *en = nullptr, *dis = nullptr, *stp = nullptr, *recv = nullptr;
  const Entry entries[] = {{"XPluginStart", &start},
                           {"XPluginEnable", &en},
                           {"XPluginDisable", &dis},
                           {"XPluginStop", &stp},
                           {"XPluginReceiveMessage", &recv}};
  for (const Entry &e : entries) {
    *e.slot = sys::librarySymbol(lib, e.name);
    if (!*e.slot) return fail(lib, std::string("missing entry point ") + e.name + " in " + pluginFile);
  }
  p.handle = lib;
  p.xStart = reinterpret_cast<int (*)(char *, char *, char *)>(start);
  p.xEnable = reinterpret_cast<int (*)()>(en);
  p.xDisable = reinterpret_cast<void (*)()>(dis);
  p.xStop = reinterpret_cast<void (*)()>(stp);
  p.xReceive = reinterpret_cast<void (*)(XPLMPluginID, int, void *)>(recv);
  p.base = sys::moduleOf(start);

  char name[256], sig[256], desc[256];
  std::memset(name, 0, sizeof name);
  std::memset(sig, 0, sizeof sig);
  std::memset(desc, 0, sizeof desc);
  int ok;
  {
    PluginCall call(h, id);
    p.startCalled = true;
    ok = p.xStart(name, sig, desc);
  }
  h.outsideSeconds = 0;  // loading is not a frame's work
  name[255] = sig[255] = desc[255] = '\0';
  p.name = name;
  p.signature = sig;
  p.description = desc;
  if (!ok) return fail(lib, "XPluginStart returned 0");
  p.started = true;
  return id;
}

}  // namespace

bool Host::load(const std::string &pluginFile) {
  Impl &h = *impl_;
  if (PluginRec *p = h.primaryPlugin()) {
    h.lastError = "a plugin is already loaded: " + p->path;
    return false;
  }
  h.leftovers.clear();
  h.callsAfterStop = 0;
  const XPLMPluginID id = loadFile(h, pluginFile);
  if (id == XPLM_NO_PLUGIN_ID) return false;
  h.primary = id;
  const PluginRec &p = *h.plugin(id);
  pluginName = p.name;
  pluginSignature = p.signature;
  pluginDescription = p.description;
  return true;
}

XPLMPluginID Host::loadPlugin(const std::string &pluginFile) {
  return loadFile(*impl_, pluginFile);
}

int Host::enable(XPLMPluginID id) {
  Impl &h = *impl_;
  PluginRec *p = h.plugin(id);
  if (!p || !p->started) return 0;
  if (p->enabled) return 1;
  int r;
  {
    PluginCall call(h, id);
    r = p->xEnable();
  }
  if ((p = h.plugin(id))) p->enabled = r != 0;
  return r;
}

void Host::disable(XPLMPluginID id) {
  Impl &h = *impl_;
  PluginRec *p = h.plugin(id);
  if (!p || !p->enabled) return;
  p->enabled = false;
  {
    PluginCall call(h, id);
    p->xDisable();
  }
  // A disabled plugin's hold on the planes ends; it must acquire them again.
  if (h.planesHolder == id) h.planesReleased();
}

void Host::stop(XPLMPluginID id) {
  Impl &h = *impl_;
  PluginRec *p = h.plugin(id);
  if (!p || !p->started) return;
  disable(id);
  p->started = false;
  {
    PluginCall call(h, id);
    p->xStop();
  }
  p->stopReturned = true;
}

bool Host::unload(XPLMPluginID id) {
  Impl &h = *impl_;
  PluginRec *p = h.plugin(id);
  if (!p) {
    h.lastError = "no plugin loaded";
    return false;
  }
  stop(id);
  h.leftovers.clear();
  h.purgePluginObjects(id);
  {
    PluginCall call(h, id);  // global destructors run as the file unloads
    sys::closeLibrary(p->handle);
  }
  const std::string path = p->path;
  h.plugins.erase(std::find_if(h.plugins.begin(), h.plugins.end(),
                               [id](const std::unique_ptr<PluginRec> &r) { return r->id == id; }));
  if (h.primary == id) h.primary = XPLM_NO_PLUGIN_ID;
  if (sys::libraryLoaded(path)) {
    h.lastError = "the plugin file is still mapped after it was unloaded";
    return false;
  }
  return true;
}

int Host::enable() {
  return enable(impl_->primary);
}
void Host::disable() {
  disable(impl_->primary);
}
void Host::stop() {
  stop(impl_->primary);
}
bool Host::unload() {
  return unload(impl_->primary);
}

void Host::sendMessage(XPLMPluginID from, int message, void *param) {
  Impl &h = *impl_;
  PluginRec *p = h.primaryPlugin();
  if (!p) return;
  PluginCall call(h, p->id);
  p->xReceive(from, message, param);
}

bool Host::pluginLoaded() const {
  return impl_->primaryPlugin() != nullptr;
}
bool Host::pluginStarted() const {
  const PluginRec *p = impl_->primaryPlugin();
  return p && p->started;
}
bool Host::pluginEnabled() const {
  const PluginRec *p = impl_->primaryPlugin();
  return p && p->enabled;
}
void *Host::pluginHandle() const {
  return pluginHandle(impl_->primary);
}
void *Host::pluginHandle(XPLMPluginID id) const {
  const PluginRec *p = impl_->plugin(id);
  return p ? p->handle : nullptr;
}
void Host::asPlugin(const std::function<void()> &f) {
  PluginCall call(*impl_, pluginID());
  f();
}

XPLMPluginID Host::pluginID() const {
  return impl_->primary;
}
std::vector<Host::PluginInfo> Host::plugins() const {
  std::vector<PluginInfo> out;
  for (const auto &p : impl_->plugins)
    out.push_back({p->id, p->path, p->name, p->signature, p->description, p->started, p->enabled});
  return out;
}
const std::string &Host::pluginFile() const {
  static const std::string none;
  const PluginRec *p = impl_->primaryPlugin();
  return p ? p->path : none;
}
const std::string &Host::lastError() const {
  return impl_->lastError;
}
const std::vector<std::string> &Host::leftoversAtUnload() const {
  return impl_->leftovers;
}

int Host::callsAfterStop() const {
  return impl_->callsAfterStop;
}
int Host::lookupsBeforeStart() const {
  return impl_->lookupsBeforeStart;
}

void Host::Impl::broadcast(int message, void *param) {
  std::vector<XPLMPluginID> ids;
  for (const auto &p : plugins)
    if (p->enabled) ids.push_back(p->id);
  for (XPLMPluginID id : ids) {
    PluginRec *p = plugin(id);  // an earlier one's handler may have unloaded it
    if (!p || !p->enabled) continue;
    PluginCall call(*this, id);
    p->xReceive(XPLM_NO_PLUGIN_ID, message, param);
  }
}

void Host::Impl::purgePluginObjects(XPLMPluginID id) {
  for (auto it = loops.begin(); it != loops.end();) {
    if (it->owner == id) {
      leftovers.push_back("flightloop " + pointerText(reinterpret_cast<void *>(it->pub.fn)));
      it = loops.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = draws.begin(); it != draws.end();) {
    if (it->owner == id) {
      leftovers.push_back("draw " + pointerText(reinterpret_cast<void *>(it->pub.fn)) + " phase " +
                          std::to_string(it->pub.phase));
      it = draws.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = sniffers.begin(); it != sniffers.end();) {
    if (it->owner == id) {
      leftovers.push_back("keysniffer " + pointerText(reinterpret_cast<void *>(it->pub.fn)));
      it = sniffers.erase(it);
    } else {
      ++it;
    }
  }
  std::vector<XPLMWindowID> deadWindows;
  for (const auto &w : windows)
    if (w.owner == id && !w.pub.widgetRoot) deadWindows.push_back(w.pub.id);  // those go with their widgets
  for (XPLMWindowID w : deadWindows) {
    leftovers.push_back("window " + pointerText(w));
    if (focus == w) focus = nullptr;
    if (mouseOwner == w) mouseOwner = nullptr;
    destroyWindow(w);
  }
  std::vector<XPLMMenuID> deadMenus;
  for (const auto &m : menus)
    if (m.owner == id) deadMenus.push_back(m.id);
  for (XPLMMenuID m : deadMenus) {
    if (!findMenu(m)) continue;  // went with its parent
    leftovers.push_back("menu \"" + findMenu(m)->name + "\"");
    destroyMenu(m);
  }
  for (auto &m : menus) {
    for (size_t i = 0; i < m.items.size();) {
      if (m.items[i].owner == id) {
        // The host takes a plugin's items out of its menus itself: no plugin removes those.
        if (m.items[i].pub.submenu) destroyMenu(m.items[i].pub.submenu);
        m.items.erase(m.items.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  }
  std::vector<XPWidgetID> deadWidgets;
  for (XPWidgetID w : widgetOrder) {
    const WidgetRec *r = findWidget(w);
    if (r && r->owner == id) deadWidgets.push_back(w);
  }
  for (XPWidgetID w : deadWidgets) {
    if (!findWidget(w)) continue;
    leftovers.push_back("widget \"" + findWidget(w)->pub.descriptor + "\"");
    removeWidgetQuietly(w);
  }
  // Callbacks the plugin added to widgets that outlive it would point into unmapped code.
  for (auto &entry : widgets) {
    auto &cbs = entry.second.pub.callbacks;
    for (auto it = cbs.begin(); it != cbs.end();) {
      if (ownerOfCode(reinterpret_cast<void *>(*it)) == id) {
        leftovers.push_back("widget callback on \"" + entry.second.pub.descriptor + "\"");
        it = cbs.erase(it);
        continue;
      }
      ++it;
    }
  }
  for (auto &c : commands) {
    auto &hs = c->handlers;
    for (auto it = hs.begin(); it != hs.end();) {
      if (it->owner == id) {
        leftovers.push_back("command handler on " + c->name);
        it = hs.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto &a : accessors) {
    if (a->live && a->owner == id) {
      leftovers.push_back("dataref " + a->name);
      orphan(*a);  // its accessors are in the file about to go
    }
  }
  if (planesHolder == id) {
    leftovers.push_back("planes still acquired");
    planesReleased();
  }
  if (planesAvailableOwner == id) {
    planesAvailable = nullptr;
    planesAvailableOwner = 0;
  }
}

// ---- configuration ----

void Host::setDirectorySeparator(const std::string &separator) {
  impl_->options.directorySeparator = separator;
}

void Host::setUserModel(const std::string &file, const std::string &path) {
  impl_->options.userModelFile = file;
  impl_->options.userModelPath = path;
}

void Host::setScreenSize(int width, int height) {
  impl_->options.screenWidth = width;
  impl_->options.screenHeight = height;
}

void Host::setFontFile(const std::string &path) {
  impl_->options.fontFile = path;
}

const std::vector<std::string> &Host::debugLog() const {
  return impl_->debug;
}

}  // namespace skyhost
