// Chat entry from the keyboard: Tab, editing the typing line, sending it, the cursor blink.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "XPLMDefs.h"
#include "XPLMDisplay.h"
#include "XPWidgets.h"
#include "plugin_test.h"
#include "fake_server.h"
#include "ui_support.h"

namespace {

using namespace uitest;

class ChatEntryTest : public harness::PluginTest {
 protected:
  // Tab opens the chat only during a session.
  void StartConnected() {
    peer = std::make_unique<harness::FakeServer>();
    ASSERT_TRUE(peer->ok());
    WritePrefs("server=" + peer->serverText() + ";connectAtStartup=1;");
    Start();
    ASSERT_TRUE(harness::RunUntil(host(), peer.get(), [&] { return !peer->streamLines().empty(); }));
  }
  void OpenChat() {
    ASSERT_TRUE(host().commandOnce("skytether/toggle_chat"));
    RunLoop(host(), kFadeLoop, 10);
  }
  // A short frame: too short for the packet cycle or the cursor timer to come due again.
  std::string Typing() {
    host().runFrame(0.001);
    return TypingLine(host());
  }
  bool BorderLit() {
    float rgba[4];
    EXPECT_TRUE(BorderColour(host(), rgba));
    return rgba[0] == 1.0f;
  }
  float Alpha() {
    float a = -1;
    EXPECT_TRUE(ChatFillAlpha(host(), &a));
    return a;
  }
  Host::Window Chat() { return WindowInfo(host(), ChatWindow(host())); }
  // Sends a key straight to a window's key callback, as the host does.
  // The windows share one key callback; the host passes `window` as the window id.
  void KeyCallback(XPLMWindowID window, char key, int flags, int losingFocus) {
    const auto w = WindowInfo(host(), ChatWindow(host()));
    w.keyFn(window, key, flags, 0, w.refcon, losingFocus);
  }
  std::unique_ptr<harness::FakeServer> peer;
};

// Tab, and the command a pilot binds in its place, do the same.
class ChatTabTest : public ChatEntryTest, public ::testing::WithParamInterface<Via> {
 protected:
  void Tab(int extraFlags = 0) {
    if (GetParam() == Via::Command)
      ASSERT_TRUE(host().commandOnce("skytether/toggle_chat"));
    else
      host().pressKey(kTab, 0, extraFlags);
  }
};

TEST_P(ChatTabTest, OpensWithFocusThenHandsFocusBackThenCloses) {
  StartConnected();
  Tab();
  EXPECT_EQ(host().keyboardFocus(), ChatWindow(host()));
  RunLoop(host(), kFadeLoop, 10);
  EXPECT_TRUE(Chat().visible);
  EXPECT_EQ(Typing(), "|");
  EXPECT_TRUE(BorderLit());

  Tab();
  EXPECT_EQ(host().keyboardFocus(), nullptr);
  RunLoop(host(), kFadeLoop, 5);
  EXPECT_EQ(Alpha(), 0.69f);  // open without focus
  EXPECT_EQ(Typing(), "");
  EXPECT_FALSE(BorderLit());

  Tab(xplm_ShiftFlag);  // Shift-Tab counts as Tab
  EXPECT_EQ(host().keyboardFocus(), nullptr);
  RunLoop(host(), kFadeLoop, 10);
  EXPECT_FALSE(Chat().visible);

  Tab();  // and the cycle starts over
  EXPECT_EQ(host().keyboardFocus(), ChatWindow(host()));
  RunLoop(host(), kFadeLoop, 10);

  // A press in the plane list dims the typing line but leaves the chat the keyboard: Tab hands it
  // back and the window stays open.
  ASSERT_TRUE(host().pickMenu(MenuPath("Toggle Plane List")));
  host().click(800, 200);
  ASSERT_EQ(host().keyboardFocus(), ChatWindow(host()));
  Tab();
  EXPECT_EQ(host().keyboardFocus(), nullptr);
  RunLoop(host(), kFadeLoop, 5);
  EXPECT_EQ(Alpha(), 0.69f);
}

INSTANTIATE_TEST_SUITE_P(KeyAndCommand, ChatTabTest, ::testing::Values(Via::Original, Via::Command), ViaName);

TEST_F(ChatEntryTest, KeyReleasesDoNothing) {
  StartConnected();
  const auto sniffers = host().keySniffers();
  ASSERT_EQ(sniffers.size(), 1u);
  const auto sniff = sniffers[0].fn;
  EXPECT_EQ(sniff(kTab, xplm_UpFlag, XPLM_VK_TAB, sniffers[0].refcon), 1);
  EXPECT_EQ(sniff('a', xplm_DownFlag, 'A', sniffers[0].refcon), 1);  // passed on to the host
  RunLoop(host(), kFadeLoop, 3);
  EXPECT_FALSE(Chat().visible);
  EXPECT_EQ(host().keyboardFocus(), nullptr);

  EXPECT_EQ(sniff(kTab, xplm_DownFlag, XPLM_VK_TAB, sniffers[0].refcon), 0);  // consumed, opens
  EXPECT_EQ(host().keyboardFocus(), ChatWindow(host()));
  RunLoop(host(), kFadeLoop, 10);

  host().keyUp('a');
  host().keyUp(kTab);
  EXPECT_EQ(host().keyboardFocus(), ChatWindow(host()));
  EXPECT_EQ(Typing(), "|");
}

TEST_F(ChatEntryTest, TabIsTheHostsWithoutASessionOrWhileAFieldHasTheKeyboard) {
  peer = std::make_unique<harness::FakeServer>();
  WritePrefs("server=" + peer->serverText() + ";");
  Start();
  host().pressKey(kTab);
  EXPECT_EQ(host().keysForHost(), "\t");
  // Connected, with a field of the settings pane holding the keyboard; then with nothing holding it.
  ASSERT_TRUE(host().commandOnce("skytether/connect"));
  ASSERT_TRUE(harness::RunUntil(host(), peer.get(), [&] { return !peer->streamLines().empty(); }));
  ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
  ASSERT_TRUE(host().typeIntoWidget(host().widgets().at(kUserIDF).id, "x"));
  host().pressKey(kTab);
  EXPECT_EQ(host().keysForHost(), "\t\t");
  XPSetKeyboardFocus(nullptr);
  host().pressKey(kTab);
  EXPECT_EQ(host().keyboardFocus(), ChatWindow(host()));
  EXPECT_EQ(host().keysForHost(), "\t\t");
}

TEST_F(ChatEntryTest, EditingTheTypingLine) {
  Start();
  OpenChat();
  host().pressKey(kBackspace);
  host().pressKey(kDeleteKey);
  EXPECT_EQ(Typing(), "|");  // nothing to remove

  host().type("ab");
  host().pressKey(kBackspace);
  host().type("c");
  EXPECT_EQ(Typing(), "ac|");
  host().type("de");
  host().pressKey(kDeleteKey);
  EXPECT_EQ(Typing(), "acd|");

  host().pressKey(static_cast<char>(1));
  host().pressKey('\x1b');
  host().pressKey(static_cast<char>(-1));
  EXPECT_EQ(Typing(), "acd|");

  // A key the line cannot hold is dropped, but the press still lights the focus and the cursor.
  ASSERT_TRUE(host().pickMenu(MenuPath("Toggle Plane List")));
  host().click(800, 200);  // a press in the plane list dims the chat
  EXPECT_EQ(Typing(), "acd");
  host().pressKey(static_cast<char>(200));
  EXPECT_EQ(Typing(), "acd|");
  EXPECT_TRUE(BorderLit());

  host().type(" x~");
  EXPECT_EQ(Typing(), "acd x~|");
}

TEST_F(ChatEntryTest, LosingTheFocusDimsWhicheverWindowTheHostNamesAndTypesNothing) {
  Start();
  OpenChat();
  host().type("ab");
  EXPECT_EQ(Typing(), "ab|");
  // Today's host names the window taking the focus, or 0; an older one named the chat window.
  for (XPLMWindowID named : {ChatWindow(host()), PlaneWindow(host()), XPLMWindowID(nullptr)}) {
    KeyCallback(named, 'x', xplm_DownFlag, 1);
    EXPECT_EQ(Typing(), "ab");
    EXPECT_FALSE(BorderLit());
    KeyCallback(ChatWindow(host()), 'z', xplm_DownFlag, 0);
    EXPECT_EQ(Typing(), "abz|");
    host().pressKey(kBackspace);
  }
  // A key for another window dims too.
  KeyCallback(PlaneWindow(host()), 'y', xplm_DownFlag, 0);
  EXPECT_EQ(Typing(), "ab");
  EXPECT_FALSE(BorderLit());
}

TEST_F(ChatEntryTest, ReturnSendsTheChatLineWhenConnected) {
  harness::FakeServer peer;
  ASSERT_TRUE(peer.ok());
  WritePrefs("server=" + peer.serverText() + ";connectAtStartup=1;");
  Start();
  ASSERT_TRUE(
      harness::RunUntil(host(), &peer, [&] { return peer.hasClient() && !peer.streamLines().empty(); }));
  const std::string login = peer.streamLines()[0];
  const std::string id = login.substr(0, login.find('|'));
  ASSERT_FALSE(id.empty());
  peer.streamText.clear();

  ASSERT_TRUE(host().pickMenu(MenuPath("Toggle Plane List")));
  OpenChat();
  RunLoop(host(), kPacketLoop);  // resets the stream indicators
  auto traffic = [&] { return StringsOf(host(), PlaneWindow(host())).at(0).text.substr(17, 2); };
  EXPECT_EQ(traffic(), "  ");

  host().type("hi");
  host().pressKey(kReturn);
  host().runFrame(0.001);
  EXPECT_EQ(traffic(), "Tx");
  EXPECT_EQ(TypingLine(host()), "|");  // cleared, focus kept for the next line

  host().pressKey(kReturn);  // an empty line goes out all the same
  host().type("a|b");        // and "|" is not escaped
  host().pressKey(kReturn);
  ASSERT_TRUE(harness::RunUntil(host(), &peer, [&] { return peer.streamLines().size() >= 3; }));
  EXPECT_EQ(peer.streamLines(),
            (std::vector<std::string>{id + "|MESSAGE|hi\n", id + "|MESSAGE|\n", id + "|MESSAGE|a|b\n"}));

  // The sender's own line reaches the history only through the server.
  for (const auto &s : StringsOf(host(), ChatWindow(host())))
    if (s.y > 448) {
      EXPECT_EQ(s.text, "");
    }

  // The send also holds the window open once the user closes it.
  host().pressKey(kTab);
  host().pressKey(kTab);
  RunLoop(host(), kShowTimerLoop);
  RunLoop(host(), kFadeLoop);
  std::string countdown;
  ASSERT_TRUE(Countdown(host(), &countdown));
  EXPECT_GE(std::stoi(countdown), 1);
  EXPECT_LE(std::stoi(countdown), 9);
}

TEST_F(ChatEntryTest, CursorBlinksOnlyWhileTheTypingLineHasFocus) {
  Start();
  OpenChat();
  host().type("go");
  std::vector<std::string> phases;
  std::vector<double> times;
  for (int tick = 0; tick < 4; ++tick) {
    RunLoop(host(), kCursorLoop, 1, 0.01);
    phases.push_back(TypingLine(host()));
    times.push_back(host().elapsed());
  }
  EXPECT_EQ(phases, (std::vector<std::string>{"go ", "go|", "go ", "go|"}));
  for (int i = 1; i < 4; ++i) EXPECT_NEAR(times[i] - times[i - 1], 0.5, 0.011);

  // A key press restarts the blink in the shown phase.
  RunLoop(host(), kCursorLoop, 1, 0.01);
  EXPECT_EQ(TypingLine(host()), "go ");
  host().type("!");
  EXPECT_EQ(Typing(), "go!|");

  // Without focus the phase stays off: three ticks later a press gives the focus back and the
  // cursor is still in its hidden phase.
  host().pressKey(kTab);
  RunLoop(host(), kCursorLoop, 3, 0.01);
  EXPECT_EQ(TypingLine(host()), "go!");
  host().click(700, 600);
  EXPECT_EQ(host().keyboardFocus(), ChatWindow(host()));
  EXPECT_EQ(Typing(), "go! ");
  EXPECT_TRUE(BorderLit());

  // The host taking the keyboard back stops the blink as well.
  host().type("?");
  XPLMTakeKeyboardFocus(nullptr);
  RunLoop(host(), kCursorLoop, 3, 0.01);
  EXPECT_EQ(TypingLine(host()), "go!?");
}

}  // namespace
