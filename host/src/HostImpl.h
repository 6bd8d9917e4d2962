#pragma once
// Internal state of one simulated host, shared by the files that implement the SDK calls.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "XPLMGraphics.h"
#include "XPLMMenus.h"
#include "XPLMPlanes.h"
#include "XPLMProcessing.h"
#include "XPWidgets.h"
#include "skyhost/Host.h"

namespace skyhost {

// ---- datarefs: one process-wide table of names and types; each Host holds its own values ----
// The names are those the host publishes (host/datarefs.tsv, built into the library).
struct DataRefDef {
  std::string name;
  XPLMDataTypeID type;
  int size;       // elements for arrays (bytes for data), 1 for scalars
  int index;      // into Impl::values
  bool writable;  // a plugin's write to a read-only dataref changes nothing
};
// The published list's text, "name<TAB>type<TAB>writable" lines ('#' starts a comment).
extern const char kPublishedDataRefs[];
const std::vector<const DataRefDef *> &dataRefTable();
const DataRefDef *findDataRefDef(const std::string &name);
// The handle the plugin holds is the address of its table entry, valid for the whole process.
inline const DataRefDef *defFromHandle(XPLMDataRef ref) {
  return static_cast<const DataRefDef *>(ref);
}
bool isKnownHandle(XPLMDataRef ref);

struct DataValue {
  int i = 0;
  float f = 0;
  double d = 0;
  std::vector<float> vf;
  std::vector<int> vi;
};

// The host's basic font, monospaced: every character takes this cell (the screenshot renderer
// draws in the same cell, so measured text and drawn text agree).
constexpr int kCharWidth = 6;
constexpr int kCharHeight = 10;

// ---- WGS-84 ----
constexpr double kA = 6378137.0;
constexpr double kF = 1.0 / 298.257223563;
constexpr double kE2 = kF * (2.0 - kF);
constexpr double kDeg = 3.14159265358979323846 / 180.0;
void geodeticToEcef(double latDeg, double lonDeg, double h, double out[3]);
void ecefToGeodetic(const double p[3], double *latDeg, double *lonDeg, double *h);

// Float to int the way a cast would, without the undefined cases (NaN, out of range).
int safeToInt(double v);

// ---- records with bookkeeping the public structs do not show ----
struct FlightLoopRec {
  uint64_t seq;
  Host::FlightLoop pub;
  double registeredAt;
  double lastCallAt;  // registration time until the first call
  bool owned;         // made by the plugin: removed when it is unloaded
};
struct DrawRec {
  uint64_t seq;
  Host::DrawCallback pub;
  bool owned;
};
struct SnifferRec {
  uint64_t seq;
  Host::KeySniffer pub;
  bool owned;
};
struct WindowRec {
  Host::Window pub;
  bool owned;
};
struct ItemRec {
  Host::MenuItem pub;
  bool owned;
};
struct MenuRec {
  XPLMMenuID id;
  std::string name;
  XPLMMenuID parent;
  int parentItem;
  XPLMMenuHandler_f handler;
  void *menuRef;
  std::vector<ItemRec> items;
  bool owned;
};
// The host flying the user's aircraft round a circle (Host::flyCircle).
struct CircleFlight {
  bool active = false;
  double lat = 0, lon = 0, alt = 0, radius = 0, speed = 0, phaseDeg = 0;
  double flown = 0;  // seconds on the circle
};

struct WidgetRec {
  Host::Widget pub;
  bool owned;
  bool dying;  // inside XPDestroyWidget: a second destroy is ignored
};

// Unique handle values for windows, menus and widgets; never reused within the process.
void *newHandle(uintptr_t kindBase);
constexpr uintptr_t kWindowHandleBase = 0x10000000;
constexpr uintptr_t kMenuHandleBase = 0x20000000;
constexpr uintptr_t kWidgetHandleBase = 0x30000000;

struct Host::Impl {
  Host *self = nullptr;
  HostOptions options;
  std::string root;
  std::string previousCwd;
  bool changedDirectory = false;

  // plugin
  void *handle = nullptr;
  std::string pluginPath;
  std::string lastError;
  int (*xStart)(char *, char *, char *) = nullptr;
  int (*xEnable)() = nullptr;
  void (*xDisable)() = nullptr;
  void (*xStop)() = nullptr;
  void (*xReceive)(XPLMPluginID, int, void *) = nullptr;
  bool started = false, enabled = false;
  bool stopReturned = false;  // XPluginStop has returned; the file may still be mapped
  int callsAfterStop = 0;     // SDK calls plugin code made after that (destructors, exit handlers)
  int pluginCallDepth = 0;  // > 0 while plugin code runs: what it creates is the plugin's
  std::vector<std::string> leftovers;

  // clock
  double elapsed = 0;
  int frames = 0;
  bool inFrame = false;
  double lastFrameDt = 0;
  uint64_t seq = 0;

  // datarefs
  std::vector<DataValue> values;
  std::vector<int> readOnlyWrites;  // per dataref: plugin writes the host ignored
  std::vector<std::string> lookups;

  // callbacks
  std::vector<FlightLoopRec> loops;
  std::vector<DrawRec> draws;
  std::vector<SnifferRec> sniffers;
  std::vector<std::string> registrations;
  mutable std::vector<Host::FlightLoop> loopsView;
  mutable std::vector<Host::DrawCallback> drawsView;
  mutable std::vector<Host::KeySniffer> sniffersView;

  // windows, keyboard, mouse
  std::vector<WindowRec> windows;    // creation order
  std::vector<XPLMWindowID> zOrder;  // bottom first
  XPLMWindowID focus = nullptr;
  XPLMWindowID mouseOwner = nullptr;
  int mouseX = 0, mouseY = 0;

  // menus
  XPLMMenuID pluginsMenu = nullptr;
  std::vector<MenuRec> menus;  // plugins menu first

  // planes
  int activeAircraft = 1;
  bool acquired = false;
  std::vector<int> aiDisabled;
  std::map<int, std::string> models;
  std::vector<std::pair<int, std::string>> modelLog, refusedModels;
  int aiIgnored = 0;
  int acquireCalls = 0, releaseCalls = 0;
  XPLMPlanesAvailable_f planesAvailable = nullptr;  // left by a refused acquire
  void *planesAvailableRefcon = nullptr;

  // drawing
  std::vector<Host::DrawOp> drawing, lastDrawing;
  XPLMWindowID drawWindow = nullptr;
  int drawPhase = -1;
  float color[4] = {1, 1, 1, 1};
  int nextTexture = 1;

  // widgets
  std::map<XPWidgetID, WidgetRec> widgets;
  std::vector<XPWidgetID> widgetOrder;  // creation order
  std::vector<XPWidgetID> rootOrder;    // bottom first
  XPWidgetID widgetFocus = nullptr;

  std::vector<std::string> debug;

  CircleFlight flight;
  std::string screenshotError;

  // projection origin and its ECEF position
  double lat0 = 0, lon0 = 0;
  double ecef0[3] = {0, 0, 0};

  // ---- helpers shared between files ----
  bool owning() const { return pluginCallDepth > 0; }
  // Whether the host calls this registration back now: not while its plugin is disabled. (With no
  // plugin loaded, what callbacks registered is the harness's own.)
  bool callsBack(bool owned) const { return !owned || handle == nullptr || enabled; }
  void logRegistration(const std::string &entry) { registrations.push_back(entry); }
  WindowRec *findWindow(XPLMWindowID id);
  MenuRec *findMenu(XPLMMenuID id);
  WidgetRec *findWidget(XPWidgetID id);
  const WidgetRec *findWidget(XPWidgetID id) const;
  void destroyMenu(XPLMMenuID id);
  void destroyWindow(XPLMWindowID id);
  void setKeyboardFocus(XPLMWindowID id);
  void dispatchKey(char c, int flags, char vkey);
  int sendWidgetMessage(XPWidgetID w, XPWidgetMessage msg, XPDispatchMode mode, intptr_t p1, intptr_t p2);
  void destroyWidget(XPWidgetID w, bool children, bool fromParent);
  XPWidgetID setWidgetFocus(XPWidgetID w);
  void removeWidgetQuietly(XPWidgetID w);
  void record(Host::DrawOp op);
  void initProjection();
  // The host's own work on the datarefs each frame: the read-only latitude, longitude and
  // elevation of the user's aircraft and of each multiplayer plane, from its local x, y, z.
  void derivePositions();
  void placeOnCircle();       // writes the user's aircraft state for the flight's current time
  void purgePluginObjects();  // at unload: drop what the plugin left, noting it in leftovers
  std::string menuTree() const;
};

// The host every SDK call goes to.
inline Host::Impl &cur() {
  Host::Impl &h = Host::current().impl();
  if (h.stopReturned && h.pluginCallDepth > 0) ++h.callsAfterStop;
  return h;
}

// While the host calls into plugin code: makes it the current host and marks what gets created
// as the plugin's.
class PluginCall {
 public:
  explicit PluginCall(Host::Impl &h);
  ~PluginCall();
  PluginCall(const PluginCall &) = delete;
  PluginCall &operator=(const PluginCall &) = delete;

 private:
  Host::Impl &h_;
};

std::string pointerText(const void *p);
// The NUL-terminated printable text at p when p lies inside a loaded file's readable segment
// (item references are often string literals); empty when there is none.
std::string textAtPointer(const void *p);

// Widget class behaviour of the standard classes.
XPWidgetFunc_t standardClassFunc(XPWidgetClass cls);

}  // namespace skyhost
