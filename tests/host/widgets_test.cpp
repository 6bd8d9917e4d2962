// Widgets: the tree, message dispatch, the standard buttons and text fields, and focus.

#include <cstring>

#include "XPStandardWidgets.h"
#include "XPWidgets.h"
#include "fixture.h"

using hosttest::Fresh;
using hosttest::WithFixture;

namespace {

std::vector<std::string> gMessages;

// Callbacks that note (name, message, param2) and answer as their name says.
template <int Answer>
int noting(XPWidgetMessage msg, XPWidgetID w, intptr_t, intptr_t p2) {
  if (msg == xpMsg_Create) return 0;
  char desc[64];
  XPGetWidgetDescriptor(w, desc, sizeof desc - 1);
  gMessages.push_back(std::string(desc) + " " + std::to_string(msg) + " " + std::to_string(p2) + " -> " +
                      std::to_string(Answer));
  return Answer;
}

struct Pane {
  XPWidgetID main, sub, button;
  Pane() {
    main = XPCreateWidget(0, 300, 300, 0, 1, "main", 1, nullptr, xpWidgetClass_MainWindow);
    sub = XPCreateWidget(10, 290, 290, 10, 1, "sub", 0, main, xpWidgetClass_SubWindow);
    button = XPCreateWidget(20, 280, 80, 260, 1, "button", 0, sub, xpWidgetClass_Button);
  }
};

}  // namespace

class Widgets : public ::testing::Test {
 protected:
  void SetUp() override { gMessages.clear(); }
  Fresh f;
};

TEST_F(Widgets, UpChainRunsEachWidgetsCallbacksNewestFirstAndStopsAtOneThatHandles) {
  Pane p;
  XPAddWidgetCallback(p.button, noting<0>);
  XPAddWidgetCallback(p.sub, noting<0>);
  XPAddWidgetCallback(p.sub, noting<1>);  // newer: runs first on sub, and handles
  XPAddWidgetCallback(p.main, noting<1>);
  EXPECT_EQ(XPSendMessageToWidget(p.button, xpMsg_UserStart, xpMode_UpChain, 0, 7), 1);
  const std::vector<std::string> expected = {"button 10000 7 -> 0", "sub 10000 7 -> 1"};
  EXPECT_EQ(gMessages, expected);
}

TEST_F(Widgets, DispatchModesReachTheCallbacksTheyName) {
  Pane p;
  XPAddWidgetCallback(p.main, noting<1>);
  XPAddWidgetCallback(p.main, noting<0>);
  XPAddWidgetCallback(p.sub, noting<0>);
  XPAddWidgetCallback(p.button, noting<0>);
  EXPECT_EQ(XPSendMessageToWidget(p.main, xpMsg_UserStart, xpMode_Direct, 0, 1), 1);
  EXPECT_EQ(XPSendMessageToWidget(p.main, xpMsg_UserStart, xpMode_Once, 0, 2), 0);
  EXPECT_EQ(XPSendMessageToWidget(p.main, xpMsg_UserStart, xpMode_DirectAllCallbacks, 0, 3), 1);
  EXPECT_EQ(XPSendMessageToWidget(p.main, xpMsg_UserStart, xpMode_Recursive, 0, 4), 1);
  const std::vector<std::string> expected = {
      "main 10000 1 -> 0", "main 10000 1 -> 1",  // direct: until handled
      "main 10000 2 -> 0",                       // once: newest only
      "main 10000 3 -> 0", "main 10000 3 -> 1",  // all callbacks
      "main 10000 4 -> 0", "main 10000 4 -> 1", "sub 10000 4 -> 0", "button 10000 4 -> 0"};  // whole tree
  EXPECT_EQ(gMessages, expected);
  EXPECT_EQ(XPSendMessageToWidget(nullptr, xpMsg_UserStart, xpMode_UpChain, 0, 0), 0);
}

TEST_F(Widgets, ClicksActOnTheButtonsBehaviour) {
  WithFixture w;
  w.host.pickMenu({"Fixture", "Build Pane"});
  w.clearLog();
  XPWidgetID radio = w.host.findWidget("Radio"), check = w.host.findWidget("Check");
  ASSERT_TRUE(w.host.clickWidget(w.host.findWidget("Push")));
  ASSERT_TRUE(w.host.clickWidget(radio));
  ASSERT_TRUE(w.host.clickWidget(radio));  // on already: no message
  ASSERT_TRUE(w.host.clickWidget(check));
  ASSERT_TRUE(w.host.clickWidget(check));
  const std::vector<std::string> expected = {"pane 1300 \"Push\" 0", "pane 1301 \"Radio\" 1",
                                             "pane 1301 \"Check\" 1", "pane 1301 \"Check\" 0"};
  EXPECT_EQ(w.log(), expected);
  EXPECT_EQ(XPGetWidgetProperty(radio, xpProperty_ButtonState, nullptr), 1);
  EXPECT_EQ(XPGetWidgetProperty(check, xpProperty_ButtonState, nullptr), 0);
}

TEST_F(Widgets, AHiddenWidgetOrOneInAHiddenContainerCannotBeUsed) {
  WithFixture w;
  w.host.pickMenu({"Fixture", "Build Pane"});
  w.clearLog();
  XPWidgetID hiddenPush = w.host.findWidget("Hidden Push");
  EXPECT_TRUE(w.host.widget(hiddenPush).visible);  // its own flag is set,
  EXPECT_FALSE(XPIsWidgetVisible(hiddenPush));     // its container's is not
  EXPECT_FALSE(w.host.widgetShown(hiddenPush));
  EXPECT_FALSE(w.host.clickWidget(hiddenPush));
  XPWidgetID field = w.host.widgets()[4].id;
  XPWidgetID pane = w.host.findWidget("Fixture Pane");
  XPHideWidget(pane);
  EXPECT_FALSE(w.host.clickWidget(w.host.findWidget("Push")));
  EXPECT_FALSE(w.host.typeIntoWidget(field, "abc"));
  EXPECT_FALSE(w.host.pressCloseBox(pane));
  EXPECT_FALSE(w.host.clickWidget(nullptr));
  EXPECT_TRUE(w.log().empty());
  XPShowWidget(pane);
  XPShowWidget(w.host.findWidget("Hidden Box"));
  EXPECT_TRUE(XPIsWidgetVisible(hiddenPush));
  EXPECT_TRUE(w.host.clickWidget(hiddenPush));
  EXPECT_EQ(w.log(), std::vector<std::string>{"pane 1300 \"Hidden Push\" 0"});
}

TEST_F(Widgets, TheCloseBoxSendsItsMessageUpFromTheMainWindow) {
  WithFixture w;
  w.host.pickMenu({"Fixture", "Build Pane"});
  w.clearLog();
  XPWidgetID pane = w.host.findWidget("Fixture Pane");
  EXPECT_FALSE(w.host.pressCloseBox(w.host.findWidget("Push")));  // not a main window
  EXPECT_TRUE(w.host.pressCloseBox(pane));
  EXPECT_EQ(w.log(), std::vector<std::string>{"pane 1200 \"Fixture Pane\" 0"});
  EXPECT_FALSE(XPIsWidgetVisible(pane));  // the fixture hides it
  // A main window made without close boxes has none to press.
  XPShowWidget(pane);
  XPSetWidgetProperty(pane, xpProperty_MainWindowHasCloseBoxes, 0);
  w.clearLog();
  EXPECT_FALSE(w.host.pressCloseBox(pane));
  EXPECT_TRUE(w.log().empty());
}

TEST_F(Widgets, TypingEditsATextFieldAndReportsEachChange) {
  WithFixture w;
  w.host.pickMenu({"Fixture", "Build Pane"});
  w.clearLog();
  XPWidgetID field = w.host.widgets()[4].id;
  ASSERT_EQ(w.host.widget(field).widgetClass, xpWidgetClass_TextField);
  ASSERT_TRUE(w.host.typeIntoWidget(field, "ab\bc"));
  EXPECT_EQ(w.host.widgetFocus(), field);
  EXPECT_EQ(w.host.widget(field).descriptor, "ac");
  const std::vector<std::string> expected = {"pane 1400 \"a\" 0", "pane 1400 \"ab\" 0", "pane 1400 \"a\" 0",
                                             "pane 1400 \"ac\" 0"};
  EXPECT_EQ(w.logOf("pane"), expected);
  // While the field has the keyboard, the plugin's sniffer behind the windows sees none of it.
  EXPECT_TRUE(w.logOf("sniffer").empty());
  w.host.typeIntoWidget(field, "\x7f\x7f\x7f");  // past empty: nothing more to remove
  EXPECT_EQ(w.host.widget(field).descriptor, "");
  EXPECT_EQ(w.logOf("pane").size(), 6u);
}

TEST_F(Widgets, MaxCharactersLimitsTyping) {
  XPWidgetID field = XPCreateWidget(0, 20, 100, 0, 1, "", 1, nullptr, xpWidgetClass_TextField);
  XPSetWidgetProperty(field, xpProperty_MaxCharacters, 3);
  EXPECT_TRUE(f.host.typeIntoWidget(field, "abcdef"));
  EXPECT_EQ(f.host.widget(field).descriptor, "abc");
}

TEST_F(Widgets, AWidgetThatTakesNoKeysCannotBeTypedInto) {
  Pane p;
  EXPECT_FALSE(f.host.typeIntoWidget(p.button, "x"));
  EXPECT_EQ(f.host.widgetFocus(), nullptr);
}

TEST_F(Widgets, WidgetFocusAndWindowFocusExcludeEachOther) {
  static std::vector<int> losing;
  losing.clear();
  XPLMWindowID win = XPLMCreateWindow(
      0, 10, 10, 0, 1, nullptr,
      [](XPLMWindowID, char, XPLMKeyFlags, char, void *, int lose) { losing.push_back(lose); }, nullptr,
      nullptr);
  XPWidgetID field = XPCreateWidget(0, 20, 100, 0, 1, "", 1, nullptr, xpWidgetClass_TextField);
  XPLMTakeKeyboardFocus(win);
  EXPECT_EQ(XPSetKeyboardFocus(field), field);
  EXPECT_EQ(f.host.keyboardFocus(), nullptr);
  EXPECT_EQ(losing, std::vector<int>{1});
  XPLMTakeKeyboardFocus(win);
  EXPECT_EQ(XPGetWidgetWithFocus(), nullptr);
  XPSetKeyboardFocus(field);
  XPHideWidget(field);  // a hidden field gives the keyboard up
  EXPECT_EQ(XPGetWidgetWithFocus(), nullptr);
}

TEST_F(Widgets, DescriptorsAreCopiedAndReadBackWithinTheBuffer) {
  std::string source = "Control & Settings";
  XPWidgetID w = XPCreateWidget(0, 10, 10, 0, 1, source.c_str(), 1, nullptr, xpWidgetClass_Caption);
  source.assign(source.size(), 'x');  // the host keeps its own copy
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(XPGetWidgetDescriptor(w, buf, 5), 18);
  EXPECT_STREQ(buf, "Contr");
  EXPECT_EQ(buf[6], '#');  // nothing written past the terminator
  EXPECT_EQ(XPGetWidgetDescriptor(w, nullptr, 0), 18);
  XPSetWidgetDescriptor(w, nullptr);
  EXPECT_EQ(XPGetWidgetDescriptor(w, buf, 7), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(XPGetWidgetDescriptor(nullptr, buf, 7), 0);
}

TEST_F(Widgets, PropertiesSayWhetherTheyExist) {
  Pane p;
  int exists = -1;
  EXPECT_EQ(XPGetWidgetProperty(p.main, xpProperty_UserStart, &exists), 0);
  EXPECT_EQ(exists, 0);
  XPSetWidgetProperty(p.main, xpProperty_UserStart, -12345);
  EXPECT_EQ(XPGetWidgetProperty(p.main, xpProperty_UserStart, &exists), -12345);
  EXPECT_EQ(exists, 1);
  // A standard widget holds only what was set: a button's state appears once it changes.
  EXPECT_EQ(XPGetWidgetProperty(p.button, xpProperty_ButtonState, &exists), 0);
  EXPECT_EQ(exists, 0);
  XPSetWidgetProperty(p.button, xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox);
  f.host.clickWidget(p.button);
  EXPECT_EQ(XPGetWidgetProperty(p.button, xpProperty_ButtonState, &exists), 1);
  EXPECT_EQ(exists, 1);
  XPGetWidgetProperty(nullptr, xpProperty_UserStart, &exists);
  EXPECT_EQ(exists, 0);
}

TEST_F(Widgets, TheTreeAnswersParentChildAndGeometryQueries) {
  Pane p;
  EXPECT_EQ(XPGetParentWidget(p.button), p.sub);
  EXPECT_EQ(XPCountChildWidgets(p.main), 1);
  EXPECT_EQ(XPGetNthChildWidget(p.sub, 0), p.button);
  EXPECT_EQ(XPGetNthChildWidget(p.sub, 1), nullptr);
  EXPECT_EQ(XPFindRootWidget(p.button), p.main);
  EXPECT_EQ(XPGetWidgetForLocation(p.main, 50, 270, 1, 1), p.button);
  EXPECT_EQ(XPGetWidgetForLocation(p.main, 50, 270, 0, 1), p.sub);
  XPSetWidgetGeometry(p.button, 1, 2, 3, 4);
  int l, t, r, b;
  XPGetWidgetGeometry(p.button, &l, &t, &r, &b);
  EXPECT_EQ(l + t + r + b, 10);
  XPPlaceWidgetWithin(p.main, p.button);  // would make a cycle: refused
  EXPECT_EQ(XPGetParentWidget(p.main), nullptr);
  XPPlaceWidgetWithin(p.button, p.main);
  EXPECT_EQ(XPCountChildWidgets(p.main), 2);
  EXPECT_EQ(XPCountChildWidgets(p.sub), 0);
}

TEST_F(Widgets, DestroyingWithChildrenTellsEachAndForgetsThem) {
  static std::vector<std::pair<XPWidgetID, intptr_t>> destroyed;
  destroyed.clear();
  auto onDestroy = [](XPWidgetMessage msg, XPWidgetID w, intptr_t p1, intptr_t) -> int {
    if (msg == xpMsg_Destroy) {
      destroyed.emplace_back(w, p1);
      XPDestroyWidget(w, 1);  // a destroy from inside the destroy is ignored
    }
    return 0;
  };
  Pane p;
  XPAddWidgetCallback(p.main, onDestroy);
  XPAddWidgetCallback(p.button, onDestroy);
  XPSetKeyboardFocus(XPCreateWidget(0, 1, 1, 0, 1, "", 0, p.sub, xpWidgetClass_TextField));
  XPDestroyWidget(p.main, 1);
  ASSERT_EQ(destroyed.size(), 2u);
  EXPECT_EQ(destroyed[0], std::make_pair(p.main, intptr_t{0}));
  EXPECT_EQ(destroyed[1], std::make_pair(p.button, intptr_t{1}));
  EXPECT_TRUE(f.host.widgets().empty());
  EXPECT_EQ(XPGetWidgetWithFocus(), nullptr);
  EXPECT_FALSE(XPIsWidgetVisible(p.button));
}

TEST_F(Widgets, DestroyingWithoutChildrenLeavesThemAsRoots) {
  Pane p;
  XPDestroyWidget(p.sub, 0);
  EXPECT_TRUE(f.host.widgetExists(p.button));
  EXPECT_EQ(XPGetParentWidget(p.button), nullptr);
  EXPECT_EQ(XPCountChildWidgets(p.main), 0);
}
