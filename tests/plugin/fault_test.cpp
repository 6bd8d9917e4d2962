// Faults from outside: a server that stops reading, resets or vanishes; a stream that trickles in
// one byte per read; reports for every slot number; notices made of "|"; preferences files of
// random bytes, read-only or without their folder; host directory separators other than "/".
// Durations are measured and printed (and recorded as test properties), never asserted.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>

#include "net_fixture.h"
#include "prefs/prefs_text.h"
#include "ui_support.h"

using namespace sttest;
using namespace uitest;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// The plugin's stream socket: the one in this process whose peer is the protocol's port.
int PluginStreamSocket() {
  int found = -1;
  DIR *dir = opendir("/proc/self/fd");
  while (dirent *e = readdir(dir)) {
    int fd = atoi(e->d_name);
    int type = 0;
    socklen_t len = sizeof type;
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM &&
        getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLen) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == kProtocolPort)
      found = fd;
  }
  closedir(dir);
  return found;
}

class FaultTest : public NetTest {
 protected:
  std::string Plane(int n, const char *field) {
    return "sim/multiplayer/position/plane" + std::to_string(n) + "_" + field;
  }
  std::string Row(int n) {
    host().runFrames(2);
    std::string prefix = std::to_string(n) + ": ";
    for (const auto &s : host().lastFrameStrings())
      if (s.rfind(prefix, 0) == 0) return s;
    return "<no row " + std::to_string(n) + ">";
  }
  bool Drawn(const std::string &text) {
    for (const auto &s : host().lastFrameStrings())
      if (s == text) return true;
    return false;
  }
  void Report(const std::string &name, double value, const char *unit) {
    std::printf("[ measured ] %s: %.3f %s\n", name.c_str(), value, unit);
    RecordProperty(name, std::to_string(value));
  }
  // Settings pane widget n.
  XPWidgetID Widget(W n) { return host().widgets().at(n).id; }
  void Retype(W n, const std::string &text) {
    const std::string old = host().widget(Widget(n)).descriptor;
    ASSERT_TRUE(host().typeIntoWidget(Widget(n), std::string(old.size(), '\b') + text));
  }
};

}  // namespace

TEST_F(FaultTest, AServerThatStopsReadingNeverHoldsTheFrameAndGetsOnlyWholeLines) {
  // Accepted streams take the listener's receive buffer: a small one fills quickly.
  int small = 4096;
  ASSERT_EQ(setsockopt(peer->listenerFd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  StartConnected();
  const int fd = PluginStreamSocket();
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "a send on a blocking stream could hold the frame";

  // From here the server reads no more of the stream. The user keeps chatting.
  host().pressKey('\t');
  std::set<std::string> chat;
  double longestFrame = 0, longestReturn = 0;
  int queued = -1, stuck = 0, lines = 0;
  for (; lines < 20000 && stuck < 25; ++lines) {
    const std::string text = "line " + std::to_string(lines) + " " + std::string(900, 'a' + lines % 26);
    host().type(text);
    auto before = Clock::now();
    host().pressKey('\r');
    longestReturn = std::max(longestReturn, Seconds(before));
    chat.insert(std::to_string(UniqueID()) + "|MESSAGE|" + text + "\n");
    for (int f = 0; f < 2; ++f) {
      before = Clock::now();
      host().runFrame();
      longestFrame = std::max(longestFrame, Seconds(before));
    }
    peer->pollDatagrams();
    peer->datagrams.clear();
    int now = 0;
    ioctl(fd, SIOCOUTQ, &now);
    stuck = now == queued ? stuck + 1 : 0;
    queued = now;
  }
  ASSERT_EQ(stuck, 25) << "the stream never filled up";
  Report("chat lines until the stream was full", lines - stuck, "lines");
  Report("bytes queued in the plugin's socket when full", queued, "bytes");
  Report("longest frame while the server did not read", longestFrame * 1000, "ms");
  Report("longest Return (chat send) while the server did not read", longestReturn * 1000, "ms");

  // The server reads again: everything that arrives is a line the plugin sent, whole.
  size_t seen = 0;
  for (int quiet = 0; quiet < 30;) {
    host().runFrames(2);
    peer->pollStream();
    quiet = peer->streamText.size() == seen ? quiet + 1 : 0;
    seen = peer->streamText.size();
  }
  ASSERT_FALSE(peer->streamText.empty());
  EXPECT_EQ(peer->streamText.back(), '\n') << "a line was cut";
  int chatLines = 0;
  const std::string id = std::to_string(UniqueID()) + "|";
  for (const std::string &line : peer->streamLines()) {
    if (line.find("|MESSAGE|") != std::string::npos) {
      ++chatLines;
      EXPECT_EQ(chat.count(line), 1u) << "not a line the plugin sent: " << line.substr(0, 80);
    } else {
      EXPECT_EQ(line.rfind(id, 0), 0u) << line.substr(0, 80);
      EXPECT_TRUE(line.find("|Opening Connection|") != std::string::npos ||
                  line.find("|PLANE|") != std::string::npos || line.find("|CALLSIGN|") != std::string::npos)
          << line.substr(0, 80);
    }
  }
  Report("chat lines that reached the server", chatLines, "lines");
  EXPECT_GT(chatLines, 0);
  // Once it reads, the session goes on: the next chat line arrives.
  host().type("after");
  host().pressKey('\r');
  const std::string after = id + "MESSAGE|after\n";
  EXPECT_TRUE(RunUntil(host(), peer.get(), [&] { return peer->streamText.find(after) != std::string::npos; }));
}
