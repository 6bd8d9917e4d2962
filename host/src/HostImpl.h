#pragma once
// Internal state of one simulated host, shared by the files that implement the SDK calls.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "XPLMGraphics.h"
#include "XPLMMenus.h"
#include "XPLMPlanes.h"
#include "XPLMProcessing.h"
#include "XPLMUtilities.h"
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
  double lastCallAt;   // registration time until the first call
  XPLMPluginID owner;  // the plugin that registered it (removed at its unload), 0 for the harness
};
// Every record's owner is the plugin whose code made it (its callbacks run in that plugin's
// context, and its unload removes it), or 0 for the harness, which the host always calls.
struct DrawRec {
  uint64_t seq;
  Host::DrawCallback pub;
  XPLMPluginID owner;
};
struct SnifferRec {
  uint64_t seq;
  Host::KeySniffer pub;
  XPLMPluginID owner;
};
struct WindowRec {
  Host::Window pub;
  XPLMPluginID owner;
};
struct ItemRec {
  Host::MenuItem pub;
  XPLMPluginID owner;
};
struct MenuRec {
  XPLMMenuID id;
  std::string name;
  XPLMMenuID parent;
  int parentItem;
  XPLMMenuHandler_f handler;
  void *menuRef;
  std::vector<ItemRec> items;
  XPLMPluginID owner;
};
// The host flying the user's aircraft round a circle (Host::flyCircle), or steered from where it
// is (Host::flySteer).
struct CircleFlight {
  bool active = false;
  bool steered = false;
  double lat = 0, lon = 0, alt = 0, radius = 0, speed = 0, phaseDeg = 0;
  double flown = 0;  // seconds on the circle, or steered
  // Steered: where the aircraft is (lat, lon, alt above), its heading, and what it is told.
  double heading = 0, turn = 0, climb = 0, bank = 0;
  bool coordinated = true;  // phi is the coordinated turn's bank, not `bank`
  double placedAt = 0;      // `flown` when the steered aircraft was last moved
};

struct WidgetRec {
  Host::Widget pub;
  XPLMPluginID owner;
  bool dying;  // inside XPDestroyWidget: a second destroy is ignored
  XPLMWindowID window;  // a root of a plugin using native widget windows: the window it lives in
};

// One loaded plugin file. Ids are given from 1 in load order and never reused within a host.
struct PluginRec {
  XPLMPluginID id = XPLM_NO_PLUGIN_ID;
  void *handle = nullptr;
  const void *base = nullptr;  // load address of the file: tells whose code a function is
  std::string path;
  int (*xStart)(char *, char *, char *) = nullptr;
  int (*xEnable)() = nullptr;
  void (*xDisable)() = nullptr;
  void (*xStop)() = nullptr;
  void (*xReceive)(XPLMPluginID, int, void *) = nullptr;
  std::string name, signature, description;
  bool started = false, enabled = false;
  bool startCalled = false;   // XPluginStart has been called: lookups work from then on
  bool stopReturned = false;  // XPluginStop has returned; the file may still be mapped
  bool nativePaths = false;   // XPLM_USE_NATIVE_PATHS switched on: paths in UTF-8
  bool nativeWidgets = false; // XPLM_USE_NATIVE_WIDGET_WINDOWS: each root widget in a modern window
};

// A command: made by XPLMCreateCommand (once per name; the host never forgets one) and run by
// XPLMCommandBegin / End / Once. The handle is the record's address.
struct CommandHandlerRec {
  uint64_t seq;
  XPLMCommandCallback_f fn;
  int before;
  void *refcon;
  XPLMPluginID owner;
};
struct CommandRec {
  std::string name, description;
  XPLMPluginID creator;
  std::vector<CommandHandlerRec> handlers;  // registration order
  int held = 0;                             // begins not yet ended
  int runs = 0;                             // begin phases dispatched
};

// A dataref a plugin registered with XPLMRegisterDataAccessor. The handle is the record's
// address and stays valid for the host's life: unregistering (or the owner's unload) orphans it,
// and an orphan reads 0 and ignores writes until a plugin registers the name again.
struct AccessorRec {
  std::string name;
  XPLMDataTypeID types = xplmType_Unknown;
  bool writable = false;
  XPLMPluginID owner = 0;
  bool live = false;
  XPLMGetDatai_f readInt = nullptr;
  XPLMSetDatai_f writeInt = nullptr;
  XPLMGetDataf_f readFloat = nullptr;
  XPLMSetDataf_f writeFloat = nullptr;
  XPLMGetDatad_f readDouble = nullptr;
  XPLMSetDatad_f writeDouble = nullptr;
  XPLMGetDatavi_f readIntArray = nullptr;
  XPLMSetDatavi_f writeIntArray = nullptr;
  XPLMGetDatavf_f readFloatArray = nullptr;
  XPLMSetDatavf_f writeFloatArray = nullptr;
  XPLMGetDatab_f readData = nullptr;
  XPLMSetDatab_f writeData = nullptr;
  void *readRefcon = nullptr;
  void *writeRefcon = nullptr;
  int ignoredWrites = 0;  // writes to a read-only or orphaned accessor
};
// Unregistered, or its owner gone: no accessor is called again; the name and the handle stay.
inline void orphan(AccessorRec &a) {
  AccessorRec left;
  left.name = a.name;
  left.ignoredWrites = a.ignoredWrites;
  a = left;
}

// Unique handle values for windows, menus and widgets; never reused within the process.
void *newHandle(uintptr_t kindBase);
constexpr uintptr_t kWindowHandleBase = 0x10000000;
constexpr uintptr_t kMenuHandleBase = 0x20000000;
constexpr uintptr_t kWidgetHandleBase = 0x30000000;

struct Host::Impl {
  Host *self = nullptr;
  HostOptions options;
  std::string root;

  // plugins, in load order; the first one loaded by load() is the harness's "the plugin"
  std::vector<std::unique_ptr<PluginRec>> plugins;
  XPLMPluginID primary = XPLM_NO_PLUGIN_ID;
  XPLMPluginID nextPluginID = 1;
  std::string lastError;
  int callsAfterStop = 0;              // SDK calls a plugin's code made after its XPluginStop
  std::vector<PluginRec *> running;    // plugins whose code runs now, innermost last (null: harness)
  std::vector<std::string> leftovers;  // what the last plugin unloaded left registered

  // clock
  double elapsed = 0;
  int frames = 0;
  bool inFrame = false;
  double lastFrameDt = 0;
  uint64_t seq = 0;
  // Wall-clock cost of frames, and of plugin code the host ran between frames (it counts towards
  // the next frame).
  std::vector<Host::FrameTime> longest;
  double outsideSeconds = 0;
  std::chrono::steady_clock::time_point outsideStart;
  // Host events for the next frame's start: messages and callbacks a plugin's call set off.
  std::vector<std::function<void()>> deferred;
  int lookupsBeforeStart = 0;

  // commands and plugins' datarefs
  std::vector<std::unique_ptr<CommandRec>> commands;    // creation order
  std::vector<std::unique_ptr<AccessorRec>> accessors;  // first registration order

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
  bool mouseInPopOut = false;  // the owner took the down in its own popped-out window
  int mouseX = 0, mouseY = 0;  // screen pixels
  bool vr = false;
  Host::Camera camera;

  // menus
  XPLMMenuID pluginsMenu = nullptr;
  std::vector<MenuRec> menus;  // plugins menu first

  // planes
  int activeAircraft = 1;
  std::vector<int> aiDisabled;
  std::map<int, std::string> models;
  std::vector<std::pair<int, std::string>> modelLog, refusedModels;
  int aiIgnored = 0;
  int acquireCalls = 0, releaseCalls = 0;
  XPLMPluginID planesHolder = XPLM_NO_PLUGIN_ID;    // 0 when the harness took them
  XPLMPlanesAvailable_f planesAvailable = nullptr;  // left by a refused acquire
  void *planesAvailableRefcon = nullptr;
  XPLMPluginID planesAvailableOwner = 0;
  int refusedPlaneCalls = 0;
  bool otherWaiting = false;  // the outside traffic plugin waits for the planes
  bool otherYields = false;   // and gives them back when a plugin asks
  int otherAsked = 0;         // messages plugins sent it

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
  std::string hostKeys;  // key presses no sniffer, widget or window took
  int nonFiniteWrites = 0;  // plugin writes of an infinity or a NaN to the host's datarefs

  std::vector<std::string> debug;

  CircleFlight flight;
  std::string screenshotError;

  // projection origin and its ECEF position
  double lat0 = 0, lon0 = 0;
  double ecef0[3] = {0, 0, 0};
  int originMoves = 0;
  double stalled = 0;  // wall-clock seconds spent in Host::stall

  // ---- helpers shared between files ----
  // The plugin whose code is running (what it makes is its own), 0 for the harness.
  XPLMPluginID caller() const { return running.empty() || !running.back() ? 0 : running.back()->id; }
  // A path as the calling plugin takes it (in UTF-8 with native paths on), and one it gave back.
  std::string pathForCaller(const std::string &utf8) const;
  std::string pathFromCaller(const std::string &given) const;
  PluginRec *plugin(XPLMPluginID id) const;
  PluginRec *primaryPlugin() const { return plugin(primary); }
  // A lookup from a plugin whose XPluginStart has not been called yet: it gets null, counted.
  bool beforeStart() {
    if (running.empty() || !running.back() || running.back()->startCalled) return false;
    ++lookupsBeforeStart;
    return true;
  }
  // The plugin whose file holds this function, 0 when none does (the host's, the harness's).
  XPLMPluginID ownerOfCode(const void *fn) const;
  // Whether the host calls this registration back now: not while its plugin is disabled.
  bool callsBack(XPLMPluginID owner) const;
  void logRegistration(const std::string &entry) { registrations.push_back(entry); }
  WindowRec *findWindow(XPLMWindowID id);
  MenuRec *findMenu(XPLMMenuID id);
  WidgetRec *findWidget(XPWidgetID id);
  const WidgetRec *findWidget(XPWidgetID id) const;
  void destroyMenu(XPLMMenuID id);
  void destroyWindow(XPLMWindowID id);
  void setKeyboardFocus(XPLMWindowID id);
  // Windows: the interface scale, the screen's global bounds in boxels, where a window is shown,
  // what the plugin's coordinates are in a modern window, and a positioning mode taking effect.
  double scale() const { return options.interfaceScale; }
  // Windows bottom first: by layer, then in their order within it (old windows float).
  std::vector<XPLMWindowID> layeredOrder();
  void screenBounds(int *left, int *top, int *right, int *bottom) const;
  Host::Shown shown(const WindowRec &w) const;
  bool ownCoordinates(const WindowRec &w) const { return w.pub.modern && (w.pub.poppedOut || w.pub.inVR); }
  void setPositioning(WindowRec &w, int mode);
  // The native window of a root widget follows the widget's place and visibility.
  void syncWidgetWindow(const WidgetRec &root);
  // Whether the pilot can reach a widget: shown, and its root's window seen (a root without a
  // native window is never shown in VR).
  bool widgetReachable(XPWidgetID id) const;
  // Each frame before the draw callbacks: the camera's matrices, viewport and window size.
  void writeCamera();
  // The camera's world-to-eye and projection matrices now, column-major.
  void cameraMatrices(float world[16], float proj[16]) const;
  // modelview_matrix and projection_matrix for the drawing that follows: the camera's in a 3-D
  // phase, the 2-D ones of the screen's boxels otherwise.
  void setDrawingMatrices(bool threeD);
  void dispatchKey(char c, int flags, char vkey);
  int sendWidgetMessage(XPWidgetID w, XPWidgetMessage msg, XPDispatchMode mode, intptr_t p1, intptr_t p2);
  void destroyWidget(XPWidgetID w, bool children, bool fromParent);
  XPWidgetID setWidgetFocus(XPWidgetID w);
  void removeWidgetQuietly(XPWidgetID w);
  void record(Host::DrawOp op);
  void initProjection();
  void setOrigin(double lat, double lon);
  // The host's own work on the datarefs each frame: the read-only latitude, longitude and
  // elevation of the user's aircraft and of each multiplayer plane, from its local x, y, z.
  void derivePositions();
  // Moves the origin to the user's aircraft once it has flown far enough from it.
  void followUser();
  // Sends a message to every enabled plugin, in load order.
  void broadcast(int message, void *param);
  // Whether the plugin whose code runs holds the planes; counts a refused call when not.
  bool holdsPlanes(const char *call);
  void planesReleased();                     // hands them to whoever waits
  void placeOnCircle();                      // writes the user's aircraft state for the flight's current time
  void placeSteered();                       // moves a steered aircraft on to the flight's current time
  void purgePluginObjects(XPLMPluginID id);  // at unload: drop what it left, noting it in leftovers
  // Runs one phase of a command: before handlers in registration order, then after handlers; a
  // handler returning 0 ends the run.
  void runCommand(CommandRec &c, XPLMCommandPhase phase);
  void continueHeldCommands();  // once a frame: the continue phase of every held command
  CommandRec *findCommand(XPLMCommandRef ref) const;
  AccessorRec *findAccessor(XPLMDataRef ref) const;
  AccessorRec *findAccessor(const std::string &name) const;
  std::string menuTree() const;
};

// The host every SDK call goes to.
inline Host::Impl &cur() {
  Host::Impl &h = Host::current().impl();
  if (!h.running.empty() && h.running.back() && h.running.back()->stopReturned) ++h.callsAfterStop;
  return h;
}

// While the host calls into a plugin's code: makes its host current and the plugin the caller,
// whose id XPLMGetMyID answers and who owns what gets created. For id 0 (the harness's own
// callbacks) nothing changes but the current host.
class PluginCall {
 public:
  PluginCall(Host::Impl &h, XPLMPluginID id);
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
