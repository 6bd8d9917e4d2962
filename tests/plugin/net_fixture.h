#pragma once
// A plugin connected to a fake server peer on 127.0.0.1, on a port of the peer's own that the
// preferences name.
#include <memory>
#include <string>
#include <vector>

#include "fake_server.h"
#include "plugin_test.h"

namespace sttest {

using harness::FakeServer;
using harness::kProtocolPort;
using harness::PluginTest;
using harness::RunUntil;
using harness::SendDatagramFrom;
using harness::SocketAddress;

class NetTest : public PluginTest {
 protected:
  // The preferences, naming the peer as the server unless they name one themselves.
  void WritePrefs(const std::string &prefs) {
    PluginTest::WritePrefs(prefs.find("server=") == std::string::npos ? "server=" + PeerText() + ";" + prefs
                                                                      : prefs);
  }
  // The peer as the plugin names and shows it: "127.0.0.1:PORT".
  std::string PeerText() const { return peer->serverText(); }
  // Writes the preferences (connectAtStartup=1 added), starts the plugin and waits for its login.
  void StartConnected(const std::string &prefs = "userID=pilot;password=secret;callsign=Falcon;") {
    ASSERT_TRUE(peer->ok());
    WritePrefs(prefs + "connectAtStartup=1;");
    Start();
    ASSERT_TRUE(RunUntil(host(), peer.get(), [&] { return LoginLine().size() > 0; })) << peer->streamText;
  }
  // Runs until the peer knows the plugin's datagram port (learned from its position datagrams).
  void LearnDatagramPort() {
    ASSERT_TRUE(RunUntil(host(), peer.get(), [&] { return peer->knowsPlugin; }));
  }
  std::string LoginLine() const {
    for (const auto &line : peer->streamLines())
      if (line.find("|Opening Connection|") != std::string::npos) return line;
    return "";
  }
  int UniqueID() const { return std::stoi(LoginLine()); }
  std::vector<std::string> LinesWith(const std::string &needle) const {
    std::vector<std::string> out;
    for (const auto &line : peer->streamLines())
      if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
  }
  // Sends stream text and runs until the plugin has had a packet cycle to read it.
  void SendStream(const std::string &text) {
    ASSERT_TRUE(peer->sendStream(text));
    host().runFrames(3);
  }
  void SendDatagram(const std::string &text) {
    ASSERT_TRUE(peer->sendDatagram(text));
    host().runFrames(3);
  }

  // A multiplayer dataref of slot n ("x", "throttle", ...).
  static std::string Plane(int n, const char *field) {
    return "sim/multiplayer/position/plane" + std::to_string(n) + "_" + field;
  }
  // What the plane list (once shown) draws for slot n after the next frames.
  std::string Row(int n) {
    host().runFrames(2);
    std::string prefix = std::to_string(n) + ": ";
    for (const auto &s : host().lastFrameStrings())
      if (s.rfind(prefix, 0) == 0) return s;
    return "<no row " + std::to_string(n) + ">";
  }
  // The server's state, as the plane list (shown if it is not) draws it under the rows.
  std::string StatusLine() {
    if (!host().windows().at(0).visible) host().commandOnce("skytether/toggle_plane_list");
    host().runFrame();
    const auto strings = host().lastFrameStrings();
    for (size_t i = 0; i + 1 < strings.size(); ++i)
      if (strings[i].rfind("19: ", 0) == 0) return strings[i + 1];
    return "<no status line>";
  }
  // Whether shown is text, or text with its middle cut out for "..." (the plane list's status line
  // shortens what does not fit).
  static bool Fits(const std::string &shown, const std::string &text) {
    const size_t cut = shown.find("...");
    if (shown == text || cut == std::string::npos || shown.size() >= text.size()) return shown == text;
    const size_t tail = shown.size() - cut - 3;
    return text.compare(0, cut, shown, 0, cut) == 0 &&
           text.compare(text.size() - tail, tail, shown, cut + 3) == 0;
  }
  // Whether the last frame drew exactly this text.
  bool Drawn(const std::string &text) {
    for (const auto &s : host().lastFrameStrings())
      if (s == text) return true;
    return false;
  }

  // Replaces the peer, e.g. with one that does not listen (on a port of its own unless the
  // options name one: write the preferences after).
  void ReplacePeer(const FakeServer::Options &options) {
    peer.reset();
    peer = std::make_unique<FakeServer>(options);
  }

  std::unique_ptr<FakeServer> peer = std::make_unique<FakeServer>();
};

// A position report for slot n: 27 float fields, five light digits, eight throttles.
struct ReportValues {
  float x = 100.5f, y = 200.25f, z = -300.125f;
  std::string lat = "47.5", lon = "8.5", el = "1000.5";
  float theta = 2.5f, phi = -10.25f, psi = 270.5f;
  float flap = 0.5f, flap2 = 0.25f, speedbrake = 0.125f, slat = 0.75f, sweep = 0.0625f;
  float yokePitch = 0.1f, yokeRoll = -0.2f, yokeYaw = 0.3f;
  float gear[10] = {1, 0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.4f, 0.3f, 0.2f, 0.1f};
  std::string lights = "1|1|0|1|0";  // beacon landing strobe nav taxi
  float throttle[8] = {0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.4f, 0.3f, 0.2f};
  std::string tail;  // text after the eighth throttle
};
std::string Report(int slot, const ReportValues &v = ReportValues());

}  // namespace sttest
