// Keyboard routing (focus, losing focus, sniffers) and mouse routing (topmost window, capture).

#include "fixture.h"

using hosttest::Fresh;
using hosttest::WithFixture;

namespace {

std::vector<std::string> gKeys;

void keyOf(XPLMWindowID, char key, XPLMKeyFlags flags, char vkey, void *refcon, int losing) {
  gKeys.push_back(std::string(static_cast<const char *>(refcon)) + " " + std::to_string(key) + " " +
                  std::to_string(flags) + " " + std::to_string(vkey) + " " + std::to_string(losing));
}

// A sniffer whose refcon names it; "stop..." sniffers consume every key.
int sniff(char key, XPLMKeyFlags flags, char, void *refcon) {
  const std::string name = static_cast<const char *>(refcon);
  gKeys.push_back(name + " " + std::to_string(key) + " " + std::to_string(flags));
  return name.rfind("stop", 0) == 0 ? 0 : 1;
}

struct Click {
  std::string window;
  int x, y, status;
};
std::vector<Click> gClicks;

int clickOf(XPLMWindowID, int x, int y, XPLMMouseStatus status, void *refcon) {
  const std::string name = static_cast<const char *>(refcon);
  gClicks.push_back({name, x, y, status});
  return name.rfind("pass", 0) == 0 ? 0 : 1;
}

XPLMWindowID window(int l, int t, int r, int b, const char *name, int visible = 1) {
  return XPLMCreateWindow(l, t, r, b, visible, nullptr, keyOf, clickOf, const_cast<char *>(name));
}

}  // namespace

class Keyboard : public ::testing::Test {
 protected:
  void SetUp() override { gKeys.clear(); }
  Fresh f;
};

TEST_F(Keyboard, WithoutFocusKeysGoToTheSniffersBehindWindowsUntilOneConsumes) {
  XPLMRegisterKeySniffer(sniff, 0, const_cast<char *>("one"));
  XPLMRegisterKeySniffer(sniff, 0, const_cast<char *>("stop"));
  XPLMRegisterKeySniffer(sniff, 0, const_cast<char *>("never"));
  f.host.keyDown('a');
  const std::vector<std::string> expected = {"one 97 8", "stop 97 8"};
  EXPECT_EQ(gKeys, expected);
}

TEST_F(Keyboard, TheFocusedWindowTakesKeysAheadOfTheSniffersBehindIt) {
  XPLMRegisterKeySniffer(sniff, 1, const_cast<char *>("first"));
  XPLMRegisterKeySniffer(sniff, 0, const_cast<char *>("behind"));
  XPLMWindowID w = window(0, 100, 100, 0, "win");
  XPLMTakeKeyboardFocus(w);
  EXPECT_EQ(f.host.keyboardFocus(), w);
  f.host.pressKey('q');
  const std::vector<std::string> expected = {"first 113 8", "win 113 8 81 0", "first 113 16",
                                             "win 113 16 81 0"};
  EXPECT_EQ(gKeys, expected);
}

TEST_F(Keyboard, ASnifferBeforeWindowsCanConsumeTheKey) {
  XPLMRegisterKeySniffer(sniff, 1, const_cast<char *>("stopper"));
  XPLMWindowID w = window(0, 100, 100, 0, "win");
  XPLMTakeKeyboardFocus(w);
  f.host.keyDown('z');
  EXPECT_EQ(gKeys, std::vector<std::string>{"stopper 122 8"});
}

TEST_F(Keyboard, MovingTheFocusTellsTheWindowThatLosesIt) {
  XPLMWindowID a = window(0, 100, 100, 0, "a");
  XPLMWindowID b = window(0, 100, 100, 0, "b");
  XPLMTakeKeyboardFocus(a);
  XPLMTakeKeyboardFocus(a);  // no change, no call
  XPLMTakeKeyboardFocus(b);
  XPLMTakeKeyboardFocus(nullptr);
  const std::vector<std::string> expected = {"a 0 0 0 1", "b 0 0 0 1"};
  EXPECT_EQ(gKeys, expected);
  EXPECT_EQ(f.host.keyboardFocus(), nullptr);
}

TEST_F(Keyboard, ADestroyedWindowLosesTheFocusSilently) {
  XPLMRegisterKeySniffer(sniff, 0, const_cast<char *>("host"));
  XPLMWindowID a = window(0, 100, 100, 0, "a");
  XPLMTakeKeyboardFocus(a);
  XPLMDestroyWindow(a);
  EXPECT_EQ(f.host.keyboardFocus(), nullptr);
  XPLMTakeKeyboardFocus(a);  // stale id: ignored
  EXPECT_EQ(f.host.keyboardFocus(), nullptr);
  f.host.keyDown('k');
  EXPECT_EQ(gKeys, std::vector<std::string>{"host 107 8"});
}

TEST_F(Keyboard, SpecialKeysCarryTheirVirtualKeysAndShiftIsFlagged) {
  XPLMWindowID w = window(0, 100, 100, 0, "w");
  XPLMTakeKeyboardFocus(w);
  for (char c : {'\t', '\r', '\b', '\x7f', 'A', '5'}) f.host.keyDown(c);
  f.host.keyDown('c', 0, xplm_ControlFlag);
  const std::vector<std::string> expected = {"w 9 8 9 0",   "w 13 8 13 0", "w 8 8 8 0",   "w 127 8 46 0",
                                             "w 65 9 65 0", "w 53 8 53 0", "w 99 12 67 0"};
  EXPECT_EQ(gKeys, expected);
}

TEST_F(Keyboard, TheFixturesSnifferSeesTypedKeysUntilItConsumesOneAndNoneWhileDisabled) {
  WithFixture p;
  p.host.type("q");  // started, not enabled yet
  p.host.enable();
  p.clearLog();
  p.host.type("ax");
  p.host.pressKey('b');
  p.host.disable();
  p.host.pressKey('c');
  const std::vector<std::string> expected = {"sniffer 97 8 65",   "sniffer 97 16 65", "sniffer 120 8 88",
                                             "sniffer 120 16 88", "sniffer 98 8 66",  "sniffer 98 16 66"};
  EXPECT_EQ(p.logOf("sniffer"), expected);
}

class Mouse : public ::testing::Test {
 protected:
  void SetUp() override { gClicks.clear(); }
  Fresh f;
};

TEST_F(Mouse, ADownGoesToTheTopmostVisibleWindowUnderThePoint) {
  window(0, 200, 200, 0, "bottom");
  window(50, 150, 150, 50, "top");
  window(0, 200, 200, 0, "hidden", 0);
  EXPECT_NE(f.host.mouse(100, 100, xplm_MouseDown), nullptr);
  f.host.mouse(100, 100, xplm_MouseUp);
  f.host.click(10, 10);
  f.host.click(500, 500);  // nowhere
  ASSERT_EQ(gClicks.size(), 4u);
  EXPECT_EQ(gClicks[0].window, "top");
  EXPECT_EQ(gClicks[1].window, "top");
  EXPECT_EQ(gClicks[2].window, "bottom");
  EXPECT_EQ(gClicks[2].x, 10);
}

TEST_F(Mouse, DragsAndTheUpGoToTheWindowThatTookTheDownWhereverTheyAre) {
  window(0, 100, 100, 0, "a");
  window(200, 100, 300, 0, "b");
  f.host.mouse(50, 50, xplm_MouseDown);
  f.host.mouse(250, 50, xplm_MouseDrag);
  f.host.mouse(900, -40, xplm_MouseUp);
  f.host.mouse(250, 50, xplm_MouseDrag);  // no button held: nobody
  ASSERT_EQ(gClicks.size(), 3u);
  for (const Click &c : gClicks) EXPECT_EQ(c.window, "a");
  EXPECT_EQ(gClicks[1].status, xplm_MouseDrag);
  EXPECT_EQ(gClicks[2].x, 900);
  EXPECT_EQ(gClicks[2].y, -40);
  int x, y;
  XPLMGetMouseLocation(&x, &y);
  EXPECT_EQ(x, 250);
}

TEST_F(Mouse, AWindowThatDeclinesTheDownPassesItToTheOneBelow) {
  window(0, 100, 100, 0, "below");
  window(0, 100, 100, 0, "pass-through");
  f.host.mouse(5, 5, xplm_MouseDown);
  f.host.mouse(6, 6, xplm_MouseUp);
  ASSERT_EQ(gClicks.size(), 3u);
  EXPECT_EQ(gClicks[0].window, "pass-through");
  EXPECT_EQ(gClicks[1].window, "below");
  EXPECT_EQ(gClicks[2].window, "below");
}

TEST_F(Mouse, AWindowDestroyedDuringADragGetsNoMoreEvents) {
  XPLMWindowID a = window(0, 100, 100, 0, "a");
  f.host.mouse(50, 50, xplm_MouseDown);
  XPLMDestroyWindow(a);
  EXPECT_EQ(f.host.mouse(60, 60, xplm_MouseDrag), nullptr);
  EXPECT_EQ(f.host.mouse(60, 60, xplm_MouseUp), nullptr);
  EXPECT_EQ(gClicks.size(), 1u);
}

TEST_F(Mouse, TheFixtureWindowTakesTheFocusOnAClick) {
  WithFixture p;
  p.host.pickMenu({"Fixture", "Toggle Window"});
  XPLMWindowID w = p.fn<XPLMWindowID (*)()>("fixture_window")();
  p.clearLog();
  p.host.click(20, 250);
  EXPECT_EQ(p.host.keyboardFocus(), w);
  p.host.keyDown('x');  // the window takes it; the sniffer behind it does not see it
  const std::vector<std::string> expected = {"window mouse 20 250 1", "window mouse 20 250 3",
                                             "window key 120 8 88 0"};
  EXPECT_EQ(p.log(), expected);
}

TEST_F(Keyboard, ASnifferMayUnregisterItselfAndTheNextOneWhileAKeyIsRouted) {
  static int calls = 0;
  calls = 0;
  auto quitter = [](char, XPLMKeyFlags, char, void *) -> int {
    ++calls;
    XPLMUnregisterKeySniffer(sniff, 0, const_cast<char *>("one"));
    return 1;
  };
  XPLMRegisterKeySniffer(quitter, 0, nullptr);
  XPLMRegisterKeySniffer(sniff, 0, const_cast<char *>("one"));
  f.host.keyDown('a');
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(gKeys.empty());
  EXPECT_EQ(f.host.keySniffers().size(), 1u);
}

// ---- windows of XPLMCreateWindowEx: boxels, layers, positioning, VR ----

namespace {

int gDraws = 0;
void countDraw(XPLMWindowID, void *) {
  ++gDraws;
}

XPLMWindowID modern(int l, int t, int r, int b, const char *name, int layer = xplm_WindowLayerFloatingWindows) {
  XPLMCreateWindow_t p{};
  p.structSize = sizeof p;
  p.left = l;
  p.top = t;
  p.right = r;
  p.bottom = b;
  p.visible = 1;
  p.drawWindowFunc = countDraw;
  p.handleMouseClickFunc = clickOf;
  p.handleKeyFunc = keyOf;
  p.refcon = const_cast<char *>(name);
  p.decorateAsFloatingWindow = xplm_WindowDecorationNone;
  p.layer = layer;
  return XPLMCreateWindowEx(&p);
}

std::vector<int> geometry(XPLMWindowID w) {
  int l, t, r, b;
  XPLMGetWindowGeometry(w, &l, &t, &r, &b);
  return {l, t, r, b};
}

struct Scaled : Fresh {
  explicit Scaled(double scale) { host.setInterfaceScale(scale); }
};

}  // namespace

TEST_F(Mouse, ModernWindowsLiveInBoxelsOfTheInterfaceScaleOldOnesInPixels) {
  Scaled s(1.5);
  int l, t, r, b;
  XPLMGetScreenBoundsGlobal(&l, &t, &r, &b);
  EXPECT_EQ((std::vector<int>{l, t, r, b}), (std::vector<int>{0, 512, 682, 0}));  // 1024 x 768 pixels
  modern(100, 200, 300, 100, "modern");
  window(100, 200, 300, 100, "old");
  // Over the modern one, a window of the lower flight-overlay layer made later stays under it.
  modern(0, 500, 600, 0, "overlay", xplm_WindowLayerFlightOverlay);
  s.host.click(400, 250);  // boxel (267, 167): inside the modern window, right of the old one
  s.host.click(120, 120);  // the old window's pixel; boxel (80, 80) is left of the modern one
  ASSERT_EQ(gClicks.size(), 4u);
  EXPECT_EQ(gClicks[0].window, "modern");
  EXPECT_EQ((std::vector<int>{gClicks[0].x, gClicks[0].y}), (std::vector<int>{267, 167}));
  EXPECT_EQ(gClicks[2].window, "old");
  EXPECT_EQ((std::vector<int>{gClicks[2].x, gClicks[2].y}), (std::vector<int>{120, 120}));
  int mx, my;
  XPLMGetMouseLocationGlobal(&mx, &my);
  EXPECT_EQ((std::vector<int>{mx, my}), (std::vector<int>{80, 80}));
  s.host.click(900, 700);  // boxel (600, 467): only the overlay is there
  EXPECT_EQ(gClicks.back().window, "overlay");
  // The screen's boxels follow its pixels and the scale.
  s.host.setScreenSize(1920, 1080);
  XPLMGetScreenBoundsGlobal(&l, &t, &r, &b);
  EXPECT_EQ((std::vector<int>{r, t}), (std::vector<int>{1280, 720}));
  EXPECT_THROW(s.host.setInterfaceScale(5), std::invalid_argument);
}

TEST_F(Mouse, PositioningCentresPopsOutAndPutsIntoVROnlyWhileTheHeadsetIsOn) {
  WithFixture p;
  p.host.enable();
  gDraws = 0;
  XPLMWindowID w = modern(100, 200, 300, 100, "w");
  XPLMSetWindowPositioningMode(w, xplm_WindowCenterOnMonitor, -1);
  EXPECT_EQ(geometry(w), (std::vector<int>{412, 434, 612, 334}));

  // Popped out: its own coordinates, moved by the system only, not on the simulator's screen.
  XPLMSetWindowPositioningMode(w, xplm_WindowPopOut, -1);
  EXPECT_EQ(XPLMWindowIsPoppedOut(w), 1);
  EXPECT_EQ(p.host.windowShown(w), skyhost::Host::Shown::PopOut);
  EXPECT_EQ(geometry(w), (std::vector<int>{0, 100, 200, 0}));
  XPLMSetWindowGeometry(w, 0, 10, 10, 0);
  EXPECT_EQ(p.host.mouse(500, 400, xplm_MouseDown), nullptr);
  EXPECT_EQ(p.host.mouseInPopOut(w, 10, 20, xplm_MouseDown), w);
  p.host.mouseInPopOut(w, 10, 20, xplm_MouseUp);
  ASSERT_EQ(gClicks.size(), 2u);
  EXPECT_EQ((std::vector<int>{gClicks[0].x, gClicks[0].y}), (std::vector<int>{10, 20}));
  XPLMSetWindowPositioningMode(w, xplm_WindowPositionFree, -1);
  EXPECT_EQ(geometry(w), (std::vector<int>{412, 434, 612, 334}));

  XPLMSetWindowPositioningMode(w, xplm_WindowVR, -1);  // no headset: nothing happens
  EXPECT_EQ(XPLMWindowIsInVR(w), 0);
  p.clearLog();
  p.host.setVR(true);
  EXPECT_EQ(p.host.geti("sim/graphics/VR/enabled"), 1);
  EXPECT_EQ(p.host.windowShown(w), skyhost::Host::Shown::NotInVR);
  const int before = gDraws;
  p.host.runFrame();
  EXPECT_EQ(gDraws, before) << "a window not in VR is drawn nowhere";
  EXPECT_EQ(p.host.mouse(500, 400, xplm_MouseDown), nullptr);
  // The keyboard given to it goes on to it, unseen.
  XPLMTakeKeyboardFocus(w);
  p.host.pressKey('g');
  EXPECT_EQ(gKeys.size(), 2u);

  XPLMSetWindowPositioningMode(w, xplm_WindowVR, -1);
  EXPECT_EQ(XPLMWindowIsInVR(w), 1);
  p.host.runFrame();
  EXPECT_EQ(gDraws, before + 1);
  EXPECT_EQ(geometry(w), (std::vector<int>{0, 100, 200, 0}));
  EXPECT_EQ(p.host.mouse(500, 400, xplm_MouseDown), w);  // mirrored where it floated, in its own boxels
  EXPECT_EQ((std::vector<int>{gClicks.back().x, gClicks.back().y}), (std::vector<int>{88, 66}));
  p.host.mouse(500, 400, xplm_MouseUp);

  p.host.setVR(false);
  EXPECT_EQ(p.host.geti("sim/graphics/VR/enabled"), 0);
  EXPECT_EQ(XPLMWindowIsInVR(w), 0);
  EXPECT_EQ(geometry(w), (std::vector<int>{412, 434, 612, 334}));
  std::vector<std::string> vrMessages;
  for (const auto &line : p.logOf("message -1 1"))
    if (line.find(" 109 ") != std::string::npos || line.find(" 110 ") != std::string::npos) vrMessages.push_back(line);
  EXPECT_EQ(vrMessages, (std::vector<std::string>{"message -1 109 (nil)", "message -1 110 (nil)"}));
  XPLMDestroyWindow(w);
}

namespace {

// A local point through the host's published world and 3-D projection matrices to a screen pixel;
// false behind the camera.
bool toScreen(const skyhost::Host &host, double x, double y, double z, double *sx, double *sy) {
  const std::vector<float> m = host.getvf("sim/graphics/view/world_matrix");
  const std::vector<float> p = host.getvf("sim/graphics/view/projection_matrix_3d");
  const double in[4] = {x, y, z, 1};
  double eye[4], clip[4];
  for (int r = 0; r < 4; ++r) eye[r] = m[r] * in[0] + m[4 + r] * in[1] + m[8 + r] * in[2] + m[12 + r] * in[3];
  for (int r = 0; r < 4; ++r) clip[r] = p[r] * eye[0] + p[4 + r] * eye[1] + p[8 + r] * eye[2] + p[12 + r] * eye[3];
  if (clip[3] <= 0) return false;
  *sx = (clip[0] / clip[3] + 1) / 2 * 1024;
  *sy = (clip[1] / clip[3] + 1) / 2 * 768;
  return true;
}

}  // namespace

TEST(Camera, MatricesPutTheWorldWhereTheScreenShowsIt) {
  Fresh f;
  const double ux = f.host.getd("sim/flightmodel/position/local_x"), uy = f.host.getd("sim/flightmodel/position/local_y"),
               uz = f.host.getd("sim/flightmodel/position/local_z");
  double sx, sy;
  // The map: straight down, north up, 10 m a pixel round the user's aircraft.
  f.host.runFrame();
  ASSERT_TRUE(toScreen(f.host, ux + 1000, uy, uz - 500, &sx, &sy));
  EXPECT_NEAR(sx, 512 + 100, 0.01);
  EXPECT_NEAR(sy, 384 + 50, 0.01);
  EXPECT_EQ(f.host.getvi("sim/graphics/view/viewport"), (std::vector<int>{0, 0, 1024, 768}));

  // The cockpit facing east, 90 degrees across: a point 1000 m ahead and 100 m up lands at the
  // centre's column, above it by the tangent; one behind is nowhere.
  skyhost::Host::Camera cockpit;
  cockpit.mode = skyhost::Host::Camera::Cockpit;
  cockpit.fovDeg = 90;
  f.host.setCamera(cockpit);
  f.host.setf("sim/flightmodel/position/psi", 90);
  f.host.setf("sim/flightmodel/position/theta", 0);
  f.host.runFrame();
  ASSERT_TRUE(toScreen(f.host, ux + 1000, uy + 100, uz, &sx, &sy));
  EXPECT_NEAR(sx, 512, 0.01);
  EXPECT_NEAR(sy, 384 + 0.1 * 512, 0.05);  // the same scale up as across: square pixels
  EXPECT_FALSE(toScreen(f.host, ux - 1000, uy, uz, &sx, &sy));
  EXPECT_THROW(f.host.setCamera({skyhost::Host::Camera::Cockpit, 175}), std::invalid_argument);

  // In a 2-D phase the drawing's matrices are those of the screen's boxels.
  f.host.setInterfaceScale(2);
  static std::vector<float> seen;
  XPLMRegisterDrawCallback(
      [](XPLMDrawingPhase, int, void *) {
        seen = skyhost::Host::current().getvf("sim/graphics/view/projection_matrix");
        return 1;
      },
      xplm_Phase_Window, 0, nullptr);
  f.host.runFrame();
  ASSERT_EQ(seen.size(), 16u);
  EXPECT_FLOAT_EQ(seen[0], 2.0f / 512);
  EXPECT_FLOAT_EQ(seen[5], 2.0f / 384);
}
