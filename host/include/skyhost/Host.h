#pragma once
// The simulated host: a stand-in for the host simulator that loads a plugin file the way the host
// does, answers every plugin SDK call, and runs frames on a simulated clock.
//
// Every SDK call goes to Host::current(): the host whose plugin call or callback is running, else
// the newest Host alive, else a default Host made on first use (so dataref lookups made by a
// plugin's global objects before main, or before any Host exists, still work).
//
// A host runs several plugins, each in its own context: XPLMGetMyID answers the id of the plugin
// whose code runs, every callback runs in the context of the plugin that registered it, and
// unloading one plugin removes only what it registered. Calls the harness makes itself, outside
// any plugin's code, come from the host (id 0).
//
// Single-threaded, like the host: every call must come from the thread that runs the frames.

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "XPLMDataAccess.h"
#include "XPLMDefs.h"
#include "XPLMDisplay.h"
#include "XPLMMenus.h"
#include "XPLMProcessing.h"
#include "XPLMUtilities.h"
#include "XPWidgetDefs.h"
#include "skyhost/TempDir.h"

namespace skyhost {

struct HostOptions {
  // Sim root folder, which XPLMGetSystemPath gives. The working directory is left alone, as the
  // host does not promise it is its own folder. Empty: the current directory.
  std::string root;
  bool createPluginsFolder = true;  // creates root/Resources/plugins
  int screenWidth = 1024, screenHeight = 768;
  // The interface scale the user chose, 1 for 100 %. Windows made with XPLMCreateWindowEx, widgets
  // of a plugin using native widget windows and the 2-D drawing phases are placed and drawn in
  // boxels of this many pixels each; the screen's global bounds are its pixels divided by it (cut
  // to whole boxels). Windows of the old XPLMCreateWindow stay in pixels. 0.5 to 4.
  double interfaceScale = 1.0;
  std::string directorySeparator = "/";
  std::string userModelFile = "Cessna_172SP.acf";
  // Empty: root + "/Aircraft/General Aviation/Cessna 172SP/" + userModelFile, joined with
  // directorySeparator after the root.
  std::string userModelPath;
  double startLatitude = 47.45, startLongitude = 8.55, startElevation = 500;
  // The origin of the local frame. NaN: the user's start position (the host picks it near the
  // user's aircraft, so two hosts rarely share one).
  double originLatitude = NAN, originLongitude = NAN;
  // Once the user's aircraft is farther than this from the origin (metres, horizontally), the
  // origin moves to it and every local position is expressed in the new frame. 0: never.
  double originShiftMetres = 20000;
  // The planes the user enabled in the host's settings, the user's own included, as
  // XPLMCountAircraft reports: planes past it are never drawn.
  int totalAircraft = 20;
  // Wall-clock seconds each XPLMSetAircraftModel takes: it loads before it returns.
  double modelLoadSeconds = 0.3;
  // The older OpenGL backend: the 3-D drawing phases (0 to 30) run, the airplanes phase twice a
  // frame (a solid and a blended pass). By default, as under the current host's modern backend,
  // they never run.
  bool legacy3d = false;
  // Another plugin holds the multiplayer aircraft: XPLMAcquirePlanes answers 0 until
  // setPlanesHeldElsewhere(false).
  bool planesHeldElsewhere = false;
  // That plugin's name, as XPLMGetPluginInfo gives it.
  std::string otherPluginName = "Other Traffic";
  // Monospaced TrueType font the screenshots draw text with.
  std::string fontFile = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
};

class Host {
 public:
  explicit Host(HostOptions options = HostOptions());
  ~Host();  // stops and unloads a plugin still loaded
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  static Host &current();
  const HostOptions &options() const;
  const std::string &root() const;  // absolute

  // ---- plugin lifecycle, as the host drives it ----
  // The calls without an id drive "the plugin": the one load() loaded.
  // dlopen(RTLD_NOW | RTLD_LOCAL), find the five entry points, call XPluginStart with three
  // 256-byte buffers. False (and nothing stays loaded) if any step fails or XPluginStart returns 0,
  // or if the plugin is loaded already.
  bool load(const std::string &pluginFile);
  // XPLMFindDataRef and XPLMFindCommand calls a plugin made before its XPluginStart (from its
  // global objects): they got null.
  int lookupsBeforeStart() const;
  int enable();    // XPluginEnable once started and not enabled; returns its result
  void disable();  // XPluginDisable when enabled
  void stop();     // disables first if needed, then XPluginStop
  // Stops first if needed, removes what the plugin left registered (see leftoversAtUnload),
  // dlclose()s, and returns true only if dlopen(RTLD_NOLOAD) then shows the file is really gone.
  bool unload();
  void sendMessage(XPLMPluginID from, int message, void *param);  // XPluginReceiveMessage
  bool pluginLoaded() const;
  bool pluginStarted() const;  // XPluginStart succeeded and XPluginStop not called yet
  bool pluginEnabled() const;
  void *pluginHandle() const;
  const std::string &pluginFile() const;
  const std::string &lastError() const;  // why the last load failed
  std::string pluginName, pluginSignature, pluginDescription;
  // Readable entries for every callback, window, menu and widget the plugin had not removed when
  // it was unloaded; the host removes them so nothing points into the unloaded file.
  const std::vector<std::string> &leftoversAtUnload() const;
  // SDK calls the plugin made after its XPluginStop returned, up to the end of its unload (global
  // destructors, exit handlers): the host may already have freed what they touch.
  int callsAfterStop() const;

  // ---- more plugins in the same host ----
  // Loads and starts another plugin file beside the plugin, as the host loads every plugin in its
  // plugins folder. Its id (from 1, in load order, never reused), or XPLM_NO_PLUGIN_ID with the
  // reason in lastError(). Each call below does for that plugin what the call without an id does.
  XPLMPluginID loadPlugin(const std::string &pluginFile);
  int enable(XPLMPluginID id);
  void disable(XPLMPluginID id);
  void stop(XPLMPluginID id);
  bool unload(XPLMPluginID id);  // leftoversAtUnload() then lists what this one left
  void *pluginHandle(XPLMPluginID id) const;
  // A function a loaded plugin file exports by name (a test fixture's helpers), null if none.
  static void *pluginSymbol(void *pluginHandle, const char *name);
  // Whether the file is loaded in this process (after an unload it must not be).
  static bool fileLoaded(const std::string &path);
  XPLMPluginID pluginID() const;  // the plugin's id, XPLM_NO_PLUGIN_ID when none is loaded
  // Runs f as the plugin's own code (XPLMGetMyID answers its id), as the host runs its callbacks:
  // for a harness that calls one of the plugin's callbacks directly.
  void asPlugin(const std::function<void()> &f);
  struct PluginInfo {
    XPLMPluginID id;
    std::string file, name, signature, description;
    bool started, enabled;
  };
  std::vector<PluginInfo> plugins() const;  // load order

  // ---- clock and frames ----
  // One frame: advance the clock by dt, derive the read-only latitude, longitude and elevation of
  // every aircraft from its local x, y, z, run the due flight loops of the before-flight-model
  // phase (the older registration's among them), run the flight model (move the user's aircraft
  // if the host is flying it, and the origin after it if it went far), run the due flight loops
  // of the after-flight-model phase, then the draw callbacks by phase (before, then after; 3-D
  // phases only with legacy3d), then every visible window's draw callback, bottom window first. Flight loops,
  // draw callbacks and key sniffers of a plugin that is not enabled do not run; a flight loop
  // that falls due meanwhile runs at the first frame after the enable.
  void runFrame(double dt = 1.0 / 60.0);
  void runFrames(int n, double fps = 60.0);
  void runFor(double seconds, double fps = 60.0, bool realtime = false);
  double elapsed() const;
  int frameCount() const;
  bool inFrame() const;
  // The longest frames in wall-clock time, longest first (at most five): the frame's callbacks
  // and whatever plugin code the host ran since the previous frame (enable, menus, widgets).
  struct FrameTime {
    int frame;
    double at;       // simulated seconds at the end of the frame
    double seconds;  // wall clock
  };
  const std::vector<FrameTime> &longestFrames() const;
  double longestFrameSeconds() const;  // 0 before the first frame
  void clearFrameTimes();

  // ---- the user's aircraft ----
  // From the next frame on, in its flight model step (between the two phases of flight loops),
  // the host flies the user's aircraft counter-clockwise (seen from above) round a circle of radiusM metres about (lat, lon), at altM
  // metres and speedMps metres per second, starting at the point whose bearing from the centre
  // is phaseDeg (0 north, 90 east). It writes latitude, longitude, elevation, local_x/y/z, psi
  // (the tangent), theta, phi (the bank of a coordinated left turn, negative), gear up and
  // throttles at 0.7; lights are left alone. The aircraft is placed at once. Frames skip it while
  // override_planepath[0] is set: the plugin is moving the aircraft then.
  // Throws std::invalid_argument for values circleFlightProblem rejects.
  void flyCircle(double lat, double lon, double altM, double radiusM, double speedMps, double phaseDeg = 0);
  // From the next frame on, the host flies the user's aircraft from where it is (latitude,
  // longitude, elevation, and psi unless headingDeg is given): speedMps over the ground along its
  // heading, the heading turning turnDps degrees a second (positive: to the right), climbing
  // climbMps. theta is 1 degree plus the climb's angle; phi is bankDeg, or when that is NaN the
  // bank of a coordinated turn (positive: right). Gear, throttles and lights are left alone.
  // Called while steered already, the aircraft goes on from where it is with the new values.
  // Throws std::invalid_argument for values that are not finite (bankDeg and headingDeg aside).
  void flySteer(double speedMps, double turnDps, double climbMps, double bankDeg, double headingDeg);
  // A steered aircraft is put eastM and northM metres away at once (a teleport); false while the
  // aircraft is not steered.
  bool jumpSteered(double eastM, double northM);
  void stopFlying();  // the aircraft stays where it is
  // The host hangs for that many seconds of wall clock, as a host does while it loads something on
  // its main thread: no frame runs, and its simulated clock and the flight go on afterwards from
  // where they were. stalledSeconds() adds them up, so a real-time runner keeps its pace after.
  void stall(double seconds);
  double stalledSeconds() const;
  bool flying() const;
  // Why flyCircle would refuse these values, or empty.
  static std::string circleFlightProblem(double lat, double lon, double altM, double radiusM, double speedMps,
                                         double phaseDeg);

  // ---- screenshots ----
  // Renders the last completed frame (and the current widgets and datarefs) to an RGB PNG of the
  // screen size: a top-down scene, the windows' drawing, then the shown widgets. False, with the
  // reason in screenshotError(), if the font cannot be loaded or the file cannot be written; a
  // failed write leaves no file behind.
  bool screenshot(const std::string &pngPath);
  const std::string &screenshotError() const;

  // ---- datarefs (by name; unknown names throw std::invalid_argument) ----
  // The host knows the names of host/datarefs.tsv, a part of its published list, and no others.
  // These calls are the host's own: they write read-only datarefs too (a frame derives latitude,
  // longitude and elevation again from x, y, z). A plugin's write to a read-only dataref changes
  // nothing and is counted.
  bool hasDataRef(const std::string &name) const;
  XPLMDataTypeID dataRefType(const std::string &name) const;
  int dataRefSize(const std::string &name) const;  // element count of an array, 1 for a scalar
  bool dataRefWritable(const std::string &name) const;
  int readOnlyWrites(const std::string &name) const;                     // plugin writes ignored
  // Plugin writes of an infinity or a NaN to any of the host's datarefs (an array write counts once).
  int nonFiniteWrites() const;
  std::vector<std::pair<std::string, int>> readOnlyWriteCounts() const;  // every non-zero count
  float getf(const std::string &name) const;
  int geti(const std::string &name) const;
  double getd(const std::string &name) const;
  std::vector<float> getvf(const std::string &name) const;
  std::vector<int> getvi(const std::string &name) const;
  void setf(const std::string &name, float value);
  void seti(const std::string &name, int value);
  void setd(const std::string &name, double value);
  void setvf(const std::string &name, const std::vector<float> &values, int offset = 0);
  void setvi(const std::string &name, const std::vector<int> &values, int offset = 0);
  static std::vector<std::string> dataRefNames();  // every registered name, registration order
  // Every name passed to XPLMFindDataRef, in order, found or not.
  const std::vector<std::string> &lookupLog() const;
  void clearLookupLog();

  // ---- registered callbacks (current registrations, registration order) ----
  struct FlightLoop {
    XPLMFlightLoop_f fn;
    float firstInterval;
    void *refcon;
    double nextDue;  // seconds of sim time, or the frame number when dueInFrames
    int calls;
    float lastReturn;
    bool scheduled;
    bool dueInFrames;
    int phase;     // xplm_FlightLoop_Phase_BeforeFlightModel or _AfterFlightModel
    bool created;  // made with XPLMCreateFlightLoop rather than registered
  };
  struct DrawCallback {
    XPLMDrawCallback_f fn;
    int phase;
    int wantsBefore;
    void *refcon;
  };
  struct KeySniffer {
    XPLMKeySniffer_f fn;
    int beforeWindows;
    void *refcon;
  };
  const std::vector<FlightLoop> &flightLoops() const;
  const std::vector<DrawCallback> &drawCallbacks() const;
  const std::vector<KeySniffer> &keySniffers() const;
  // "register flightloop 0x... 0.03 refcon 0x0", "unregister draw 0x... phase 25 after ..." ...
  const std::vector<std::string> &registrationLog() const;

  // ---- commands ----
  // Commands plugins made (XPLMCreateCommand), in creation order; the host never removes one.
  struct CommandHandler {
    XPLMCommandCallback_f fn;
    bool before;
    void *refcon;
    XPLMPluginID plugin;
  };
  struct Command {
    std::string name, description;
    XPLMPluginID creator;
    std::vector<CommandHandler> handlers;  // registration order
    bool held;
  };
  std::vector<Command> commands() const;
  // As the host runs a command the user's key or button is bound to: the begin phase, then the
  // end phase at once (commandOnce), or the begin phase now and, while held, the continue phase
  // once a frame before the flight loops until commandEnd. False for an unknown name (and for an
  // end without a begin).
  bool commandOnce(const std::string &name);
  bool commandBegin(const std::string &name);
  bool commandEnd(const std::string &name);

  // ---- datarefs plugins publish (XPLMRegisterDataAccessor) ----
  struct PublishedDataRef {
    std::string name;
    XPLMDataTypeID types;
    bool writable;
    XPLMPluginID plugin;  // its owner
    bool live;            // false once unregistered (orphaned: found, reads 0)
    int ignoredWrites;    // writes to it while read-only or orphaned
  };
  std::vector<PublishedDataRef> publishedDataRefs() const;  // first registration order
  // A published dataref's value, read through its owner's accessor as another plugin would, as
  // text: a number, or the bytes of a byte array up to its first NUL. Empty for an unknown name.
  std::string readPublished(const std::string &name) const;

  // ---- multiplayer aircraft ----
  int activeAircraftCount() const;
  int totalAircraft() const;
  // The user changes the number of planes in the settings (1..20): XPLM_MSG_AIRPLANE_COUNT_CHANGED
  // goes to every plugin, and the active count is cut to it.
  void setTotalAircraft(int total);
  // The host loads its planes again (a new flight): every plane loses the model a plugin chose
  // and XPLM_MSG_PLANE_LOADED goes to every plugin for each.
  void reloadPlanes();
  // Whether plane n (1..19) is drawn: within the total and the active count, with a model, and
  // not parked beyond the host's drawing range of the user's aircraft.
  bool planeDrawn(int n) const;
  std::vector<int> drawnPlanes() const;
  // Calls that need the planes held, made by a plugin that did not hold them: refused.
  int refusedPlaneCalls() const;
  // Another traffic plugin, outside this host, asks for the planes: it takes them when free;
  // otherwise the holder gets XPLM_MSG_RELEASE_PLANES from it and it takes them at the release.
  // A yielding one gives them back at the next frame when a plugin sends it that message (the
  // callback of a refused acquire then runs at the frame after).
  void otherPluginAcquire(bool yieldsWhenAsked);
  // Messages plugins sent that plugin (XPLMSendMessageToPlugin).
  int otherPluginAsked() const;
  bool planesHeldElsewhere() const;
  bool planesAcquired() const;  // some plugin (or the harness) holds the planes
  // Planes 0..19 the AI was disabled for, in call order; calls for other indices are ignored.
  const std::vector<int> &aiDisabledLog() const;
  int aiDisableIgnored() const;
  std::string aircraftModel(int index) const;  // path set with XPLMSetAircraftModel, or ""
  // Models loaded, in call order. A load for index 0 (the user's aircraft), an index past the
  // planes, or from a plugin that does not hold the planes is refused: nothing loads.
  const std::vector<std::pair<int, std::string>> &setAircraftModelLog() const;
  const std::vector<std::pair<int, std::string>> &refusedAircraftModels() const;
  // Another plugin takes or gives back the planes; giving them back calls the availability
  // callback a refused XPLMAcquirePlanes left.
  void setPlanesHeldElsewhere(bool held);
  int acquireCalls() const;
  int releaseCalls() const;

  // ---- keyboard ----
  // vkey 0 picks the virtual key of the character (XPLM_VK_*). Upper-case letters and shifted
  // symbols carry xplm_ShiftFlag. A press carries xplm_DownFlag, a release xplm_UpFlag.
  // A window holding the keyboard gets the keys whether the pilot can see it or not (in VR, one not
  // shown there swallows them unseen).
  void keyDown(char c, char vkey = 0, int extraFlags = 0);
  void keyUp(char c, char vkey = 0, int extraFlags = 0);
  void pressKey(char c, char vkey = 0, int extraFlags = 0);  // down, then up
  void type(const std::string &text);                        // pressKey per character
  XPLMWindowID keyboardFocus() const;                        // window holding the keyboard, null for the host
  XPWidgetID widgetFocus() const;                            // widget holding the keyboard, null if none
  // Characters of the key presses that reached the host's own key bindings: no sniffer, widget or
  // window took them.
  const std::string &keysForHost() const;

  // ---- mouse (screen pixels, y up) ----
  // A down goes to the topmost window the pilot sees under the point on the screen (in VR, in the
  // headset's view, which the screen mirrors); a window whose click callback returns 0 passes it
  // to the window below. Drags and the up go to the window that took the down. A window of
  // XPLMCreateWindowEx gets the point in boxels (the pixel's centre divided by the interface
  // scale), and in VR in its own coordinates (below). Returns the window that handled the event,
  // or null.
  XPLMWindowID mouse(int x, int y, XPLMMouseStatus status);
  void click(int x, int y);  // down then up at one point
  // An event in a popped-out window, at a point in its own boxels (0, 0 its bottom left); null
  // when the window is not popped out and shown.
  XPLMWindowID mouseInPopOut(XPLMWindowID window, int x, int y, XPLMMouseStatus status);

  // ---- windows ----
  // A window of XPLMCreateWindowEx ("modern") lives in global boxels; one of XPLMCreateWindow in
  // pixels of the main screen, never scaled, popped out or shown in VR. Popped out or in VR, a
  // modern window draws and takes the mouse in coordinates of its own, (0, 0) at its bottom
  // left: XPLMGetWindowGeometry gives (0, height, width, 0) then and XPLMSetWindowGeometry does
  // nothing. Back in the simulator's window it returns to its floating place (left..bottom).
  struct Window {
    XPLMWindowID id;
    int left, top, right, bottom;  // the floating place
    bool visible;
    void *refcon;
    XPLMDrawWindow_f drawFn;
    XPLMHandleKey_f keyFn;
    XPLMHandleMouseClick_f mouseFn;
    bool modern;
    int layer, decoration;        // XPLMWindowLayer, XPLMWindowDecoration (modern only)
    int positioning;              // the last XPLMWindowPositioningMode that took effect
    bool poppedOut, inVR;
    std::string title;
    int osLeft, osTop, osRight, osBottom;  // popped out: its window on the desktop, in pixels
    XPWidgetID widgetRoot;                 // the root widget whose native window this is, or null
  };
  // Where the pilot sees a window: nowhere (hidden), on the screen, in a window of its own, in
  // the headset; in VR a window not positioned there is visible to nobody.
  enum class Shown { Hidden, Screen, PopOut, VR, NotInVR };
  static const char *shownName(Shown shown);
  Shown windowShown(XPLMWindowID id) const;
  std::vector<Window> windows() const;             // creation order; destroyed ones gone
  std::vector<XPLMWindowID> windowZOrder() const;  // bottom first
  bool windowExists(XPLMWindowID id) const;

  // ---- menus ----
  struct MenuItem {
    std::string name;  // empty for a separator
    void *itemRef;
    bool forceEnglish;
    bool separator;
    bool enabled;
    XPLMMenuCheck check;
    XPLMMenuID submenu;  // null when none is attached
  };
  struct Menu {
    XPLMMenuID id;
    std::string name;
    XPLMMenuID parent;  // null for the plugins menu and for menus in the menu bar
    int parentItem;
    XPLMMenuHandler_f handler;
    void *menuRef;
    std::vector<MenuItem> items;
  };
  XPLMMenuID pluginsMenu() const;
  std::vector<Menu> menus() const;  // the plugins menu first, then creation order
  // Path of item names from the plugins menu down to a leaf item, e.g. {"Skytether", "Toggle
  // Plane List"}; a name equal to the title of the submenu just entered may stand in the path
  // too ({"Skytether", "Plane Window", "Toggle Plane List"}). A first name that is no item of the
  // plugins menu is looked for among the menus in the menu bar. Calls the handler of the menu
  // holding the leaf with (menuRef, itemRef); false if the path names no enabled leaf item.
  bool pickMenu(const std::vector<std::string> &path);
  std::string menuTree() const;  // one line per item, indented, with item references

  // ---- drawing record ----
  struct DrawOp {
    enum Kind { String, DarkBox, GraphicsState, Color, Begin, Vertex, End } kind;
    XPLMWindowID window;  // whose draw callback was running, or null
    int phase;            // drawing phase of the draw callback running, -1 inside a window's callback
    float rgba[4];        // String: the colour passed (alpha 1); Color and Vertex: the current colour
    int x, y;             // String
    std::string text;     // String (XPLMDrawNumber is recorded as the text it draws)
    bool hasWrap;
    int wrap;
    int font;
    int rect[4];    // DarkBox: left, top, right, bottom
    int state[7];   // GraphicsState arguments in order
    unsigned mode;  // Begin
    float vx, vy;   // Vertex
  };
  // The last completed frame's record; while a frame runs, the record of that frame so far.
  const std::vector<DrawOp> &lastFrameDrawing() const;
  std::vector<std::string> lastFrameStrings() const;  // texts of its String ops, in order

  // ---- widgets ----
  struct Widget {
    XPWidgetID id;
    int left, top, right, bottom;
    bool visible;  // the widget's own flag
    std::string descriptor;
    bool isRoot;
    XPWidgetID container;
    int widgetClass;  // xpWidgetClass_*, or -1 for a custom widget
    std::map<int, intptr_t> properties;
    std::vector<XPWidgetFunc_t> callbacks;  // in the order they run: newest first
    std::vector<XPWidgetID> children;
  };
  std::vector<Widget> widgets() const;  // creation order
  bool widgetExists(XPWidgetID id) const;
  Widget widget(XPWidgetID id) const;  // throws std::invalid_argument for an unknown id
  XPWidgetID findWidget(const std::string &descriptor) const;  // first in creation order, or null
  bool widgetShown(XPWidgetID id) const;                       // visible and every container visible
  // Each fails (false, nothing sent) when the widget does not exist or is not shown.
  // Mouse down and up at the widget's centre; a standard button then acts on its behaviour:
  // push sends xpMsg_PushButtonPressed, check box toggles its state, radio turns on, and both
  // send xpMsg_ButtonStateChanged (param1 the button, param2 the new state) up the chain.
  bool clickWidget(XPWidgetID id);
  // Gives a text field the widget focus, then sends each character as a key press (down and
  // up); the text field appends printable characters and removes the last on backspace (8) or
  // delete (127), sending xpMsg_TextFieldChanged up the chain.
  bool typeIntoWidget(XPWidgetID id, const std::string &text);
  bool pressCloseBox(XPWidgetID mainWindow);  // sends xpMessage_CloseButtonPushed up the chain

  // ---- host messages ----
  const std::vector<std::string> &debugLog() const;  // XPLMDebugString and XPLMSpeakString

  // ---- VR ----
  // The user puts on the headset: sim/graphics/VR/enabled becomes 1, then every enabled plugin
  // gets XPLM_MSG_ENTERED_VR. Taking it off: XPLM_MSG_EXITING_VR while VR is still on, then the
  // windows still in VR go back to their floating place and the dataref becomes 0. From then on
  // only windows positioned in VR are drawn and take the mouse; the 2-D drawing phases still run
  // but the headset does not show them.
  void setVR(bool on);
  bool vr() const;

  // ---- the camera the 3-D world is seen through ----
  // Each frame, before the draw callbacks, the host writes its matrices: world_matrix (world to
  // eye) and projection_matrix_3d, column-major as OpenGL keeps them, the viewport (left, bottom,
  // right, top in pixels) and window_width and window_height. modelview_matrix and
  // projection_matrix are those of the drawing under way: the 3-D ones in a 3-D phase, in a 2-D
  // phase identity and an orthographic projection of the screen's boxels.
  // Map: straight down from above the user's aircraft, north up, orthographic, 10 m a pixel (the
  // screenshot's scene). Cockpit: from the user's aircraft along its heading and pitch (level,
  // no roll), perspective with fovDeg across the screen's width.
  struct Camera {
    enum Mode { Map, Cockpit } mode = Map;
    double fovDeg = 60;
  };
  void setCamera(const Camera &camera);  // throws std::invalid_argument for a field of view outside 1..170
  Camera camera() const;

  // ---- configuration at run time ----
  void setDirectorySeparator(const std::string &separator);
  void setUserModel(const std::string &file, const std::string &path);
  // The screen's pixels; windows of XPLMCreateWindowEx keep their place in boxels.
  void setScreenSize(int width, int height);
  // Throws std::invalid_argument outside 0.5..4.
  void setInterfaceScale(double scale);
  void setFontFile(const std::string &path);

  // ---- projection (the same as XPLMWorldToLocal / XPLMLocalToWorld) ----
  double originLatitude() const;
  double originLongitude() const;
  // Moves the origin as the host does when the user has flown far from it: every aircraft's
  // local position is expressed in the new frame (its latitude, longitude and elevation stay).
  void moveOrigin(double lat, double lon);
  int originMoves() const;
  void worldToLocal(double lat, double lon, double alt, double *x, double *y, double *z) const;
  void localToWorld(double x, double y, double z, double *lat, double *lon, double *alt) const;

  // ---- reports ----
  std::string dumpJson() const;  // everything the host holds, as one JSON object
  std::string report() const;    // what the host saw, for people

  struct Impl;
  Impl &impl() { return *impl_; }  // for the host's own SDK layer
  const Impl &impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace skyhost
