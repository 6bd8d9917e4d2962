// The chat window and the plane list window, seen from the host: geometry, drawing, fade, the
// traffic hold with its countdown, and the mouse.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <GL/gl.h>

#include "XPLMDisplay.h"
#include "XPLMGraphics.h"
#include "plugin_test.h"
#include "fake_server.h"
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

}  // namespace
