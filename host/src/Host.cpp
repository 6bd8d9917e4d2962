// Host construction, the current-host rule, and the plugin lifecycle.

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "HostImpl.h"

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

PluginCall::PluginCall(Host::Impl &h) : h_(h) {
  ++h_.pluginCallDepth;
  activeHosts().push_back(&h_);
}

PluginCall::~PluginCall() {
  activeHosts().pop_back();
  --h_.pluginCallDepth;
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
    h.root = fs::current_path(ec).string();
  } else {
    fs::create_directories(h.options.root, ec);
    fs::path abs = fs::absolute(h.options.root, ec);
    h.root = fs::weakly_canonical(abs, ec).string();
    if (h.root.empty()) h.root = abs.string();
    h.previousCwd = fs::current_path(ec).string();
    if (::chdir(h.root.c_str()) != 0) throw std::runtime_error("simulated host: cannot enter root " + h.root);
    h.changedDirectory = true;
    if (h.options.createPluginsFolder) fs::create_directories(fs::path(h.root) / "Resources" / "plugins", ec);
  }
  if (h.options.userModelPath.empty()) h.options.userModelPath = joinModelPath(h.options, h.root);

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

  MenuRec plugins{};
  plugins.id = newHandle(kMenuHandleBase);
  plugins.name = "Plugins";
  h.menus.push_back(plugins);
  h.pluginsMenu = plugins.id;

  liveHosts().push_back(this);
}

Host::~Host() {
  if (impl_->handle) unload();
  auto &live = liveHosts();
  for (auto it = live.begin(); it != live.end(); ++it) {
    if (*it == this) {
      live.erase(it);
      break;
    }
  }
  if (impl_->changedDirectory && !impl_->previousCwd.empty()) {
    if (::chdir(impl_->previousCwd.c_str()) != 0) {
      // The folder we came from is gone; stay where we are.
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

bool Host::load(const std::string &pluginFile) {
  Impl &h = *impl_;
  if (h.handle) {
    h.lastError = "a plugin is already loaded: " + h.pluginPath;
    return false;
  }
  h.lastError.clear();
  h.leftovers.clear();
  h.stopReturned = false;
  h.callsAfterStop = 0;
  // A file already mapped (by another host) would share its globals with it.
  if (void *mapped = dlopen(pluginFile.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    dlclose(mapped);
    h.lastError = "the plugin file is already loaded in this process: " + pluginFile;
    return false;
  }
  void *lib = nullptr;
  {
    PluginCall call(h);  // the plugin's global objects run inside dlopen
    dlerror();
    lib = dlopen(pluginFile.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!lib) {
    const char *err = dlerror();
    h.lastError = err ? err : "dlopen failed";
    return false;
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
    *e.slot = dlsym(lib, e.name);
    if (!*e.slot) {
      h.lastError = std::string("missing entry point ") + e.name + " in " + pluginFile;
      h.purgePluginObjects();
      PluginCall call(h);
      dlclose(lib);
      return false;
    }
  }
  h.handle = lib;
  h.pluginPath = pluginFile;
  h.xStart = reinterpret_cast<int (*)(char *, char *, char *)>(start);
  h.xEnable = reinterpret_cast<int (*)()>(en);
  h.xDisable = reinterpret_cast<void (*)()>(dis);
  h.xStop = reinterpret_cast<void (*)()>(stp);
  h.xReceive = reinterpret_cast<void (*)(XPLMPluginID, int, void *)>(recv);

  char name[256], sig[256], desc[256];
  std::memset(name, 0, sizeof name);
  std::memset(sig, 0, sizeof sig);
  std::memset(desc, 0, sizeof desc);
  int ok;
  {
    PluginCall call(h);
    ok = h.xStart(name, sig, desc);
  }
  name[255] = sig[255] = desc[255] = '\0';
  pluginName = name;
  pluginSignature = sig;
  pluginDescription = desc;
  if (!ok) {
    h.lastError = "XPluginStart returned 0";
    h.purgePluginObjects();
    {
      PluginCall call(h);
      dlclose(lib);
    }
    h.handle = nullptr;
    return false;
  }
  h.started = true;
  return true;
}

int Host::enable() {
  Impl &h = *impl_;
  if (!h.handle || !h.started) return 0;
  if (h.enabled) return 1;
  int r;
  {
    PluginCall call(h);
    r = h.xEnable();
  }
  h.enabled = r != 0;
  return r;
}

void Host::disable() {
  Impl &h = *impl_;
  if (!h.handle || !h.enabled) return;
  h.enabled = false;
  {
    PluginCall call(h);
    h.xDisable();
  }
  // A disabled plugin's hold on the planes ends; it must acquire them again.
  h.acquired = false;
}

void Host::stop() {
  Impl &h = *impl_;
  if (!h.handle || !h.started) return;
  disable();
  h.started = false;
  {
    PluginCall call(h);
    h.xStop();
  }
  h.stopReturned = true;
}

bool Host::unload() {
  Impl &h = *impl_;
  if (!h.handle) {
    h.lastError = "no plugin loaded";
    return false;
  }
  stop();
  h.purgePluginObjects();
  {
    PluginCall call(h);  // global destructors run inside dlclose
    dlclose(h.handle);
  }
  h.handle = nullptr;
  h.xStart = nullptr;
  h.xEnable = nullptr;
  h.xDisable = nullptr;
  h.xStop = nullptr;
  h.xReceive = nullptr;
  void *again = dlopen(h.pluginPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (again) {
    dlclose(again);
    h.lastError = "the plugin file is still mapped after dlclose";
    return false;
  }
  return true;
}

void Host::sendMessage(XPLMPluginID from, int message, void *param) {
  Impl &h = *impl_;
  if (!h.handle) return;
  PluginCall call(h);
  h.xReceive(from, message, param);
}

bool Host::pluginLoaded() const {
  return impl_->handle != nullptr;
}
bool Host::pluginStarted() const {
  return impl_->handle && impl_->started;
}
bool Host::pluginEnabled() const {
  return impl_->handle && impl_->enabled;
}
void *Host::pluginHandle() const {
  return impl_->handle;
}
const std::string &Host::pluginFile() const {
  return impl_->pluginPath;
}
const std::string &Host::lastError() const {
  return impl_->lastError;
}
const std::vector<std::string> &Host::leftoversAtUnload() const {
  return impl_->leftovers;
}

int Host::callsAfterStop() const { return impl_->callsAfterStop; }

void Host::Impl::purgePluginObjects() {
  for (auto it = loops.begin(); it != loops.end();) {
    if (it->owned) {
      leftovers.push_back("flightloop " + pointerText(reinterpret_cast<void *>(it->pub.fn)));
      it = loops.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = draws.begin(); it != draws.end();) {
    if (it->owned) {
      leftovers.push_back("draw " + pointerText(reinterpret_cast<void *>(it->pub.fn)) + " phase " +
                          std::to_string(it->pub.phase));
      it = draws.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = sniffers.begin(); it != sniffers.end();) {
    if (it->owned) {
      leftovers.push_back("keysniffer " + pointerText(reinterpret_cast<void *>(it->pub.fn)));
      it = sniffers.erase(it);
    } else {
      ++it;
    }
  }
  std::vector<XPLMWindowID> deadWindows;
  for (const auto &w : windows)
    if (w.owned) deadWindows.push_back(w.pub.id);
  for (XPLMWindowID id : deadWindows) {
    leftovers.push_back("window " + pointerText(id));
    if (focus == id) focus = nullptr;
    if (mouseOwner == id) mouseOwner = nullptr;
    destroyWindow(id);
  }
  std::vector<XPLMMenuID> deadMenus;
  for (const auto &m : menus)
    if (m.owned) deadMenus.push_back(m.id);
  for (XPLMMenuID id : deadMenus) {
    if (!findMenu(id)) continue;  // went with its parent
    leftovers.push_back("menu \"" + findMenu(id)->name + "\"");
    destroyMenu(id);
  }
  for (auto &m : menus) {
    for (size_t i = 0; i < m.items.size();) {
      if (m.items[i].owned) {
        // The host takes a plugin's items out of its menus itself: no plugin removes those.
        if (m.items[i].pub.submenu) destroyMenu(m.items[i].pub.submenu);
        m.items.erase(m.items.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  }
  std::vector<XPWidgetID> deadWidgets;
  for (XPWidgetID id : widgetOrder) {
    const WidgetRec *w = findWidget(id);
    if (w && w->owned) deadWidgets.push_back(id);
  }
  for (XPWidgetID id : deadWidgets) {
    if (!findWidget(id)) continue;
    leftovers.push_back("widget \"" + findWidget(id)->pub.descriptor + "\"");
    removeWidgetQuietly(id);
  }
  // Callbacks the plugin added to widgets that outlive it would point into unmapped code.
  for (auto &entry : widgets) {
    auto &cbs = entry.second.pub.callbacks;
    for (auto it = cbs.begin(); it != cbs.end();) {
      Dl_info info;
      if (handle && dladdr(reinterpret_cast<void *>(*it), &info) && info.dli_fbase) {
        Dl_info mine;
        if (dladdr(reinterpret_cast<void *>(xStart), &mine) && mine.dli_fbase == info.dli_fbase) {
          leftovers.push_back("widget callback on \"" + entry.second.pub.descriptor + "\"");
          it = cbs.erase(it);
          continue;
        }
      }
      ++it;
    }
  }
  if (acquired) {
    leftovers.push_back("planes still acquired");
    acquired = false;
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
