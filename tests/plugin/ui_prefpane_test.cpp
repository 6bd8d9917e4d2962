// The settings pane "Control & Settings": its widgets, the menu picks, apply and cancel, connect and
// disconnect, and the refusal of text the preferences file cannot hold.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "XPLMGraphics.h"
#include "XPStandardWidgets.h"
#include "XPWidgets.h"
#include "plugin_test.h"
#include "md5.h"
#include "fake_server.h"
#include "ui_support.h"

namespace {

using namespace uitest;
using Widget = Host::Widget;

// clang-format off
const std::vector<W> kCrewControls = {kCrewIDT, kCrewIDF, kPositionT, kPilot, kCoPilot, kNavigator, kEngineer};
// clang-format on

std::string Prefs(const std::string &callsign, const std::string &user, const std::string &password, int mode,
                  int position, const std::string &crew, int atStartup, int smooth = 1,
                  const std::string &server = "") {
  return "callsign=" + callsign + ";userID=" + user + ";password=" + password +
         ";flightMode=" + std::to_string(mode) + ";cockpitPosition=" + std::to_string(position) +
         ";crewID=" + crew + ";connectAtStartup=" + std::to_string(atStartup) + ";" +
         (server.empty() ? "" : "server=" + server + ";") + "smoothTraffic=" + std::to_string(smooth) + ";";
}

class PrefPaneTest : public harness::PluginTest {
 protected:
  void PickSettings() { ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings"))); }
  XPWidgetID Id(W w) {
    const auto all = host().widgets();
    EXPECT_GT(all.size(), size_t(w));
    return all.size() > size_t(w) ? all[w].id : nullptr;
  }
  Widget Get(W w) { return host().widget(Id(w)); }
  bool Shown(W w) { return host().widgetShown(Id(w)); }
  std::string Text(W w) { return Get(w).descriptor; }
  intptr_t State(W w) {
    const auto props = Get(w).properties;
    auto it = props.find(xpProperty_ButtonState);
    return it == props.end() ? 0 : it->second;
  }
  void Click(W w) { ASSERT_TRUE(host().clickWidget(Id(w))) << "widget " << w << " not clickable"; }
  // Replaces a field's text the way a user would: erase it, then type.
  void Retype(W w, const std::string &text) {
    ASSERT_TRUE(host().typeIntoWidget(Id(w), std::string(Text(w).size(), '\b') + text));
    ASSERT_EQ(Text(w), text);
  }
  bool PaneShown() { return Shown(kMain); }
};

struct Expected {
  W w;
  int cls;
  const char *descriptor;
  int left, top, right, bottom;
  bool visible;
  std::map<int, intptr_t> properties;
};

// On 1024 x 768 the pane's left is 414 and its top 408; the columns start at 454. The server row,
// the smoothing row and the labels row under the buttons make it 360 high.
TEST_F(PrefPaneTest, FirstPickBuildsTheWholePaneFilledFromThePreferences) {
  WritePrefs(Prefs("Falcon", "42", "secret", 0, 0, "7", 1));
  Start();
  PickSettings();
  const auto widgets = host().widgets();
  ASSERT_EQ(widgets.size(), size_t(kWidgetCount));

  const int Cap = xpWidgetClass_Caption, Fld = xpWidgetClass_TextField, Btn = xpWidgetClass_Button;
  const std::map<int, intptr_t> radio = {{xpProperty_ButtonType, xpRadioButton},
                                         {xpProperty_ButtonBehavior, xpButtonBehaviorRadioButton}};
  const std::map<int, intptr_t> push = {{xpProperty_ButtonType, xpPushButton},
                                        {xpProperty_ButtonBehavior, xpButtonBehaviorPushButton}};
  const std::map<int, intptr_t> field = {{xpProperty_TextFieldType, xpTextEntryField}};
  // clang-format off
  const std::vector<Expected> table = {
      {kMain, xpWidgetClass_MainWindow, "Control & Settings", 414, 408, 714, 48, true,
       {{xpProperty_MainWindowHasCloseBoxes, 0}}},
      {kPanel, xpWidgetClass_SubWindow, "", 434, 368, 694, 68, true, {{xpProperty_SubWindowType, 0}}},
      {kUserIDT, Cap, "User ID:", 454, 358, 554, 346, true, {}},
      {kUserIDF, Fld, "42", 559, 358, 669, 346, true, field},
      {kPasswordT, Cap, "Password:", 454, 338, 554, 326, true, {}},
      {kPasswordF, Fld, "secret", 559, 338, 669, 326, true,
       {{xpProperty_TextFieldType, xpTextEntryField}, {xpProperty_PasswordMode, 1}}},
      {kCallsignT, Cap, "Call/Nickname:", 454, 318, 554, 306, true, {}},
      {kCallsignF, Fld, "Falcon", 559, 318, 669, 306, true, field},
      {kFlightModeT, Cap, "Flight Mode:", 454, 298, 554, 286, true, {}},
      {kSolo, Btn, "Solo", 559, 298, 569, 286, true, radio},
      {kCrewed, Btn, "Crewed", 604, 298, 614, 286, true, radio},
      {kCrewIDT, Cap, "Crew ID:", 454, 278, 554, 266, false, {}},
      {kCrewIDF, Fld, "7", 559, 278, 669, 266, false, field},
      {kPositionT, Cap, "Position:", 454, 258, 554, 246, false, {}},
      {kPilot, Btn, "Pilot", 559, 258, 569, 246, false, radio},
      {kCoPilot, Btn, "Co-Pilot", 559, 238, 569, 226, false, radio},
      {kNavigator, Btn, "Navigator", 559, 218, 569, 206, false, radio},
      {kEngineer, Btn, "Flight Engineer", 559, 198, 569, 186, false, radio},
      {kConnect, Btn, "Connect", 454, 168, 524, 156, true, push},
      {kDisconnect, Btn, "Disconnect", 454, 168, 524, 156, false, push},
      {kConnectStart, Btn, "Connect at startup", 559, 168, 569, 156, true,
       {{xpProperty_ButtonType, xpRadioButton},
        {xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox},
        {xpProperty_ButtonState, 1}}},
      {kCancel, Btn, "Cancel", 479, 148, 534, 136, true, push},
      {kApply, Btn, "Apply", 539, 148, 584, 136, true, push},
      {kSave, Btn, "Save & Close", 589, 148, 669, 136, true, push},
      {kServerT, Cap, "Server:", 454, 128, 554, 116, true, {}},
      {kServerF, Fld, "", 559, 128, 669, 116, true, field},
      {kSmooth, Btn, "Smooth traffic", 559, 108, 569, 96, true,
       {{xpProperty_ButtonType, xpRadioButton},
        {xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox},
        {xpProperty_ButtonState, 1}}},
      {kLabels, Btn, "Labels", 559, 88, 569, 76, true,
       {{xpProperty_ButtonType, xpRadioButton},
        {xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox},
        {xpProperty_ButtonState, 1}}},
      {kLabelDistance, Btn, "Distance", 614, 88, 624, 76, true,
       {{xpProperty_ButtonType, xpRadioButton},
        {xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox},
        {xpProperty_ButtonState, 0}}},
  };
  // clang-format on
  for (const auto &e : table) {
    SCOPED_TRACE(e.descriptor);
    const auto &w = widgets[e.w];
    EXPECT_EQ(w.widgetClass, e.cls);
    EXPECT_EQ(w.descriptor, e.descriptor);
    EXPECT_EQ((std::vector<int>{w.left, w.top, w.right, w.bottom}),
              (std::vector<int>{e.left, e.top, e.right, e.bottom}));
    EXPECT_EQ(w.visible, e.visible);
    for (const auto &[property, value] : e.properties) {
      ASSERT_TRUE(w.properties.count(property)) << "property " << property;
      EXPECT_EQ(w.properties.at(property), value) << "property " << property;
    }
    if (e.w == kMain) {
      EXPECT_TRUE(w.isRoot);
      EXPECT_EQ(w.container, nullptr);
    } else {
      EXPECT_FALSE(w.isRoot);
      EXPECT_EQ(w.container, widgets[kMain].id);  // never the inner panel
    }
  }
  // Only the password is masked.
  for (const auto &w : widgets) {
    if (w.id != widgets[kPasswordF].id && w.properties.count(xpProperty_PasswordMode)) {
      EXPECT_EQ(w.properties.at(xpProperty_PasswordMode), 0) << w.descriptor;
    }
  }

  // Solo from the file, position Pilot, each group exclusive.
  EXPECT_EQ(State(kSolo), 1);
  EXPECT_EQ(State(kCrewed), 0);
  EXPECT_EQ((std::vector<intptr_t>{State(kPilot), State(kCoPilot), State(kNavigator), State(kEngineer)}),
            (std::vector<intptr_t>{1, 0, 0, 0}));

  // Every caption's text ends inside the inner panel.
  for (const auto &w : widgets) {
    if (w.widgetClass != xpWidgetClass_Caption) continue;
    EXPECT_LE(w.left + XPLMMeasureString(xplmFont_Basic, w.descriptor.c_str(), int(w.descriptor.size())),
              widgets[kPanel].right)
        << w.descriptor;
  }

  // The refusal caption waits hidden and empty in the free strip of the inner panel.
  const auto &error = widgets[kError];
  EXPECT_EQ(error.widgetClass, xpWidgetClass_Caption);
  EXPECT_EQ(error.descriptor, "");
  EXPECT_FALSE(error.visible);
  EXPECT_EQ(error.container, widgets[kMain].id);
  EXPECT_GE(error.left, 414 + 20);
  EXPECT_LE(error.right, 414 + 280);
  EXPECT_LE(error.top, 408 - 40);
  EXPECT_GE(error.bottom, 408 - 280);
  for (int k = kUserIDT; k < kWidgetCount; ++k) {
    if (k == kError) continue;
    const auto &w = widgets[k];
    const bool apart = error.bottom >= w.top || error.top <= w.bottom;
    EXPECT_TRUE(apart) << "caption overlaps " << w.descriptor;
  }
  EXPECT_TRUE(PaneShown());
}

TEST_F(PrefPaneTest, CrewedInThePreferencesShowsTheCrewControlsAtOnce) {
  WritePrefs(Prefs("Falcon", "42", "", 1, 2, "7", 0));
  Start();
  PickSettings();
  for (W w : kCrewControls) EXPECT_TRUE(Shown(w)) << w;
  EXPECT_EQ(State(kSolo), 0);
  EXPECT_EQ(State(kCrewed), 1);
  EXPECT_EQ((std::vector<intptr_t>{State(kPilot), State(kCoPilot), State(kNavigator), State(kEngineer)}),
            (std::vector<intptr_t>{0, 0, 1, 0}));
  EXPECT_EQ(State(kConnectStart), 0);
}

TEST_F(PrefPaneTest, OutOfRangeModeAndPositionLeaveTheirGroupsAloneAndSurviveApply) {
  WritePrefs(Prefs("Falcon", "42", "", 5, 7, "7", 0));
  Start();
  PickSettings();
  EXPECT_EQ(State(kSolo), 0);
  EXPECT_EQ(State(kCrewed), 0);
  for (W w : kCrewControls) EXPECT_FALSE(Shown(w)) << w;
  for (W w : {kPilot, kCoPilot, kNavigator, kEngineer}) EXPECT_EQ(State(w), 0) << w;

  Click(kApply);
  // Neither mode button is on, so both values stay; the file writes any non-zero mode as 1.
  EXPECT_EQ(ReadPrefs(), Prefs("Falcon", "42", "", 1, 7, "7", 0));
}

// The menu item and the pane's buttons, and the commands a pilot binds in their place, do the same.
class PrefPaneViaTest : public PrefPaneTest, public ::testing::WithParamInterface<Via> {
 protected:
  void Open() {
    if (GetParam() == Via::Command)
      ASSERT_TRUE(host().commandOnce("skytether/settings"));
    else
      PickSettings();
  }
  void Press(W button, const char *command) {
    if (GetParam() == Via::Command)
      ASSERT_TRUE(host().commandOnce(command));
    else
      Click(button);
  }
};

TEST_P(PrefPaneViaTest, OpeningBuildsThenRefillsThenLeavesAVisiblePaneAlone) {
  WritePrefs(Prefs("Falcon", "42", "", 0, 0, "", 0));
  Start();
  Open();
  ASSERT_EQ(host().widgets().size(), size_t(kWidgetCount));
  ASSERT_TRUE(host().typeIntoWidget(Id(kCallsignF), "X"));
  Click(kCrewed);
  Click(kCancel);
  EXPECT_FALSE(PaneShown());

  Open();  // refilled from the globals, not rebuilt
  EXPECT_EQ(host().widgets().size(), size_t(kWidgetCount));
  EXPECT_TRUE(PaneShown());
  EXPECT_EQ(Text(kCallsignF), "Falcon");
  EXPECT_EQ(State(kSolo), 1);
  EXPECT_EQ(State(kCrewed), 0);
  for (W w : kCrewControls) EXPECT_FALSE(Shown(w)) << w;

  ASSERT_TRUE(host().typeIntoWidget(Id(kCallsignF), "Y"));
  Open();  // visible: nothing happens, the edit stays
  EXPECT_EQ(Text(kCallsignF), "FalconY");
  EXPECT_EQ(host().widgets().size(), size_t(kWidgetCount));

  // The pane is made without close boxes: the host offers none to press.
  EXPECT_FALSE(host().pressCloseBox(Id(kMain)));
  EXPECT_TRUE(PaneShown());
}

TEST_F(PrefPaneTest, CancelAfterEditsChangesNothing) {
  const std::string stored = Prefs("Falcon", "42", "pw", 0, 0, "7", 0);
  WritePrefs(stored);
  Start();
  PickSettings();
  Retype(kUserIDF, "99");
  Retype(kPasswordF, "other");
  Click(kCrewed);
  Click(kNavigator);
  Click(kConnectStart);
  Click(kCancel);
  EXPECT_FALSE(PaneShown());
  EXPECT_EQ(ReadPrefs(), stored);

  PickSettings();
  EXPECT_EQ(Text(kUserIDF), "42");
  EXPECT_EQ(Text(kPasswordF), "pw");
  EXPECT_EQ(State(kSolo), 1);
  EXPECT_EQ(State(kPilot), 1);
  EXPECT_EQ(State(kNavigator), 0);
  EXPECT_EQ(State(kConnectStart), 0);
  for (W w : kCrewControls) EXPECT_FALSE(Shown(w)) << w;
}

TEST_F(PrefPaneTest, CrewedWithNavigatorIsAppliedAndSaved) {
  WritePrefs(Prefs("Falcon", "42", "", 0, 0, "", 0));
  Start();
  PickSettings();
  Click(kCrewed);
  for (W w : kCrewControls) EXPECT_TRUE(Shown(w)) << w;
  Click(kPilot);
  Click(kNavigator);  // the group stays exclusive
  EXPECT_EQ((std::vector<intptr_t>{State(kPilot), State(kCoPilot), State(kNavigator), State(kEngineer)}),
            (std::vector<intptr_t>{0, 0, 1, 0}));
  ASSERT_TRUE(host().typeIntoWidget(Id(kCrewIDF), "C9"));
  Click(kConnectStart);  // only takes effect on Apply
  Click(kSmooth);
  EXPECT_EQ(ReadPrefs(), Prefs("Falcon", "42", "", 0, 0, "", 0));

  Click(kApply);
  EXPECT_TRUE(PaneShown());
  EXPECT_EQ(ReadPrefs(), Prefs("Falcon", "42", "", 1, 2, "C9", 1, 0));

  Click(kSolo);  // turned back in the widgets only
  for (W w : kCrewControls) EXPECT_FALSE(Shown(w)) << w;
  EXPECT_EQ(State(kCrewed), 0);
  EXPECT_EQ(ReadPrefs(), Prefs("Falcon", "42", "", 1, 2, "C9", 1, 0));
}

TEST_F(PrefPaneTest, SoloResetsThePositionAndStillCopiesTheHiddenCrewID) {
  WritePrefs(Prefs("Falcon", "42", "", 1, 3, "7", 1));
  Start();
  PickSettings();
  ASSERT_TRUE(host().typeIntoWidget(Id(kCrewIDF), "8"));
  Click(kSolo);
  EXPECT_FALSE(Shown(kCrewIDF));
  Click(kConnectStart);  // off
  Click(kSave);
  EXPECT_FALSE(PaneShown());
  EXPECT_EQ(ReadPrefs(), Prefs("Falcon", "42", "", 0, 0, "78", 0));
}

TEST_F(PrefPaneTest, AppliedTextIsCutToItsLimitWhileTheFieldKeepsItAll) {
  Start();
  PickSettings();
  const std::string callsign20 = "ABCDEFGHIJKLMNOPQRST";
  const std::string user15 = "123456789012345";
  const std::string password30 = "abcdefghijklmnopqrstuvwxyz0123";
  ASSERT_TRUE(host().typeIntoWidget(Id(kCallsignF), callsign20));
  ASSERT_TRUE(host().typeIntoWidget(Id(kUserIDF), user15));
  ASSERT_TRUE(host().typeIntoWidget(Id(kPasswordF), password30));
  Click(kApply);
  EXPECT_EQ(ReadPrefs(), Prefs(callsign20.substr(0, 15), user15, password30.substr(0, 25), 0, 0, "", 0));
  EXPECT_EQ(Text(kCallsignF), callsign20);

  Click(kCancel);
  PickSettings();
  EXPECT_EQ(Text(kCallsignF), callsign20.substr(0, 15));
}

TEST_P(PrefPaneViaTest, ConnectUsesTheStoredValuesAndSwapsTheButtons) {
  harness::FakeServer peer;
  ASSERT_TRUE(peer.ok());
  WritePrefs(Prefs("Falcon", "alice", "pw1", 0, 0, "", 0, 1, peer.serverText()));
  Start();
  PickSettings();
  Retype(kUserIDF, "bob");
  Retype(kPasswordF, "zzz");
  Press(kConnect, "skytether/connect");
  // The connect completes in a later frame; then the pane offers Disconnect.
  ASSERT_TRUE(harness::RunUntil(host(), &peer, [&] { return !peer.streamLines().empty(); }));
  EXPECT_FALSE(Shown(kConnect));
  EXPECT_TRUE(Shown(kDisconnect));
  const std::string login = peer.streamLines()[0];
  const std::string id = login.substr(0, login.find('|'));
  // The stored user ID and password log in, not the unapplied text.
  EXPECT_EQ(login, id + "|Opening Connection|alice|" + Md5Hex(id + "alice" + "pw1") + "|\n");
  EXPECT_EQ(Text(kUserIDF), "bob");
  EXPECT_EQ(Text(kPasswordF), "zzz");

  Press(kDisconnect, "skytether/disconnect");
  EXPECT_TRUE(Shown(kConnect));
  EXPECT_FALSE(Shown(kDisconnect));
  ASSERT_TRUE(harness::RunUntil(host(), &peer, [&] { return peer.streamLines().size() >= 2; }));
  EXPECT_EQ(peer.streamLines().back(), id + "|Closing Connection\n");
  EXPECT_EQ(ReadPrefs(), Prefs("Falcon", "alice", "pw1", 0, 0, "", 0, 1, peer.serverText()));
}

INSTANTIATE_TEST_SUITE_P(MenuButtonsAndCommands, PrefPaneViaTest,
                         ::testing::Values(Via::Original, Via::Command), ViaName);

TEST_F(PrefPaneTest, ConnectedAtStartupTheFirstPaneShowsDisconnect) {
  harness::FakeServer peer;
  ASSERT_TRUE(peer.ok());
  WritePrefs(Prefs("Falcon", "alice", "pw1", 0, 0, "", 1, 1, peer.serverText()));
  Start();
  ASSERT_TRUE(harness::RunUntil(host(), &peer, [&] { return !peer.streamLines().empty(); }));
  PickSettings();
  EXPECT_FALSE(Shown(kConnect));
  EXPECT_TRUE(Shown(kDisconnect));
  EXPECT_FALSE(Get(kConnect).visible);
}

// Only the messages the pane acts on count as handled; Connect and Disconnect never do.
TEST_F(PrefPaneTest, HandlerTakesOnlyTheMessagesItActsOn) {
  // A server whose port is held but does not listen: a connect is refused. Only Apply rewrites
  // the file.
  harness::FakeServer refusing(harness::FakeServer::Options{"127.0.0.1", 0, false, false});
  ASSERT_TRUE(refusing.ok());
  const std::string stored = "server=" + refusing.serverText() + ";";
  WritePrefs(stored);
  Start();
  PickSettings();
  const auto main = Get(kMain);
  ASSERT_FALSE(main.callbacks.empty());
  const XPWidgetFunc_t handler = main.callbacks.front();
  auto send = [&](int message, W w, intptr_t param2) {
    return handler(message, main.id, reinterpret_cast<intptr_t>(Id(w)), param2);
  };
  EXPECT_EQ(send(xpMsg_ButtonStateChanged, kCrewed, 1), 1);
  EXPECT_TRUE(Shown(kCrewIDF));
  EXPECT_EQ(send(xpMsg_ButtonStateChanged, kEngineer, 1), 1);
  EXPECT_EQ(State(kEngineer), 1);
  EXPECT_EQ(State(kPilot), 0);
  EXPECT_EQ(send(xpMsg_ButtonStateChanged, kSolo, 0), 0);  // a button turned off changes nothing
  EXPECT_TRUE(Shown(kCrewIDF));
  EXPECT_EQ(send(xpMsg_ButtonStateChanged, kConnectStart, 1), 0);
  EXPECT_EQ(send(xpMsg_TextFieldChanged, kUserIDF, 0), 0);
  EXPECT_EQ(send(xpMsg_PushButtonPressed, kDisconnect, 0), 0);  // not connected: nothing
  EXPECT_TRUE(Shown(kConnect));
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(send(xpMsg_PushButtonPressed, kConnect, 0), 0);  // nothing listens: stays on Connect
    EXPECT_TRUE(Shown(kConnect));
    EXPECT_FALSE(Shown(kDisconnect));
  }
  EXPECT_EQ(ReadPrefs(), stored);
  EXPECT_EQ(send(xpMsg_PushButtonPressed, kApply, 0), 1);
  EXPECT_NE(ReadPrefs(), stored);
  EXPECT_TRUE(PaneShown());
  EXPECT_EQ(send(xpMsg_PushButtonPressed, kCancel, 0), 1);
  EXPECT_FALSE(PaneShown());
  PickSettings();
  EXPECT_EQ(handler(xpMessage_CloseButtonPushed, main.id, 0, 0), 1);
  EXPECT_FALSE(PaneShown());
}

// The preferences file ends a value at ";" and stops reading at a line feed, so the pane refuses
// such text in a field the user can see, naming field and characters inside the pane, rather than
// store something that reads back differently. "=" reads back whole and is taken.
TEST_F(PrefPaneTest, TextTheFileCannotHoldIsRefusedWithACaption) {
  const std::string stored = Prefs("Falcon", "42", "pw", 0, 0, "7", 0);
  WritePrefs(stored);
  Start();
  PickSettings();
  // The refusal's text, drawn from its left edge, ends inside the inner panel.
  auto expectRefusal = [&](const std::string &caption) {
    EXPECT_TRUE(Shown(kError));
    const std::string shown = Text(kError);
    EXPECT_EQ(shown, caption);
    EXPECT_LE(Get(kError).left + XPLMMeasureString(xplmFont_Basic, shown.c_str(), int(shown.size())),
              Get(kPanel).right)
        << shown;
  };
  Retype(kUserIDF, "43");
  Retype(kCallsignF, "Hawk");
  Retype(kPasswordF, "a;b");
  Click(kApply);
  EXPECT_TRUE(PaneShown());
  EXPECT_EQ(ReadPrefs(), stored);
  expectRefusal("Password: no \";\"");

  Click(kSave);  // refused too, and the pane stays open
  EXPECT_TRUE(PaneShown());
  EXPECT_EQ(ReadPrefs(), stored);

  // Nothing reached the globals, not even the good texts on either side of the refused one.
  Click(kCancel);
  PickSettings();
  EXPECT_EQ(Text(kUserIDF), "42");
  EXPECT_EQ(Text(kCallsignF), "Falcon");
  EXPECT_EQ(Text(kPasswordF), "pw");
  EXPECT_FALSE(Shown(kError));  // the refill replaced the refused text

  // The longest field name with both characters; pasted text can hold a line feed.
  XPSetWidgetDescriptor(Id(kCallsignF), "H;a\nwk");
  Click(kApply);
  expectRefusal("Call/Nickname: no \";\" or line feeds");
  Retype(kCallsignF, "Hawk");
  XPSetWidgetDescriptor(Id(kUserIDF), "4\n2");
  Click(kApply);
  expectRefusal("User ID: no line feeds");
  EXPECT_EQ(ReadPrefs(), stored);
  Retype(kUserIDF, "43");
  Click(kCrewed);
  Retype(kCrewIDF, "x;y");
  Click(kApply);
  expectRefusal("Crew ID: no \";\"");
  EXPECT_EQ(ReadPrefs(), stored);

  // Hidden in Solo mode, the crew ID cannot be mended and is not used: Apply takes the rest and
  // keeps the stored crew ID. Shown again, it is refused again.
  Click(kSolo);
  Click(kApply);
  EXPECT_FALSE(Shown(kError));
  EXPECT_EQ(ReadPrefs(), Prefs("Hawk", "43", "pw", 0, 0, "7", 0));
  Click(kCrewed);
  Click(kApply);
  expectRefusal("Crew ID: no \";\"");

  // A server that could not be used is refused with the reason.
  Retype(kCrewIDF, "8");
  const std::pair<std::string, std::string> servers[] = {
      {"http://sky.test", "Server: no scheme: HOST or HOST:PORT"},
      {std::string(254, 'a'), "Server: name over 253 characters"},
      {"sky;test", "Server: no \";\""},
      {"2001:db8::1:x", "Server: IPv6 must read [ADDRESS]:PORT"}};
  for (const auto &[text, caption] : servers) {
    XPSetWidgetDescriptor(Id(kServerF), text.c_str());
    Click(kApply);
    expectRefusal(caption);
  }
  EXPECT_EQ(ReadPrefs(), Prefs("Hawk", "43", "pw", 0, 0, "7", 0));

  // "=" and CR read back whole; the next good apply takes everything and clears the caption. A
  // chosen server follows the seven keys.
  XPSetWidgetDescriptor(Id(kCrewIDF), "8\r");
  Retype(kPasswordF, "p=w=");
  Retype(kServerF, "[::1]:5000");
  Click(kApply);
  EXPECT_FALSE(Shown(kError));
  EXPECT_EQ(Text(kError), "");
  EXPECT_EQ(ReadPrefs(), Prefs("Hawk", "43", "p=w=", 1, 0, "8\r", 0, 1, "[::1]:5000"));
  DropHost();
  Start();
  PickSettings();
  EXPECT_EQ(Text(kPasswordF), "p=w=");
  EXPECT_EQ(Text(kCrewIDF), "8\r");
  EXPECT_EQ(Text(kServerF), "[::1]:5000");

  // Past the length limit the character is cut off anyway, so the text is taken. No server: the
  // file is as an older version wrote it.
  Retype(kCallsignF, "ABCDEFGHIJKLMNO;x");
  Retype(kServerF, "");
  Click(kSave);
  EXPECT_FALSE(PaneShown());
  EXPECT_EQ(ReadPrefs(), Prefs("ABCDEFGHIJKLMNO", "43", "p=w=", 1, 0, "8\r", 0));
}

}  // namespace
