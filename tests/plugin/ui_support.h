#pragma once
// Helpers for the window, chat and settings pane tests: finding the plugin's windows and timers in
// the host, and reading back what a window drew in the last frame.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "XPLMDefs.h"
#include "XPLMDisplay.h"
#include "plugin_test.h"
#include "skyhost/Host.h"

namespace uitest {

using skyhost::Host;
using DrawOp = Host::DrawOp;

// The plugin registers its flight loops in a fixed order; these index Host::flightLoops().
enum Loop { kPacketLoop = 0, kAirplaneLoop = 1, kCursorLoop = 2, kShowTimerLoop = 3, kFadeLoop = 4 };

// The plane list window is created first, the chat window second.
inline XPLMWindowID PlaneWindow(Host &host) {
  return host.windows().at(0).id;
}
inline XPLMWindowID ChatWindow(Host &host) {
  return host.windows().at(1).id;
}

inline Host::Window WindowInfo(Host &host, XPLMWindowID id) {
  for (const auto &w : host.windows())
    if (w.id == id) return w;
  ADD_FAILURE() << "no such window";
  return Host::Window{};
}

inline int LoopCalls(Host &host, Loop loop) {
  return host.flightLoops().at(loop).calls;
}

// Runs short frames until the flight loop has run n more times; each frame can run it at most once,
// so the last frame's drawing shows the state right after the n-th run.
inline void RunLoop(Host &host, Loop loop, int n = 1, double dt = 0.002) {
  const int target = LoopCalls(host, loop) + n;
  for (int frames = 0; LoopCalls(host, loop) < target; ++frames) {
    ASSERT_LT(frames, 1000000) << "flight loop " << loop << " never ran";
    host.runFrame(dt);
  }
  ASSERT_EQ(LoopCalls(host, loop), target);
}

inline std::vector<float> Rgb(const DrawOp &op) {
  return {op.rgba[0], op.rgba[1], op.rgba[2]};
}
inline std::vector<float> Rgba(const DrawOp &op) {
  return {op.rgba[0], op.rgba[1], op.rgba[2], op.rgba[3]};
}

// What one window drew in the last frame.
inline std::vector<DrawOp> OpsOf(Host &host, XPLMWindowID window) {
  std::vector<DrawOp> ops;
  for (const auto &op : host.lastFrameDrawing())
    if (op.window == window) ops.push_back(op);
  return ops;
}

inline std::vector<DrawOp> StringsOf(Host &host, XPLMWindowID window) {
  std::vector<DrawOp> out;
  for (const auto &op : OpsOf(host, window))
    if (op.kind == DrawOp::String) out.push_back(op);
  return out;
}

// The chat window draws its fill colour first; its alpha is the window's opacity.
inline bool ChatFillAlpha(Host &host, float *alpha) {
  for (const auto &op : OpsOf(host, ChatWindow(host)))
    if (op.kind == DrawOp::Color) {
      *alpha = op.rgba[3];
      return true;
    }
  return false;
}

// The chat window's last string is the countdown when one is drawn, otherwise the typing line,
// which is drawn at 20 pixels above the window's bottom.
inline std::string TypingLine(Host &host) {
  const auto w = WindowInfo(host, ChatWindow(host));
  for (const auto &s : StringsOf(host, ChatWindow(host)))
    if (s.y == w.bottom + 20 && s.x == w.left + 5) return s.text;
  ADD_FAILURE() << "no typing line drawn";
  return "<none>";
}

// The countdown is the one yellow string drawn without wrap.
inline bool Countdown(Host &host, std::string *text) {
  for (const auto &s : StringsOf(host, ChatWindow(host)))
    if (!s.hasWrap) {
      *text = s.text;
      return true;
    }
  return false;
}

// The chat box's border colour (the second glColor4f of the box).
inline bool BorderColour(Host &host, float rgba[4]) {
  int seen = 0;
  for (const auto &op : OpsOf(host, ChatWindow(host)))
    if (op.kind == DrawOp::Color && ++seen == 2) {
      for (int i = 0; i < 4; ++i) rgba[i] = op.rgba[i];
      return true;
    }
  return false;
}

constexpr char kTab = '\t';
constexpr char kReturn = '\r';
constexpr char kBackspace = '\b';
constexpr char kDeleteKey = 127;

// Creation order of the settings pane's widgets: indexes Host::widgets().
// clang-format off
enum W {
  kMain, kPanel, kUserIDT, kUserIDF, kPasswordT, kPasswordF, kCallsignT, kCallsignF, kFlightModeT, kSolo,
  kCrewed, kCrewIDT, kCrewIDF, kPositionT, kPilot, kCoPilot, kNavigator, kEngineer, kConnect, kDisconnect,
  kConnectStart, kCancel, kApply, kSave, kError, kServerT, kServerF, kSmooth, kLabels, kLabelDistance,
  kWidgetCount
};
// clang-format on

// Whether a test acts through a key, menu item or button, or through the command a pilot binds
// in its place.
enum class Via { Original, Command };
inline std::string ViaName(const ::testing::TestParamInfo<Via> &info) {
  return info.param == Via::Command ? "Command" : "KeyMenuOrButton";
}

inline const std::vector<std::string> kPlaneWindowMenu = {"Skytether", "Plane Window"};

inline std::vector<std::string> MenuPath(const std::string &item) {
  std::vector<std::string> path = kPlaneWindowMenu;
  path.push_back(item);
  return path;
}

}  // namespace uitest
