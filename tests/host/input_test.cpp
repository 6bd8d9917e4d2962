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
