// Faults from outside: a server that stops reading, resets or vanishes; a stream that trickles in
// one byte per read, or floods lines that never end or model notices; reports for every slot
// number; notices made of "|"; preferences files of random bytes, read-only or without their
// folder; host directory separators other than "/".
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
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <random>
#include <set>
#include <thread>

#include "net_fixture.h"
#include "prefs/prefs_text.h"
#include "ui_support.h"

using namespace sttest;
using namespace uitest;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The plugin's stream socket: the one in this process whose peer is the server's port.
int PluginStreamSocket(int port) {
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
        ntohs(peer.sin_port) == port)
      found = fd;
  }
  closedir(dir);
  return found;
}

class FaultTest : public NetTest {
 protected:
  // Floods load models often: a millisecond each keeps the frame times about the receive side.
  void Configure(skyhost::HostOptions &o) override { o.modelLoadSeconds = 0.001; }
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
  const int fd = PluginStreamSocket(peer->port());
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "a send on a blocking stream could hold the frame";
  // A small send buffer on the plugin's side too, as on a slow link: it fills after tens of lines,
  // not the thousands loopback's grown buffer takes.
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);

  // From here the server reads no more of the stream. The user keeps chatting.
  host().pressKey('\t');
  std::set<std::string> chat;
  double longestFrame = 0, longestReturn = 0;
  std::vector<double> frameTimes;
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
      frameTimes.push_back(Seconds(before));
      longestFrame = std::max(longestFrame, frameTimes.back());
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
  std::sort(frameTimes.begin(), frameTimes.end());
  Report("median frame while the server did not read", frameTimes[frameTimes.size() / 2] * 1000, "ms");
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
  EXPECT_TRUE(
      RunUntil(host(), peer.get(), [&] { return peer->streamText.find(after) != std::string::npos; }));
}

TEST_F(FaultTest, AServerThatResetsAndVanishesIsNoticedAndTheNextConnectWorks) {
  StartConnected();
  LearnDatagramPort();
  ASSERT_TRUE(host().pickMenu({"Skytether", "Toggle Plane List"}));
  SendStream("5|c|Falcon\n");
  // The server process dies: its stream resets, its sockets close.
  const uint16_t port = peer->port();
  peer->resetClient();
  peer.reset();
  host().runFor(2.0);
  // Sends into the void harm nothing; the settings pane offers Connect again.
  ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
  EXPECT_TRUE(host().widgetShown(Widget(kConnect)));
  EXPECT_FALSE(host().widgetShown(Widget(kDisconnect)));
  EXPECT_EQ(Row(5), "5: Falcon Plane 5") << "what was received stays";

  // The server is back, on its port: Connect logs in again and positions flow.
  FakeServer::Options again;
  again.port = port;
  peer = std::make_unique<FakeServer>(again);
  ASSERT_TRUE(peer->ok());
  ASSERT_TRUE(host().clickWidget(Widget(kConnect)));
  EXPECT_TRUE(RunUntil(host(), peer.get(), [&] { return !LoginLine().empty() && peer->knowsPlugin; }));
  SendStream("6|c|Kite\n");
  EXPECT_EQ(Row(6), "6: Kite Plane 6");
}

TEST_F(FaultTest, AStreamOfOneByteReadsGivesTheSameMessages) {
  StartConnected();
  ASSERT_TRUE(host().pickMenu({"Skytether", "Toggle Plane List"}));
  const std::string stream =
      "5|c|Falcon\r\n0|m|hello | there\r\n\r\n4|p|Aircraft/Heavy/B744/B744.acf\n3|c|x\r";
  for (char c : stream) {
    ASSERT_TRUE(peer->sendStream(std::string(1, c)));
    host().runFrames(2);  // 1/30 s: one packet cycle, one read of one byte
  }
  EXPECT_EQ(Row(5), "5: Falcon Plane 5");
  EXPECT_EQ(Row(4), "4:  B744");
  EXPECT_EQ(Row(3), "3: x Plane 3");
  host().runFor(1.0);
  EXPECT_TRUE(Drawn("hello | there"));
}

// Each flood keeps the plugin's socket full for 400 frames (200 packet cycles of up to 100 reads):
// lines that never end (junk rich in "=", a message whose text is, a run of digits that could still
// become a header), and whole model notices for one slot naming one model, or two in turn. Then the
// stream still works, and a NUL or a final "=" costs only its own line.
// Frames of each flood: the sanitizer build, several times slower a frame, checks the same
// reading over fewer (each still well over a megabyte, across many reads and wraps).
#ifdef __SANITIZE_ADDRESS__
constexpr int kFloodFrames = 100;
#else
constexpr int kFloodFrames = 400;
#endif

TEST_F(FaultTest, StreamFloodsNeverHoldTheFrameAndOddBytesCostOnlyTheirLine) {
  StartConnected();
  ASSERT_TRUE(host().pickMenu({"Skytether", "Toggle Plane List"}));
  // Sends all of text as the socket takes it, running frames meanwhile. Each check after a flood
  // waits in wall-clock time: a stream that was full may resume only at a retransmission,
  // which a busy machine may put off for seconds.
  auto sendAll = [&](const std::string &text) {
    size_t done = 0;
    return RunUntil(
        host(), nullptr,
        [&] {
          done += peer->sendStreamSome(text.substr(done));
          return done == text.size();
        },
        20.0);
  };
  auto rowBecomes = [&](int n, const std::string &row) {
    return RunUntil(
        host(), nullptr, [&] { return Row(n) == row; }, 20.0);
  };
  WriteFile("Aircraft/Heavy/B744/B744.acf", "model");
  WriteFile("Aircraft/Light/C172/C172.acf", "model");
  const std::string b744 = "5|p|Aircraft/Heavy/B744/B744.acf\n", c172 = "5|p|Aircraft/Light/C172/C172.acf\n";
  const struct {
    const char *name;
    std::string head, unit;
  } floods[] = {{"\"===x\"", "", "===x"},
                {"\"1|c|\" then \"===x\"", "1|c|", "===x"},
                {"digits", "", "0"},
                {"one model notice", "", b744},
                {"two model notices in turn", "", b744 + c172}};
  for (const auto &flood : floods) {
    std::string pattern;
    while (pattern.size() < 256 * 1024) pattern += flood.unit;
    const size_t period = flood.unit.size();
    ASSERT_TRUE(sendAll(flood.head));
    const size_t loadsBefore = host().setAircraftModelLog().size();
    const int framesBefore = host().frameCount();
    size_t sent = 0;
    std::vector<double> frames;
    for (int f = 0; f < kFloodFrames; ++f) {
      sent += peer->sendStreamSome(pattern.substr(sent % period));
      const auto before = Clock::now();
      host().runFrame();
      frames.push_back(Seconds(before));
    }
    std::sort(frames.begin(), frames.end());
    Report(std::string("median frame under ") + flood.name, frames[frames.size() / 2] * 1000, "ms");
    Report(std::string("longest frame under ") + flood.name, frames.back() * 1000, "ms");
    EXPECT_GT(sent, 10000u * kFloodFrames) << "the flood did not keep the socket full";
    // The line ends, and the next line is a message again.
    const std::string name = "Owl" + std::to_string(&flood - floods);
    ASSERT_TRUE(sendAll("\n9|c|" + name + "\n"));
    EXPECT_TRUE(rowBecomes(9, "9: " + name + " Plane 9")) << flood.name;
    if (flood.unit == b744) {
      // One load, at the first notice; the rest name the model the slot has.
      EXPECT_EQ(host().setAircraftModelLog().size() - loadsBefore, 1u);
    } else if (flood.unit == b744 + c172) {
      // The model a pilot sees is the last whole notice's, loaded at most once a frame.
      // (A notice whose file check waits for the next run is loaded a frame or more later.)
      const std::vector<std::pair<int, std::string>> &log = host().setAircraftModelLog();
      const bool b744Last = sent % period >= b744.size();
      const std::string last = PathOf(b744Last ? "Aircraft/Heavy/B744/B744.acf" : "Aircraft/Light/C172/C172.acf");
      EXPECT_TRUE(RunUntil(host(), peer.get(), [&] { return log.size() > loadsBefore && log.back().second == last; }))
          << (log.size() > loadsBefore ? log.back().second : std::string("no load"));
      EXPECT_LE(log.size() - loadsBefore, size_t(host().frameCount() - framesBefore));
    }
  }
  // A NUL drops the rest of its line only; the next line in the same read stays.
  ASSERT_TRUE(sendAll(std::string("7|c|A\0junk\n8|c|GOOD\n", 20)));
  EXPECT_TRUE(rowBecomes(8, "8: GOOD Plane 8"));
  EXPECT_EQ(Row(7), "7: A Plane 7");
  // A text ending in "=" leaves "=" behind its line marker; the next message still counts.
  ASSERT_TRUE(sendAll("0|m|2+2=\n"));
  host().runFrames(3);
  ASSERT_TRUE(sendAll("2|c|Bob\n"));
  EXPECT_TRUE(rowBecomes(2, "2: Bob Plane 2"));
}

TEST_F(FaultTest, ReportsForEverySlotNumberLandOnlyInTheirOwnSlot) {
  StartConnected();
  LearnDatagramPort();
  for (int n = 0; n <= 19; ++n) {
    ReportValues v;
    v.psi = 1000.0f + float(n);
    SendDatagram(sttest::Report(n, v));
  }
  // Numbers outside 0..19, up to and past 2^31 (and 2^32 + 3, which a 32-bit wrap would read as 3).
  ReportValues stray;
  stray.psi = 777.0f;
  const std::string rest = sttest::Report(0, stray).substr(2);
  for (const char *n : {"-1", "20", "21", "99", "2147483647", "2147483648", "4294967299",
                        "99999999999999999999", "00000000000000000000020", " 3", "3 ", "+3"})
    SendDatagram(n + rest);
  EXPECT_FLOAT_EQ(host().getf("sim/flightmodel/position/psi"), 1000.0f);
  for (int n = 1; n <= 19; ++n) EXPECT_FLOAT_EQ(host().getf(Plane(n, "psi")), 1000.0f + float(n)) << n;
}

// A hostile sender's elevations flip between the float's extremes, each report timed: whatever
// the motion between them computes, no dataref gets an infinity, and the aircraft stays where its
// last sane report put it. Ratios far out are written at their limit.
TEST_F(FaultTest, ExtremeValuesFromASenderNeverReachTheHost) {
  StartConnected();
  LearnDatagramPort();
  ReportValues v;
  v.tail = "|1765158000|0";
  SendDatagram(sttest::Report(4, v));
  const double y = host().getd(Plane(4, "y"));
  v.flap = 1e30f;
  v.lights = "7|1|0|1|0";
  for (int i = 1; i <= 100; ++i) {
    v.el = i % 2 ? "3.4e38" : "-3.4e38";
    v.tail = "|1765158000|" + std::to_string(i * 20000);
    SendDatagram(sttest::Report(4, v));
  }
  EXPECT_EQ(host().nonFiniteWrites(), 0);
  EXPECT_EQ(host().getd(Plane(4, "y")), y);
  EXPECT_EQ(host().getf(Plane(4, "flap_ratio")), 1.5f);
  EXPECT_EQ(host().geti(Plane(4, "beacon_lights_on")), 1);
}

TEST_F(FaultTest, NoticesOfTenThousandBarsAreKeptWholeButACallsignIsCut) {
  StartConnected();
  LearnDatagramPort();
  ASSERT_TRUE(host().pickMenu({"Skytether", "Toggle Plane List"}));
  const std::string bars(10000, '|');
  SendStream("7|c|" + bars + "\n0|m|" + bars + "\n8|p|Aircraft/" + bars + "/Jet.acf\n");
  host().runFrames(10);
  EXPECT_EQ(Row(7), "7: " + bars.substr(0, 31) + " Plane 7");
  EXPECT_EQ(Row(8), "8:  Jet");
  host().runFor(1.0);
  EXPECT_TRUE(Drawn(bars));
  // The same as a datagram, and a report whose fields are all bars: nothing moves.
  SendDatagram("3|l|" + std::string(1396, '|'));
  SendDatagram(bars);
  EXPECT_FLOAT_EQ(host().getf(Plane(3, "psi")), 0.0f);
  // The stream still works after them.
  SendStream("9|c|Owl\n");
  EXPECT_EQ(Row(9), "9: Owl Plane 9");
}

TEST_F(FaultTest, PreferencesFilesOfRandomBytesLoadAsTheParserReadsThem) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 40; ++round) {
    std::string text(random() % 1500, '\0');
    for (char &c : text) c = char(random());
    // Half of the files start like a real one, so the parse gets somewhere.
    if (round % 2 == 1)
      text = "callsign=Fal" + text.substr(0, 20) + ";userID=" + text.substr(20, 10) + ";" + text;
    PluginTest::WritePrefs(text);
    Start();
    PrefValues want;
    std::string parsed = text.substr(0, kPrefsReadLimit);
    ParsePreferencesText(parsed.substr(0, parsed.find('\0')), want);
    ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
    EXPECT_EQ(host().widget(Widget(kCallsignF)).descriptor, want.callsign) << round;
    EXPECT_EQ(host().widget(Widget(kUserIDF)).descriptor, want.userID) << round;
    host().runFor(0.5);
    DropHost();
  }
}

TEST_F(FaultTest, AReadOnlyPreferencesFileIsLeftAloneAndNothingElseBreaks) {
  const std::string prefs =
      "server=" + PeerText() + ";callsign=Old;userID=pilot;password=secret;connectAtStartup=0;";
  WritePrefs(prefs);
  ASSERT_EQ(chmod(PathOf("Resources/plugins/stprefs.txt").c_str(), 0444), 0);
  // Root writes read-only files anyway: act as nobody for file access (the folders let it in).
  const bool root = geteuid() == 0;
  for (const char *dir : {"", "/Resources", "/Resources/plugins"}) chmod((Root() + dir).c_str(), 0755);
  Start();
  ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
  Retype(kCallsignF, "New");
  if (root) setfsuid(65534);
  ASSERT_TRUE(host().clickWidget(Widget(kApply)));
  ASSERT_TRUE(host().clickWidget(Widget(kSave)));
  if (root) setfsuid(0);
  EXPECT_EQ(ReadPrefs(), prefs);
  // The new callsign is in use all the same, and the session works.
  ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
  ASSERT_TRUE(host().clickWidget(Widget(kConnect)));
  ASSERT_TRUE(RunUntil(
      host(), peer.get(), [&] { return !LinesWith("|CALLSIGN|New|").empty(); }));
  EXPECT_NE(LoginLine().find("|Opening Connection|pilot|"), std::string::npos);
}

class NoPluginsFolderTest : public FaultTest {
  void Configure(skyhost::HostOptions &options) override { options.createPluginsFolder = false; }
};

TEST_F(NoPluginsFolderTest, SavingWithoutTheFolderFailsSilentlyAndNothingElseBreaks) {
  Start();
  ASSERT_FALSE(FileExists("Resources/plugins"));
  ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
  Retype(kUserIDF, "pilot");
  Retype(kCallsignF, "Falcon");
  Retype(kServerF, PeerText());
  ASSERT_TRUE(host().clickWidget(Widget(kApply)));
  ASSERT_TRUE(host().clickWidget(Widget(kSave)));
  EXPECT_FALSE(FileExists("Resources/plugins"));
  EXPECT_FALSE(FileExists("Resources/plugins/stprefs.txt"));
  ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
  ASSERT_TRUE(host().clickWidget(Widget(kConnect)));
  ASSERT_TRUE(RunUntil(host(), peer.get(), [&] { return !LinesWith("|CALLSIGN|Falcon|").empty(); }));
  EXPECT_NE(LoginLine().find("|Opening Connection|pilot|"), std::string::npos);
}

TEST_F(FaultTest, ModelPathsTakeABackslashOrColonSeparator) {
  StartConnected();
  ASSERT_TRUE(host().pickMenu({"Skytether", "Toggle Plane List"}));
  for (const std::string sep : {"\\", ":"}) {
    host().setDirectorySeparator(sep);
    const std::string local = "Aircraft" + sep + "Heavy" + sep + "B744" + sep + "B744.acf";
    WriteFile(local, "model");
    SendStream("7|p|BLANK\n7|p|Aircraft/Heavy/B744/B744.acf\n");
    ASSERT_FALSE(host().setAircraftModelLog().empty());
    EXPECT_EQ(host().setAircraftModelLog().back(), std::make_pair(7, PathOf(local)));
    EXPECT_EQ(Row(7), "7:  B744");
  }
  // Only the first 50 "/" are converted: the file is d:d:...:d/d/.../Deep.acf.
  std::string deep, local;
  for (int i = 0; i < 60; ++i) deep += "d/";
  for (int i = 0; i < 60; ++i) local += i < 50 ? "d:" : "d/";
  WriteFile(local + "Deep.acf", "model");
  SendStream("8|p|" + deep + "Deep.acf\n");
  EXPECT_EQ(Row(8), "8:  Deep");
  EXPECT_EQ(host().setAircraftModelLog().back(), std::make_pair(8, PathOf(local + "Deep.acf")));
  // The own model is announced as the host writes its path.
  host().setUserModel("Jet.acf", "Aircraft:Jets:Jet.acf");
  EXPECT_TRUE(RunUntil(
      host(), peer.get(), [&] { return !LinesWith("|PLANE|Aircraft:Jets:Jet.acf\n").empty(); }, 30));
}

TEST_F(FaultTest, AModelNoticeNamingAPipeOrAFolderLoadsNothingAndHoldsNothing) {
  StartConnected();
  ASSERT_TRUE(host().pickMenu({"Skytether", "Toggle Plane List"}));
  WriteFile("Aircraft/Folder.acf/inside", "");
  const std::string pipe = PathOf("Aircraft/Pipe.acf");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  // Should the plugin open the pipe and wait for a writer, one comes after 5 s and says so.
  std::atomic<bool> done{false}, rescued{false};
  std::thread rescuer([&] {
    for (auto until = Clock::now() + std::chrono::seconds(5); !done && Clock::now() < until;)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done) return;
    rescued = true;
    int fd = open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
  });
  SendStream("4|p|Aircraft/Pipe.acf\n5|p|Aircraft/Folder.acf\n");
  done = true;
  rescuer.join();
  EXPECT_FALSE(rescued) << "the packet cycle waited for a writer on the pipe";
  EXPECT_TRUE(host().setAircraftModelLog().empty()) << "only a regular file is a model";
  EXPECT_EQ(Row(4), "4:  Pipe");
  EXPECT_EQ(Row(5), "5:  Folder");
}

TEST_F(FaultTest, PipesInPlaceOfThePreferencesFileAndTheMarkerHoldNothing) {
  WriteFile("Resources/plugins/.keep", "");
  const std::string prefs = PathOf("Resources/plugins/stprefs.txt"),
                    marker = PathOf("Resources/plugins/viewonly.txt");
  ASSERT_EQ(mkfifo(prefs.c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(marker.c_str(), 0644), 0);
  std::atomic<bool> done{false}, rescued{false};
  std::thread rescuer([&] {
    // After 5 s, a writer for whichever pipe the plugin waits on to read, and a reader kept open
    // for the preferences pipe should it wait to write; either says so.
    int reader = -1;
    for (auto until = Clock::now() + std::chrono::seconds(5); !done;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (Clock::now() < until) continue;
      rescued = true;
      if (reader < 0) reader = open(prefs.c_str(), O_RDONLY | O_NONBLOCK);
      for (const std::string &p : {prefs, marker}) {
        int fd = open(p.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) continue;
        ssize_t n = write(fd, "callsign=Piped;", 15);
        (void)n;
        close(fd);
      }
    }
    if (reader >= 0) close(reader);
  });
  Start();  // loads the preferences twice and looks for the marker
  ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
  EXPECT_EQ(host().widget(Widget(kCallsignF)).descriptor, "");
  Retype(kCallsignF, "New");
  ASSERT_TRUE(host().clickWidget(Widget(kApply)));
  ASSERT_TRUE(host().clickWidget(Widget(kSave)));
  done = true;
  rescuer.join();
  EXPECT_FALSE(rescued) << "start, enable, Apply or Save waited on a pipe";
  struct stat st;
  ASSERT_EQ(stat(prefs.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "only a regular file is written";
  // The applied values are in use all the same.
  ASSERT_TRUE(host().pickMenu(MenuPath("Control & Settings")));
  EXPECT_EQ(host().widget(Widget(kCallsignF)).descriptor, "New");
}
