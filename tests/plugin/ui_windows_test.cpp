// The chat window and the plane list window, seen from the host: geometry, drawing, fade, the
// traffic hold with its countdown, and the mouse.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <GL/gl.h>

#include <cmath>

#include "XPLMDisplay.h"
#include "XPLMGraphics.h"
#include "XPStandardWidgets.h"
#include "XPWidgets.h"
#include "plugin_test.h"
#include "fake_server.h"
#include "net_fixture.h"
#include "ui_support.h"

namespace {

using namespace uitest;
using skyhost::HostOptions;

class WindowsTest : public harness::PluginTest {
 protected:
  // What Tab does during a session (open, hand the keyboard back, close), without one.
  void Tab() { ASSERT_TRUE(host().commandOnce("skytether/toggle_chat")); }
  // Ten fade steps make the chat window fully opaque.
  void OpenChat() {
    Tab();
    RunLoop(host(), kFadeLoop, 10);
  }
  void TogglePlaneList() { ASSERT_TRUE(host().pickMenu(MenuPath("Toggle Plane List"))); }
  float Alpha() {
    float a = -1;
    EXPECT_TRUE(ChatFillAlpha(host(), &a)) << "chat window drew no box";
    return a;
  }
  bool ChatVisible() { return WindowInfo(host(), ChatWindow(host())).visible; }
};

void ExpectGeometry(const Host::Window &w, int l, int t, int r, int b) {
  EXPECT_EQ(w.left, l);
  EXPECT_EQ(w.top, t);
  EXPECT_EQ(w.right, r);
  EXPECT_EQ(w.bottom, b);
}

TEST_F(WindowsTest, BothWindowsStartHiddenInTheTopRightCorner) {
  Load();
  ASSERT_EQ(host().windows().size(), 2u);
  const auto plane = host().windows()[0];
  const auto chat = host().windows()[1];
  ExpectGeometry(plane, 734, 408, 1004, 88);
  ExpectGeometry(chat, 504, 748, 1004, 428);
  EXPECT_FALSE(plane.visible);
  EXPECT_FALSE(chat.visible);
  host().runFrames(30);
  EXPECT_TRUE(OpsOf(host(), plane.id).empty());
  EXPECT_TRUE(OpsOf(host(), chat.id).empty());
}

class WideScreenTest : public WindowsTest {
  void Configure(HostOptions &o) override {
    o.screenWidth = 1920;
    o.screenHeight = 1080;
  }
};

TEST_F(WideScreenTest, GeometryFollowsTheScreenSize) {
  Load();
  ExpectGeometry(host().windows()[0], 1630, 720, 1900, 400);
  ExpectGeometry(host().windows()[1], 1400, 1060, 1900, 740);
}

// The menu item, and the command a pilot binds in its place, toggle the plane list alike.
class PlaneListTest : public WindowsTest, public ::testing::WithParamInterface<Via> {
 protected:
  void Toggle() {
    if (GetParam() == Via::Command)
      ASSERT_TRUE(host().commandOnce("skytether/toggle_plane_list"));
    else
      TogglePlaneList();
  }
};

TEST_P(PlaneListTest, DrawsTrafficLineAndNineteenRowsInWhite) {
  Start();
  Toggle();
  host().runFrame();
  const auto ops = OpsOf(host(), PlaneWindow(host()));
  ASSERT_FALSE(ops.empty());
  ASSERT_EQ(ops[0].kind, DrawOp::DarkBox);
  EXPECT_EQ(std::vector<int>(ops[0].rect, ops[0].rect + 4), (std::vector<int>{734, 408, 1004, 88}));

  const auto strings = StringsOf(host(), PlaneWindow(host()));
  ASSERT_EQ(strings.size(), 21u);
  // Nine blanks after the label: one separator and four idle indicators.
  EXPECT_EQ(strings[0].text, "Network Traffic:         ");
  EXPECT_EQ(strings[0].x, 739);
  EXPECT_EQ(strings[0].y, 388);
  for (int i = 1; i <= 19; ++i) {
    SCOPED_TRACE(i);
    const auto &row = strings[i];
    // An unnamed slot: the empty callsign leaves two blanks after the colon.
    EXPECT_EQ(row.text, std::to_string(i) + ":  Plane " + std::to_string(i));
    EXPECT_EQ(row.x, 739);
    EXPECT_EQ(row.y, 408 - 34 - 14 * i);
  }
  EXPECT_EQ(strings[1].y, 360);
  EXPECT_EQ(strings[19].y, 108);
  // The server's state on the line under the rows.
  EXPECT_EQ(strings[20].text, "Not connected");
  EXPECT_EQ(strings[20].y, 94);
  for (const auto &s : strings) {
    EXPECT_EQ(Rgb(s), (std::vector<float>{1.0f, 1.0f, 1.0f}));
    EXPECT_FALSE(s.hasWrap);
    EXPECT_EQ(s.font, xplmFont_Basic);
  }

  Toggle();
  host().runFrame();
  EXPECT_FALSE(WindowInfo(host(), PlaneWindow(host())).visible);
  EXPECT_TRUE(OpsOf(host(), PlaneWindow(host())).empty());

  // A held button acts once, as it goes down.
  if (GetParam() == Via::Command) {
    ASSERT_TRUE(host().commandBegin("skytether/toggle_plane_list"));
    EXPECT_TRUE(WindowInfo(host(), PlaneWindow(host())).visible);
    host().runFrames(3);
    ASSERT_TRUE(host().commandEnd("skytether/toggle_plane_list"));
    EXPECT_TRUE(WindowInfo(host(), PlaneWindow(host())).visible);
  }
}

INSTANTIATE_TEST_SUITE_P(MenuAndCommand, PlaneListTest, ::testing::Values(Via::Original, Via::Command),
                         ViaName);

TEST_F(WindowsTest, OpenChatDrawsBoxHistoryAndTypingLine) {
  Start();
  OpenChat();
  const auto ops = OpsOf(host(), ChatWindow(host()));
  ASSERT_GE(ops.size(), 16u);

  // The box: graphics state (blending, no lighting, so the colours given are the colours drawn),
  // dark fill quad, then a bright border while the typing line has focus.
  ASSERT_EQ(ops[0].kind, DrawOp::GraphicsState);
  EXPECT_EQ(std::vector<int>(ops[0].state, ops[0].state + 7), (std::vector<int>{0, 0, 0, 0, 1, 0, 0}));
  ASSERT_EQ(ops[1].kind, DrawOp::Color);
  EXPECT_EQ(Rgba(ops[1]), (std::vector<float>{0.1f, 0.1f, 0.1f, 0.69f}));
  ASSERT_EQ(ops[2].kind, DrawOp::Begin);
  EXPECT_EQ(ops[2].mode, unsigned(GL_QUADS));
  const float L = 504, T = 748, R = 1004, B = 428;
  const std::vector<std::pair<float, float>> quad = {{R, B}, {L, B}, {L, T}, {R, T}};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(ops[3 + i].kind, DrawOp::Vertex);
    EXPECT_EQ(std::make_pair(ops[3 + i].vx, ops[3 + i].vy), quad[i]);
  }
  ASSERT_EQ(ops[7].kind, DrawOp::End);
  ASSERT_EQ(ops[8].kind, DrawOp::Color);
  EXPECT_EQ(Rgba(ops[8]), (std::vector<float>{1.0f, 1.0f, 1.0f, 0.69f * 0.5f + 0.5f}));
  ASSERT_EQ(ops[9].kind, DrawOp::Begin);
  EXPECT_EQ(ops[9].mode, unsigned(GL_LINES));
  const std::vector<std::pair<float, float>> border = {{R, B}, {L, B}, {L, B}, {L, T},
                                                       {L, T}, {R, T}, {R, T}, {R, B}};
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(ops[10 + i].kind, DrawOp::Vertex);
    EXPECT_EQ(std::make_pair(ops[10 + i].vx, ops[10 + i].vy), border[i]);
  }
  ASSERT_EQ(ops[18].kind, DrawOp::End);

  // Fourteen empty history lines in green, oldest at the top, then the typing line in yellow.
  const auto strings = StringsOf(host(), ChatWindow(host()));
  ASSERT_EQ(strings.size(), 15u);
  for (int j = 0; j < 14; ++j) {
    SCOPED_TRACE(j);
    EXPECT_EQ(strings[j].text, "");
    EXPECT_EQ(strings[j].x, 509);
    EXPECT_EQ(strings[j].y, 428 + 300 - 20 * j);
    EXPECT_EQ(Rgb(strings[j]), (std::vector<float>{0.5f, 1.0f, 0.5f}));
    ASSERT_TRUE(strings[j].hasWrap);
    EXPECT_EQ(strings[j].wrap, 500);
  }
  const auto &typing = strings[14];
  EXPECT_EQ(typing.text, "|");  // empty line, cursor in its shown phase
  EXPECT_EQ(typing.x, 509);
  EXPECT_EQ(typing.y, 448);
  EXPECT_EQ(Rgb(typing), (std::vector<float>{1.0f, 1.0f, 0.3f}));
  ASSERT_TRUE(typing.hasWrap);
  EXPECT_EQ(typing.wrap, 500);
  for (const auto &s : strings) EXPECT_EQ(s.font, xplmFont_Basic);
}

TEST_F(WindowsTest, FadeMovesInExactFloatStepsAndSetsVisibilityOnEveryCall) {
  Start();
  Tab();
  float previous = 0;
  for (int step = 1; step <= 10; ++step) {
    SCOPED_TRACE(step);
    RunLoop(host(), kFadeLoop);
    ASSERT_TRUE(ChatVisible());
    const float a = Alpha();
    EXPECT_GT(a, previous);
    EXPECT_LE(a, 0.69f);
    previous = a;
  }
  EXPECT_EQ(previous, 0.69f);  // exactly the float, no clamp needed
  EXPECT_EQ(Alpha(), 0.69f);
  RunLoop(host(), kFadeLoop, 5);
  EXPECT_EQ(Alpha(), 0.69f);

  // Visibility is set on every call, even when the opacity stays where it is.
  XPLMSetWindowIsVisible(ChatWindow(host()), 0);
  RunLoop(host(), kFadeLoop);
  EXPECT_TRUE(ChatVisible());

  Tab();  // hands the keyboard back
  Tab();  // closes
  for (int step = 1; step <= 9; ++step) {
    SCOPED_TRACE(step);
    RunLoop(host(), kFadeLoop);
    ASSERT_TRUE(ChatVisible());
    EXPECT_LT(Alpha(), previous);
    previous = Alpha();
  }
  EXPECT_EQ(previous, 0.0689999536f);
  RunLoop(host(), kFadeLoop);
  EXPECT_FALSE(ChatVisible());  // the tenth step ends just below zero
  EXPECT_TRUE(OpsOf(host(), ChatWindow(host())).empty());

  XPLMSetWindowIsVisible(ChatWindow(host()), 1);
  RunLoop(host(), kFadeLoop, 3);
  EXPECT_FALSE(ChatVisible());  // stays below zero, hidden again at each call

  // Up again from just below zero: the first step shows that no clamp moved it to 0, and ten steps
  // still land exactly on the ceiling.
  Tab();
  RunLoop(host(), kFadeLoop);
  EXPECT_EQ(Alpha(), -4.47034836e-08f + 0.069f);
  EXPECT_NE(Alpha(), 0.069f);
  RunLoop(host(), kFadeLoop, 9);
  EXPECT_EQ(Alpha(), 0.69f);
}

TEST_F(WindowsTest, FadeReversedMidwayContinuesFromTheOpacityReached) {
  Start();
  OpenChat();
  Tab();
  Tab();
  RunLoop(host(), kFadeLoop, 3);
  const float reached = Alpha();
  EXPECT_LT(reached, 0.69f);

  Tab();  // open again while still fading out
  RunLoop(host(), kFadeLoop);
  EXPECT_EQ(Alpha(), reached + 0.069f);
  RunLoop(host(), kFadeLoop, 2);
  EXPECT_EQ(Alpha(), 0.69f);
  RunLoop(host(), kFadeLoop, 20);
  EXPECT_EQ(Alpha(), 0.69f);
}

// Return while not connected holds the window open for nine seconds without sending anything.
TEST_F(WindowsTest, TrafficHoldCountsDownFromNineThenFadesOutToTheBoxOnly) {
  Start();
  Tab();
  host().type("hi");
  host().pressKey(kReturn);
  Tab();
  Tab();  // closed by the user, held by the hold

  for (int shown = 9; shown >= 1; --shown) {
    SCOPED_TRACE(shown);
    RunLoop(host(), kShowTimerLoop);
    RunLoop(host(), kFadeLoop);
    ASSERT_TRUE(ChatVisible());
    std::string countdown;
    ASSERT_TRUE(Countdown(host(), &countdown));
    EXPECT_EQ(countdown, std::to_string(shown));
    const auto strings = StringsOf(host(), ChatWindow(host()));
    ASSERT_EQ(strings.size(), 16u);     // history, typing line, countdown
    EXPECT_EQ(strings[14].text, "hi");  // not sent, so kept; no cursor without focus
    EXPECT_EQ(strings[15].x, 1004 - 15);
    EXPECT_EQ(strings[15].y, 428 + 14);
    EXPECT_EQ(Rgb(strings[15]), (std::vector<float>{1.0f, 1.0f, 0.3f}));
  }

  RunLoop(host(), kShowTimerLoop);  // the tenth tick releases the window
  RunLoop(host(), kFadeLoop);
  ASSERT_TRUE(ChatVisible());
  EXPECT_LT(Alpha(), 0.69f);
  EXPECT_TRUE(StringsOf(host(), ChatWindow(host())).empty());
  float border[4];
  ASSERT_TRUE(BorderColour(host(), border));
  EXPECT_EQ(std::vector<float>(border, border + 4), (std::vector<float>{0.0f, 0.0f, 0.0f, Alpha()}));
}

TEST_F(WindowsTest, NewHoldDuringTheHoldReadsTenUntilTheNextTick) {
  Start();
  Tab();
  host().pressKey(kReturn);
  Tab();
  Tab();
  RunLoop(host(), kShowTimerLoop, 3);
  RunLoop(host(), kFadeLoop);
  std::string countdown;
  ASSERT_TRUE(Countdown(host(), &countdown));
  EXPECT_EQ(countdown, "7");

  // A press gives the held window the keyboard; a second Return renews the hold at once.
  host().click(700, 600);
  EXPECT_EQ(host().keyboardFocus(), ChatWindow(host()));
  host().pressKey(kReturn);
  RunLoop(host(), kFadeLoop);
  ASSERT_TRUE(Countdown(host(), &countdown));
  EXPECT_EQ(countdown, "10");
  RunLoop(host(), kShowTimerLoop);
  RunLoop(host(), kFadeLoop);
  ASSERT_TRUE(Countdown(host(), &countdown));
  EXPECT_EQ(countdown, "9");
}

TEST_F(WindowsTest, NoCountdownWhileTheUserKeepsTheWindowOpen) {
  Start();
  Tab();
  host().pressKey(kReturn);  // hold of nine seconds on top of the user's own wish
  for (int tick = 0; tick < 11; ++tick) {
    RunLoop(host(), kShowTimerLoop);
    RunLoop(host(), kFadeLoop);
    std::string countdown;
    EXPECT_FALSE(Countdown(host(), &countdown)) << countdown;
    EXPECT_EQ(StringsOf(host(), ChatWindow(host())).size(), 15u);
  }
  EXPECT_EQ(Alpha(), 0.69f);  // the hold ending does not close a window the user opened
}

TEST_F(WindowsTest, DragMovesTheWindowByTheMouseDeltaAndKeepsItsSize) {
  Start();
  OpenChat();
  const XPLMWindowID chat = ChatWindow(host());
  EXPECT_EQ(host().mouse(600, 600, xplm_MouseDown), chat);
  host().mouse(630, 590, xplm_MouseDrag);
  ExpectGeometry(WindowInfo(host(), chat), 534, 738, 1034, 418);
  host().mouse(640, 580, xplm_MouseDrag);
  ExpectGeometry(WindowInfo(host(), chat), 544, 728, 1044, 408);  // off the screen's edge is allowed
  host().mouse(640, 580, xplm_MouseUp);

  // A drag the window receives after the mouse-up moves nothing.
  const auto w = WindowInfo(host(), chat);
  EXPECT_EQ(w.mouseFn(chat, 700, 500, xplm_MouseDrag, w.refcon), 1);
  ExpectGeometry(WindowInfo(host(), chat), 544, 728, 1044, 408);

  // The plane list is dragged the same way; the drawing follows the new geometry.
  TogglePlaneList();
  const XPLMWindowID plane = PlaneWindow(host());
  EXPECT_EQ(host().mouse(800, 200, xplm_MouseDown), plane);
  host().mouse(770, 250, xplm_MouseDrag);
  host().mouse(770, 250, xplm_MouseUp);
  ExpectGeometry(WindowInfo(host(), plane), 704, 458, 974, 138);
  host().runFrame();
  const auto strings = StringsOf(host(), plane);
  ASSERT_EQ(strings.size(), 21u);
  EXPECT_EQ(strings[0].x, 709);
  EXPECT_EQ(strings[0].y, 438);
}

TEST_F(WindowsTest, PressInThePlaneListDimsTheChatButLeavesItTheKeyboard) {
  Start();
  OpenChat();
  TogglePlaneList();
  ASSERT_EQ(host().keyboardFocus(), ChatWindow(host()));

  host().click(800, 200);
  host().runFrame(0.001);
  float border[4];
  ASSERT_TRUE(BorderColour(host(), border));
  EXPECT_EQ(std::vector<float>(border, border + 4), (std::vector<float>{0.0f, 0.0f, 0.0f, 0.69f}));
  EXPECT_EQ(TypingLine(host()), "");  // no cursor
  EXPECT_EQ(host().keyboardFocus(), ChatWindow(host()));

  // The chat window still gets the keys, and a key press lights it up again.
  host().pressKey('x');
  host().runFrame(0.001);
  EXPECT_EQ(TypingLine(host()), "x|");
  ASSERT_TRUE(BorderColour(host(), border));
  EXPECT_EQ(border[3], 0.69f * 0.5f + 0.5f);
}

// Chat notices from the server fill the history and names reach the plane list.
TEST_F(WindowsTest, ChatNoticesLandAtTheBottomAndPushTheOldestOut) {
  harness::FakeServer peer;
  ASSERT_TRUE(peer.ok());
  WritePrefs("server=" + peer.serverText() + ";connectAtStartup=1;");
  Start();
  ASSERT_TRUE(
      harness::RunUntil(host(), &peer, [&] { return peer.hasClient() && !peer.streamLines().empty(); }));

  std::string notices;
  for (int n = 1; n <= 15; ++n) notices += "0|m|line " + std::to_string(n) + "\n";
  notices += "5|c|Falcon\n";
  ASSERT_TRUE(peer.sendStream(notices));
  TogglePlaneList();

  // The window pops up at the next tick of the show timer.
  ASSERT_TRUE(
      harness::RunUntil(host(), &peer, [&] { return StringsOf(host(), ChatWindow(host())).size() == 16; }));
  const auto strings = StringsOf(host(), ChatWindow(host()));
  for (int j = 0; j < 14; ++j) EXPECT_EQ(strings[j].text, "line " + std::to_string(j + 2)) << j;
  std::string countdown;
  ASSERT_TRUE(Countdown(host(), &countdown));
  EXPECT_EQ(countdown, "9");

  const auto rows = StringsOf(host(), PlaneWindow(host()));
  ASSERT_EQ(rows.size(), 21u);
  EXPECT_EQ(rows[5].text, "5: Falcon Plane 5");
  EXPECT_EQ(rows[4].text, "4:  Plane 4");
  EXPECT_EQ(rows[20].text, "Connected to " + peer.serverText());
}

// ---- the interface scale, a window of its own, VR, labels ----

constexpr double kPi = 3.14159265358979323846;

Host::Window PaneWindow(Host &host) {
  return WindowInfo(host, XPGetWidgetUnderlyingWindow(host.widgets().at(kMain).id));
}

std::vector<int> Place(const Host::Window &w) {
  return {w.left, w.top, w.right, w.bottom};
}

// 1920 x 1080 pixels at 150 % are 1280 x 720 boxels: the windows keep their size and distances in
// boxels, so they show half as large again.
class ScaledScreenTest : public WindowsTest {
  void Configure(HostOptions &o) override {
    o.screenWidth = 1920;
    o.screenHeight = 1080;
    o.interfaceScale = 1.5;
  }
};

TEST_F(ScaledScreenTest, WindowsAndPaneAreInBoxelsAndFollowTheScreen) {
  Start();
  const XPLMWindowID plane = PlaneWindow(host()), chat = ChatWindow(host());
  EXPECT_TRUE(WindowInfo(host(), plane).modern);
  ExpectGeometry(WindowInfo(host(), plane), 990, 360, 1260, 40);
  ExpectGeometry(WindowInfo(host(), chat), 760, 700, 1260, 380);
  TogglePlaneList();
  ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
  host().runFrame();
  const auto strings = StringsOf(host(), plane);
  ASSERT_EQ(strings.size(), 21u);
  EXPECT_EQ((std::vector<int>{strings[0].x, strings[0].y}), (std::vector<int>{995, 340}));
  EXPECT_EQ(host().mouse(1500, 300, xplm_MouseDown), plane);  // the pixel of boxel (1000, 200)
  host().mouse(1500, 300, xplm_MouseUp);
  // The pane in a window of the same kind, level with the plane list, one gap to its left.
  const Host::Window pane = PaneWindow(host());
  EXPECT_TRUE(pane.modern);
  EXPECT_EQ(Place(pane), (std::vector<int>{670, 360, 970, 0}));
  EXPECT_EQ(host().windowShown(pane.id), Host::Shown::Screen);
#ifndef _WIN32
  EXPECT_TRUE(host().screenshot(host().root() + "/scaled.png")) << host().screenshotError();
#endif

  // A larger screen: each keeps its place against the top-right corner, 320 x 180 boxels on.
  host().setScreenSize(2400, 1350);
  host().runFrame();
  ExpectGeometry(WindowInfo(host(), plane), 1310, 540, 1580, 220);
  ExpectGeometry(WindowInfo(host(), chat), 1080, 880, 1580, 560);
  EXPECT_EQ(Place(PaneWindow(host())), (std::vector<int>{990, 540, 1290, 180}));
  EXPECT_EQ(host().widget(host().widgets().at(kUserIDF).id).left, 559 + 256 + 320);
  // Back to 100 %: 2400 x 1350 boxels.
  host().setInterfaceScale(1.0);
  host().runFrame();
  ExpectGeometry(WindowInfo(host(), chat), 1880, 1330, 2380, 1010);
}

TEST_F(WindowsTest, PopOutItemsGiveEachWindowOneOfItsOwnAndBringItBack) {
  Start();
  ASSERT_TRUE(host().commandOnce("skytether/toggle_chat"));
  RunLoop(host(), kFadeLoop, 10);
  const XPLMWindowID chat = ChatWindow(host());
  const auto popOutItem = [&] {
    for (const auto &m : host().menus())
      for (const auto &item : m.items)
        if (item.name == "Pop Out Chat") return item;
    return Host::MenuItem{};
  };
  ASSERT_TRUE(host().pickMenu(MenuPath("Pop Out Chat")));
  EXPECT_EQ(host().windowShown(chat), Host::Shown::PopOut);
  EXPECT_EQ(popOutItem().check, xplm_Menu_Checked);
  // Drawn in its own coordinates there, and clicked there only.
  host().pressKey('x');
  host().runFrame(0.001);
  bool typed = false;
  for (const auto &op : StringsOf(host(), chat)) typed = typed || (op.x == 5 && op.y == 20 && op.text == "x|");
  EXPECT_TRUE(typed);
  EXPECT_EQ(host().mouse(600, 600, xplm_MouseDown), nullptr);
  host().mouse(600, 600, xplm_MouseUp);
  EXPECT_EQ(host().mouseInPopOut(chat, 100, 100, xplm_MouseDown), chat);
  host().mouseInPopOut(chat, 150, 50, xplm_MouseDrag);  // the system moves it, not the plugin
  host().mouseInPopOut(chat, 150, 50, xplm_MouseUp);
  ASSERT_TRUE(host().pickMenu(MenuPath("Pop Out Chat")));
  EXPECT_EQ(host().windowShown(chat), Host::Shown::Screen);
  EXPECT_EQ(popOutItem().check, xplm_Menu_Unchecked);
  ExpectGeometry(WindowInfo(host(), chat), 504, 748, 1004, 428);

  // The pane's item opens the pane there.
  ASSERT_TRUE(host().pickMenu(MenuPath("Pop Out Control & Settings")));
  EXPECT_EQ(host().windowShown(PaneWindow(host()).id), Host::Shown::PopOut);
  EXPECT_TRUE(host().widgetShown(host().widgets().at(kMain).id));
}

// In VR the windows are in the headset and Tab types there; with the chat closed the keys are the
// pilot's.
TEST_F(WindowsTest, InVRTheWindowsAreInTheHeadsetAndTheChatTypesThere) {
  harness::FakeServer peer;
  ASSERT_TRUE(peer.ok());
  WritePrefs("server=" + peer.serverText() + ";connectAtStartup=1;");
  Start();
  ASSERT_TRUE(harness::RunUntil(host(), &peer, [&] { return peer.hasClient() && !peer.streamLines().empty(); }));
  TogglePlaneList();
  ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
  const XPLMWindowID plane = PlaneWindow(host()), chat = ChatWindow(host()), pane = PaneWindow(host()).id;

  host().setVR(true);
  host().runFrame();
  EXPECT_EQ(host().windowShown(plane), Host::Shown::VR);
  EXPECT_EQ(host().windowShown(pane), Host::Shown::VR);
  EXPECT_TRUE(host().clickWidget(host().widgets().at(kSmooth).id));
  EXPECT_TRUE(WindowInfo(host(), chat).inVR);  // hidden until opened
  host().pressKey(kTab);
  RunLoop(host(), kFadeLoop, 10);
  EXPECT_EQ(host().windowShown(chat), Host::Shown::VR);
  EXPECT_EQ(host().keyboardFocus(), chat);
  host().type("hi");
  host().runFrame(0.001);
  bool typed = false;
  for (const auto &op : StringsOf(host(), chat)) typed = typed || (op.x == 5 && op.y == 20 && op.text == "hi|");
  EXPECT_TRUE(typed) << "typed into the chat, drawn in the window's own coordinates";
  host().pressKey(kTab);  // the keyboard back to the host
  host().pressKey(kTab);  // the chat closes
  EXPECT_EQ(host().keyboardFocus(), nullptr);
  host().type("gbb");  // the pilot's gear and brakes
  EXPECT_EQ(host().keysForHost(), "gbb");

  host().setVR(false);
  host().runFrame();
  EXPECT_EQ(host().windowShown(plane), Host::Shown::Screen);
  ExpectGeometry(WindowInfo(host(), plane), 734, 408, 1004, 88);
  ExpectGeometry(WindowInfo(host(), chat), 504, 748, 1004, 428);
  EXPECT_EQ(host().windowShown(pane), Host::Shown::Screen);
}

// Labels: the callsign over each shown aircraft where the host's camera puts it.
class LabelsTest : public sttest::NetTest {
 protected:
  // The label drawn for text in the last frame's 2-D window phase; null when none.
  const DrawOp *Label(const std::string &prefix) {
    host().runFrame();
    for (const auto &op : host().lastFrameDrawing())
      if (op.kind == DrawOp::String && op.window == nullptr && op.phase == xplm_Phase_Window &&
          op.text.rfind(prefix, 0) == 0)
        return &op;
    return nullptr;
  }
  double Get(const std::string &name) { return host().getd(name); }
  // The label's centre, and the baseline 10 above the point.
  void ExpectAt(const DrawOp *op, double x, double y) {
    ASSERT_NE(op, nullptr);
    std::string text = op->text;
    const float width = XPLMMeasureString(xplmFont_Basic, text.c_str(), static_cast<int>(text.size()));
    EXPECT_NEAR(op->x + width / 2, x, 1.0) << op->text;
    EXPECT_NEAR(op->y, y + 10, 1.0) << op->text;
  }
};

TEST_F(LabelsTest, CallsignsOverTheAircraftWhereTheCameraSeesThemUnlessTurnedOff) {
  StartConnected();
  LearnDatagramPort();
  SendStream("3|c|Kite\n");
  sttest::ReportValues v;
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", Get("sim/flightmodel/position/latitude") + 0.01);
  v.lat = text;
  std::snprintf(text, sizeof text, "%.6f", Get("sim/flightmodel/position/longitude") + 0.01);
  v.lon = text;
  std::snprintf(text, sizeof text, "%.1f", Get("sim/flightmodel/position/elevation") + 150);
  v.el = text;
  for (int k = 0; k < 3 && !Label("Kite"); ++k) SendDatagram(sttest::Report(3, v));
  ASSERT_TRUE(harness::RunUntil(host(), peer.get(), [&] { return Label("Kite") != nullptr; }));

  const double ux = Get("sim/flightmodel/position/local_x"), uy = Get("sim/flightmodel/position/local_y"),
               uz = Get("sim/flightmodel/position/local_z");
  const double dx = Get(Plane(3, "x")) - ux, dy = Get(Plane(3, "y")) - uy, dz = Get(Plane(3, "z")) - uz;
  // The map: straight down at 10 m a pixel, north (-z) up.
  ExpectAt(Label("Kite"), 512 + dx / 10, 384 - dz / 10);

  // From the cockpit, 60 degrees across, looking at it: on the centre's column, above the centre
  // by its climb over its distance ahead; facing away, no label.
  host().setCamera({Host::Camera::Cockpit, 60});
  const double bearing = std::atan2(dx, -dz) * 180 / kPi, ahead = std::hypot(dx, dz);
  host().setf("sim/flightmodel/position/psi", static_cast<float>(bearing));
  host().setf("sim/flightmodel/position/theta", 0);
  ExpectAt(Label("Kite"), 512, 384 + dy / ahead / std::tan(30 * kPi / 180) * 512);
  host().setf("sim/flightmodel/position/psi", static_cast<float>(bearing + 180));
  EXPECT_EQ(Label("Kite"), nullptr);
  host().setf("sim/flightmodel/position/psi", static_cast<float>(bearing));

  // The distance when the pilot wants it, saved in the preferences.
  ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
  ASSERT_TRUE(host().clickWidget(host().widgets().at(kLabelDistance).id));
  ASSERT_TRUE(host().clickWidget(host().widgets().at(kSave).id));
  std::snprintf(text, sizeof text, "Kite %.1f nm", std::sqrt(dx * dx + dy * dy + dz * dz) / 1852);
  ASSERT_NE(Label("Kite"), nullptr);
  EXPECT_EQ(Label("Kite")->text, text);
  EXPECT_NE(ReadPrefs().find("labelDistance=1;"), std::string::npos);

  // Off by the command, as the pane shows; none in VR either.
  ASSERT_TRUE(host().commandOnce("skytether/toggle_labels"));
  EXPECT_EQ(Label("Kite"), nullptr);
  EXPECT_EQ(host().widget(host().widgets().at(kLabels).id).properties.at(xpProperty_ButtonState), 0);
  ASSERT_TRUE(host().commandOnce("skytether/toggle_labels"));
  EXPECT_NE(Label("Kite"), nullptr);
  host().setVR(true);
  EXPECT_EQ(Label("Kite"), nullptr);
}

}  // namespace
