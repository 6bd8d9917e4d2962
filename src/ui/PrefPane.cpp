// The settings pane "Control & Settings": built once from the menu, hidden when closed, refilled from the
// preference globals each time it is shown again. Every function here runs on the host's main thread.
#include <cstring>
#include <string>
#include <vector>

#include "XPLMDisplay.h"
#include "XPStandardWidgets.h"
#include "XPWidgets.h"
#include "aircraft/Traffic.h"
#include "net/net.h"
#include "net/server_text.h"
#include "plugin/SkytetherSE.h"
#include "prefs/Preferences.h"
#include "prefs/prefs_text.h"
#include "ui/ui.h"

namespace {

// Longest texts a preference may hold; longer field text is cut when applied.
constexpr int kMaxIDLength = 15;
constexpr int kMaxPasswordLength = 25;
// The server text is not cut: anything this long is refused as a name over 253 characters.
constexpr int kServerFieldRead = 1024;

// Tall enough for the server row, the smoothing row and the labels row under the buttons.
constexpr int kPrefPaneHeight = 360;

// Whether PrefErrorT currently shows a refusal; lets the pane leave it alone in the usual case.
bool prefErrorShown = false;

// Every control is 12 pixels tall. Half-step rows are computed in floating point and truncated.
int RowTop(int T, double k, int b) {
  return static_cast<int>(T - k * b);
}
int RowBottom(int T, double k, int b) {
  return static_cast<int>(T - k * b - 12);
}

XPWidgetID Child(int left, int top, int right, int bottom, int visible, const char *descriptor,
                 XPWidgetClass cls) {
  return XPCreateWidget(left, top, right, bottom, visible, descriptor, 0, PrefPaneWidget, cls);
}

void MakeRadio(XPWidgetID button) {
  XPSetWidgetProperty(button, xpProperty_ButtonType, xpRadioButton);
  XPSetWidgetProperty(button, xpProperty_ButtonBehavior, xpButtonBehaviorRadioButton);
}

void MakePushButton(XPWidgetID button) {
  XPSetWidgetProperty(button, xpProperty_ButtonType, xpPushButton);
  XPSetWidgetProperty(button, xpProperty_ButtonBehavior, xpButtonBehaviorPushButton);
}

void SetState(XPWidgetID button, intptr_t state) {
  XPSetWidgetProperty(button, xpProperty_ButtonState, state);
}

// A button counts as on only when the host reports exactly 1.
bool IsOn(XPWidgetID button) {
  return XPGetWidgetProperty(button, xpProperty_ButtonState, nullptr) == 1;
}

// The first maxLength characters of a field's text. The host copies with strncpy rules, so the buffer
// carries its own terminator.
std::string FieldText(XPWidgetID field, int maxLength) {
  std::vector<char> buf(static_cast<size_t>(maxLength) + 1, '\0');
  XPGetWidgetDescriptor(field, buf.data(), maxLength);
  return std::string(buf.data(), strnlen(buf.data(), static_cast<size_t>(maxLength)));
}

void SelectPosition(XPWidgetID on) {
  for (XPWidgetID b : {PositionB1, PositionB2, PositionB3, PositionB4}) SetState(b, b == on ? 1 : 0);
}

void ShowCrewControls(bool show) {
  for (XPWidgetID w : {CrewIDT, CrewIDF, PositionT, PositionB1, PositionB2, PositionB3, PositionB4}) {
    if (show)
      XPShowWidget(w);
    else
      XPHideWidget(w);
  }
}

void HidePane() {
  if (PrefPane == 1) XPHideWidget(PrefPaneWidget);
}

void ClearPrefError() {
  if (!prefErrorShown) return;
  XPHideWidget(PrefErrorT);
  XPSetWidgetDescriptor(PrefErrorT, "");
  prefErrorShown = false;
}

// Every caption is short enough to stay inside the pane: "Call/Nickname: no \";\" or line feeds",
// "Server: no scheme: HOST or HOST:PORT".
void SetPrefError(const std::string &caption) {
  XPSetWidgetDescriptor(PrefErrorT, caption.c_str());
  XPShowWidget(PrefErrorT);
  prefErrorShown = true;
}

void ShowPrefError(const char *field, const std::string &text) {
  const std::string characters = UnstorableCharacters(text);
  SetPrefError(std::string(field) + (characters.empty() ? ": cannot be saved" : ": no " + characters));
}

// Returns false, and changes nothing but the error caption, when a text the user can see would not
// read back from the preferences file.
bool ApplyPrefs() {
  const std::string newUserID = FieldText(UserIDF, kMaxIDLength);
  const std::string newPassword = FieldText(PasswordF, kMaxPasswordLength);
  const std::string newCallsign = FieldText(CallsignF, kMaxIDLength);
  const std::string newCrewID = FieldText(CrewIDF, kMaxIDLength);
  const std::string newServer = FieldText(ServerF, kServerFieldRead);

  // Each value is tried in its own place in a saved file.
  auto readsBack = [](std::string PrefValues::*member, const std::string &text) {
    PrefValues alone;
    alone.*member = text;
    return PreferencesReadBack(alone);
  };
  // The crew ID is refused only where the user can mend it: hidden (in Solo mode) it is copied
  // when it can be stored, and otherwise the stored one stays.
  const bool crewShown = XPIsWidgetVisible(CrewIDF) != 0;
  const bool crewStorable = readsBack(&PrefValues::crewID, newCrewID);
  const struct {
    const char *name;
    const std::string &text;
    bool storable;
  } fields[] = {
      {"User ID", newUserID, readsBack(&PrefValues::userID, newUserID)},
      {"Password", newPassword, readsBack(&PrefValues::password, newPassword)},
      {"Call/Nickname", newCallsign, readsBack(&PrefValues::callsign, newCallsign)},
      {"Crew ID", newCrewID, crewStorable || !crewShown},
      {"Server", newServer, readsBack(&PrefValues::server, newServer)},
  };
  for (const auto &f : fields) {
    if (!f.storable) {
      ShowPrefError(f.name, f.text);
      return false;
    }
  }
  ServerChoice choice;
  const std::string serverProblem = ParseServerText(newServer, choice);
  if (!serverProblem.empty()) {
    SetPrefError("Server: " + serverProblem);
    return false;
  }
  ClearPrefError();

  userID = newUserID;
  password = newPassword;
  myCallsign = newCallsign;
  server = newServer;  // used from the next connect on
  // Copied in Solo mode too, while the field is hidden.
  if (crewStorable) crewID = newCrewID;

  if (IsOn(FlightModeB1)) {
    flightMode = 0;
    cockpitPosition = 0;
  } else if (IsOn(FlightModeB2)) {
    flightMode = 1;
    if (IsOn(PositionB1))
      cockpitPosition = 0;
    else if (IsOn(PositionB2))
      cockpitPosition = 1;
    else if (IsOn(PositionB3))
      cockpitPosition = 2;
    else if (IsOn(PositionB4))
      cockpitPosition = 3;
  }
  connectAtStartup = static_cast<int>(XPGetWidgetProperty(ConnectStartB, xpProperty_ButtonState, nullptr));
  showLabels = IsOn(LabelsB) ? 1 : 0;
  labelDistance = IsOn(LabelDistanceB) ? 1 : 0;
  const int smooth = IsOn(SmoothTrafficB) ? 1 : 0;
  if (smooth != smoothTraffic) {
    // Either way each slot starts again from its next report.
    for (int n = 1; n < kSlotCount; ++n) ResetTrack(n);
    smoothTraffic = smooth;
  }

  SavePreferences();
  return true;
}

}  // namespace

void CreatePrefPane(int w, int h) {
  const int b = winbuff;
  // Native widget windows: the pane is in global boxels, like the other windows.
  int SL = 0, SH = 0, SW = 0, SB = 0;
  XPLMGetScreenBoundsGlobal(&SL, &SH, &SW, &SB);
  // Level with the plane list window's top, one gap to its left.
  const int L = SW - pwinw - 2 * b - w;
  const int T = SH - twinh - 2 * b;
  const int c = L + 2 * b;

  PrefPaneWidget =
      XPCreateWidget(L, T, L + w, T - h, 1, "Control & Settings", 1, nullptr, xpWidgetClass_MainWindow);
  XPSetWidgetProperty(PrefPaneWidget, xpProperty_MainWindowHasCloseBoxes, 0);

  PrefPaneWindow = Child(L + b, T - 2 * b, L + w - b, T - h + b, 1, "", xpWidgetClass_SubWindow);
  XPSetWidgetProperty(PrefPaneWindow, xpProperty_SubWindowType, xpSubWindowStyle_SubWindow);

  UserIDT = Child(c, RowTop(T, 2.5, b), c + 100, RowBottom(T, 2.5, b), 1, "User ID:", xpWidgetClass_Caption);
  UserIDF = Child(c + 105, RowTop(T, 2.5, b), c + 215, RowBottom(T, 2.5, b), 1, userID.c_str(),
                  xpWidgetClass_TextField);
  XPSetWidgetProperty(UserIDF, xpProperty_TextFieldType, xpTextEntryField);

  PasswordT =
      Child(c, RowTop(T, 3.5, b), c + 100, RowBottom(T, 3.5, b), 1, "Password:", xpWidgetClass_Caption);
  PasswordF = Child(c + 105, RowTop(T, 3.5, b), c + 215, RowBottom(T, 3.5, b), 1, password.c_str(),
                    xpWidgetClass_TextField);
  XPSetWidgetProperty(PasswordF, xpProperty_TextFieldType, xpTextEntryField);
  XPSetWidgetProperty(PasswordF, xpProperty_PasswordMode, 1);

  CallsignT =
      Child(c, RowTop(T, 4.5, b), c + 100, RowBottom(T, 4.5, b), 1, "Call/Nickname:", xpWidgetClass_Caption);
  CallsignF = Child(c + 105, RowTop(T, 4.5, b), c + 215, RowBottom(T, 4.5, b), 1, myCallsign.c_str(),
                    xpWidgetClass_TextField);
  XPSetWidgetProperty(CallsignF, xpProperty_TextFieldType, xpTextEntryField);

  FlightModeT =
      Child(c, RowTop(T, 5.5, b), c + 100, RowBottom(T, 5.5, b), 1, "Flight Mode:", xpWidgetClass_Caption);
  FlightModeB1 =
      Child(c + 105, RowTop(T, 5.5, b), c + 115, RowBottom(T, 5.5, b), 1, "Solo", xpWidgetClass_Button);
  MakeRadio(FlightModeB1);
  FlightModeB2 =
      Child(c + 150, RowTop(T, 5.5, b), c + 160, RowBottom(T, 5.5, b), 1, "Crewed", xpWidgetClass_Button);
  MakeRadio(FlightModeB2);

  // The crew controls start hidden; InitializePrefPane shows them in Crewed mode.
  CrewIDT = Child(c, RowTop(T, 6.5, b), c + 100, RowBottom(T, 6.5, b), 0, "Crew ID:", xpWidgetClass_Caption);
  CrewIDF = Child(c + 105, RowTop(T, 6.5, b), c + 215, RowBottom(T, 6.5, b), 0, crewID.c_str(),
                  xpWidgetClass_TextField);
  XPSetWidgetProperty(CrewIDF, xpProperty_TextFieldType, xpTextEntryField);

  PositionT =
      Child(c, RowTop(T, 7.5, b), c + 100, RowBottom(T, 7.5, b), 0, "Position:", xpWidgetClass_Caption);
  PositionB1 =
      Child(c + 105, RowTop(T, 7.5, b), c + 115, RowBottom(T, 7.5, b), 0, "Pilot", xpWidgetClass_Button);
  MakeRadio(PositionB1);
  PositionB2 =
      Child(c + 105, RowTop(T, 8.5, b), c + 115, RowBottom(T, 8.5, b), 0, "Co-Pilot", xpWidgetClass_Button);
  MakeRadio(PositionB2);
  PositionB3 =
      Child(c + 105, RowTop(T, 9.5, b), c + 115, RowBottom(T, 9.5, b), 0, "Navigator", xpWidgetClass_Button);
  MakeRadio(PositionB3);
  PositionB4 = Child(c + 105, RowTop(T, 10.5, b), c + 115, RowBottom(T, 10.5, b), 0, "Flight Engineer",
                     xpWidgetClass_Button);
  MakeRadio(PositionB4);

  // "Connect" and "Disconnect" share one rectangle; exactly one is visible.
  const int row12Top = T - 12 * b, row12Bottom = T - 12 * b - 12;
  ConnectB =
      Child(c, row12Top, c + 70, row12Bottom, tcpconnected == 0 ? 1 : 0, "Connect", xpWidgetClass_Button);
  MakePushButton(ConnectB);
  DisconnectB =
      Child(c, row12Top, c + 70, row12Bottom, tcpconnected != 0 ? 1 : 0, "Disconnect", xpWidgetClass_Button);
  MakePushButton(DisconnectB);
  // Drawn as a radio button, toggles like a check box.
  ConnectStartB =
      Child(c + 105, row12Top, c + 115, row12Bottom, 1, "Connect at startup", xpWidgetClass_Button);
  XPSetWidgetProperty(ConnectStartB, xpProperty_ButtonType, xpRadioButton);
  XPSetWidgetProperty(ConnectStartB, xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox);
  XPSetWidgetProperty(ConnectStartB, xpProperty_ButtonState, connectAtStartup);

  const int row13Top = T - 13 * b, row13Bottom = T - 13 * b - 12;
  CancelB = Child(c + 25, row13Top, c + 80, row13Bottom, 1, "Cancel", xpWidgetClass_Button);
  MakePushButton(CancelB);
  ApplyB = Child(c + 85, row13Top, c + 130, row13Bottom, 1, "Apply", xpWidgetClass_Button);
  MakePushButton(ApplyB);
  SaveB = Child(c + 135, row13Top, c + 215, row13Bottom, 1, "Save & Close", xpWidgetClass_Button);
  MakePushButton(SaveB);

  // Refusal caption, in the free strip between the last position button and the Connect row; as wide
  // as the inner panel allows.
  const int errTop = T - 11 * b - 5;
  PrefErrorT = Child(L + b + 5, errTop, L + w - b - 5, errTop - 12, 0, "", xpWidgetClass_Caption);
  prefErrorShown = false;

  // The server chosen, on a row of its own under the other settings.
  const int row14Top = T - 14 * b, row14Bottom = T - 14 * b - 12;
  ServerT = Child(c, row14Top, c + 100, row14Bottom, 1, "Server:", xpWidgetClass_Caption);
  ServerF = Child(c + 105, row14Top, c + 215, row14Bottom, 1, server.c_str(), xpWidgetClass_TextField);
  XPSetWidgetProperty(ServerF, xpProperty_TextFieldType, xpTextEntryField);

  // Under the server, in the room the pane grew by.
  const int row15Top = T - 15 * b, row15Bottom = T - 15 * b - 12;
  SmoothTrafficB = Child(c + 105, row15Top, c + 115, row15Bottom, 1, "Smooth traffic", xpWidgetClass_Button);
  XPSetWidgetProperty(SmoothTrafficB, xpProperty_ButtonType, xpRadioButton);
  XPSetWidgetProperty(SmoothTrafficB, xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox);

  // Callsigns over the other aircraft, and their distance, on the row under smoothing.
  const int row16Top = T - 16 * b, row16Bottom = T - 16 * b - 12;
  LabelsB = Child(c + 105, row16Top, c + 115, row16Bottom, 1, "Labels", xpWidgetClass_Button);
  XPSetWidgetProperty(LabelsB, xpProperty_ButtonType, xpRadioButton);
  XPSetWidgetProperty(LabelsB, xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox);
  LabelDistanceB = Child(c + 160, row16Top, c + 170, row16Bottom, 1, "Distance", xpWidgetClass_Button);
  XPSetWidgetProperty(LabelDistanceB, xpProperty_ButtonType, xpRadioButton);
  XPSetWidgetProperty(LabelDistanceB, xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox);

  InitializePrefPane();
  XPAddWidgetCallback(PrefPaneWidget, PrefPaneHandler);
  SettingsPaneBuilt(SW, SH);
}

void OpenSettings() {
  if (PrefPane == 0) {
    CreatePrefPane(300, kPrefPaneHeight);
    PrefPane = 1;
  } else if (!XPIsWidgetVisible(PrefPaneWidget)) {
    InitializePrefPane();
    XPShowWidget(PrefPaneWidget);
  }
}

// Connect and Disconnect use the globals as they stand, not unapplied field text.
void ConnectFromPane() {
  if (tcpconnected != 0) return;
  ConnectToServer();
}

void DisconnectFromPane() {
  if (tcpconnected == 0) return;
  DisconnectFromServer();
}

void LabelSettingsChanged() {
  if (LabelsB == nullptr) return;  // not built yet
  SetState(LabelsB, showLabels != 0 ? 1 : 0);
  SetState(LabelDistanceB, labelDistance != 0 ? 1 : 0);
}

void SessionChanged() {
  if (PrefPane != 1) return;
  if (tcpconnected != 0) {
    XPHideWidget(ConnectB);
    XPShowWidget(DisconnectB);
  } else {
    XPShowWidget(ConnectB);
    XPHideWidget(DisconnectB);
  }
}

void InitializePrefPane() {
  // An out-of-range mode or position from the file leaves its group as it is.
  if (flightMode == 0) {
    SetState(FlightModeB1, 1);
    SetState(FlightModeB2, 0);
    ShowCrewControls(false);
  } else if (flightMode == 1) {
    SetState(FlightModeB1, 0);
    SetState(FlightModeB2, 1);
    ShowCrewControls(true);
  }

  SessionChanged();
  SetState(ConnectStartB, connectAtStartup);
  SetState(SmoothTrafficB, smoothTraffic != 0 ? 1 : 0);
  LabelSettingsChanged();

  switch (cockpitPosition) {
    case 0:
      SelectPosition(PositionB1);
      break;
    case 1:
      SelectPosition(PositionB2);
      break;
    case 2:
      SelectPosition(PositionB3);
      break;
    case 3:
      SelectPosition(PositionB4);
      break;
    default:
      break;
  }

  XPSetWidgetDescriptor(UserIDF, userID.c_str());
  XPSetWidgetDescriptor(PasswordF, password.c_str());
  XPSetWidgetDescriptor(CallsignF, myCallsign.c_str());
  XPSetWidgetDescriptor(CrewIDF, crewID.c_str());
  XPSetWidgetDescriptor(ServerF, server.c_str());

  // The fields now hold stored values, so a refusal about earlier text no longer applies.
  ClearPrefError();
}

int PrefPaneHandler(XPWidgetMessage inMessage, XPWidgetID /*inWidget*/, intptr_t inParam1,
                    intptr_t inParam2) {
  const XPWidgetID button = reinterpret_cast<XPWidgetID>(inParam1);

  if (inMessage == xpMessage_CloseButtonPushed) {
    HidePane();
    return 1;
  }

  if (inMessage == xpMsg_ButtonStateChanged && inParam2 == 1) {
    // The radio buttons change only the widgets; the globals change on Apply.
    if (button == FlightModeB1) {
      for (XPWidgetID w : {PositionT, PositionB1, PositionB2, PositionB3, PositionB4, CrewIDT, CrewIDF})
        XPHideWidget(w);
      SetState(FlightModeB1, 1);
      SetState(FlightModeB2, 0);
      return 1;
    }
    if (button == FlightModeB2) {
      for (XPWidgetID w : {PositionT, PositionB1, PositionB2, PositionB3, PositionB4, CrewIDT, CrewIDF})
        XPShowWidget(w);
      SetState(FlightModeB1, 0);
      SetState(FlightModeB2, 1);
      return 1;
    }
    if (button == PositionB1 || button == PositionB2 || button == PositionB3 || button == PositionB4) {
      SelectPosition(button);
      return 1;
    }
  }

  if (inMessage == xpMsg_PushButtonPressed) {
    // Connect and Disconnect return 0 so the press is not taken as handled.
    if (button == ConnectB) {
      ConnectFromPane();
      return 0;
    }
    if (button == DisconnectB) {
      DisconnectFromPane();
      return 0;
    }
    if (button == CancelB) {
      HidePane();
      return 1;
    }
    if (button == SaveB || button == ApplyB) {
      // A refused text keeps the pane open so the user can correct it.
      if (ApplyPrefs() && button == SaveB) HidePane();
      return 1;
    }
  }

  return 0;
}
