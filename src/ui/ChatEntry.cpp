// Chat entry: Tab opens and closes the chat window, the chat window's key callback edits and sends
// the typing line, and a timer blinks the cursor. Every function here runs on the host's main thread.
#include <string>

#include "XPLMDisplay.h"
#include "net/net.h"
#include "plugin/SkytetherSE.h"
#include "support/strings.h"
#include "ui/ui.h"

namespace {

constexpr signed char kTab = 9;
constexpr signed char kBackspace = 8;
constexpr signed char kReturn = 13;
constexpr signed char kDelete = 127;

// The line goes to the server only; it comes back into the history as a chat notice.
void SendChatLine() {
  std::string line;
  AddIntToString(line, "", uniqueID);
  line += "|MESSAGE|";
  line += imWrite;
  line += "\n";

  // Hold the window open for the reply even if nothing could be sent.
  newTextRcvd = 9;

  if (tcpconnected != 0) {
    tcptx = "Tx";
    SendStreamLine(line);
    imWrite.clear();
  }
}

}  // namespace

bool OpenOrCloseChat() {
  if (showChatWindow == 0) {
    // In VR a window not shown there would swallow the pilot's keys unseen.
    if (VREnabled() && !XPLMWindowIsInVR(imReadWin)) return false;
    showChatWindow = 1;
    XPLMTakeKeyboardFocus(imReadWin);
    imWriteFocus = 1;
    flashCursor = 1;
  } else {
    // The window was open without the keyboard (Tab already gave it back): close it.
    showChatWindow = 0;
  }
  return true;
}

void HandBackChatKeyboard() {
  XPLMTakeKeyboardFocus(nullptr);
  flashCursor = 0;
  imWriteFocus = 0;
}

void ChatTab() {
  // With the keyboard on the chat window Tab reaches its key callback, otherwise the sniffer.
  if (XPLMHasKeyboardFocus(imReadWin))
    HandBackChatKeyboard();
  else
    OpenOrCloseChat();
}

int MyKeySniffer(char inChar, XPLMKeyFlags inFlags, char inVirtualKey, void * /*inRefcon*/) {
  gChar = inChar;
  gFlags = inFlags;
  gVirtualKey = inVirtualKey;

  // Shift, Control and Option are ignored, so Shift-Tab works as Tab. Tab is the chat's only while
  // there is a session to chat in and nothing else has the keyboard: otherwise it is the host's
  // (a pilot who wants the chat on another key binds skytether/toggle_chat). In VR, while the chat
  // window is not shown there, it is the host's too.
  if (static_cast<signed char>(inChar) == kTab && (inFlags & xplm_DownFlag) != 0 && tcpconnected != 0 &&
      XPLMHasKeyboardFocus(nullptr) != 0 && OpenOrCloseChat())
    return 0;
  return 1;
}

void HandleKeyCallback(XPLMWindowID inWindowID, char inKey, XPLMKeyFlags inFlags, char /*inVirtualKey*/,
                       void * /*inRefcon*/, int losingFocus) {
  // On losing the focus the host passes the window taking it (or 0), not always this one: either
  // way the typing line no longer has the keyboard.
  if (inWindowID != imReadWin || losingFocus != 0) {
    imWriteFocus = 0;
    flashCursor = 0;
    return;
  }
  if ((inFlags & xplm_DownFlag) == 0) return;

  // Every key press shows the cursor at once.
  imWriteFocus = 1;
  flashCursor = 1;

  const signed char key = static_cast<signed char>(inKey);
  if (key == kTab) {
    HandBackChatKeyboard();
  } else if (key == kBackspace || key == kDelete) {
    if (!imWrite.empty()) imWrite.pop_back();
  } else if (key == kReturn) {
    SendChatLine();
  } else if (key >= 32 && key <= 126) {
    imWrite += static_cast<char>(key);
  }
  // Other control codes and codes above 126 are dropped.
}

float SkytetherProcessCursorCallback(float, float, int, void *) {
  if (imWriteFocus != 0) flashCursor = 1 - flashCursor;
  return 0.5f;
}
