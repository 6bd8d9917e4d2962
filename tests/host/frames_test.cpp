// The clock: flight-loop scheduling, draw order, window drawing and the drawing record.

#include <cmath>
#include <cstdio>
#include <functional>

#include "GL/gl.h"

#include "XPLMGraphics.h"
#include "XPLMProcessing.h"
#include "fixture.h"

using hosttest::Fresh;

namespace {

struct LoopCall {
  float sinceLast, sinceLoop;
  int counter;
  double at;
};

// One flight loop under test: what it was called with, and what it answers.
struct Probe {
  std::vector<LoopCall> calls;
  std::vector<float> answers;    // consumed in order; the last repeats
  std::function<void()> during;  // runs inside the callback
};

float probeLoop(float sinceLast, float sinceLoop, int counter, void *refcon) {
  auto *p = static_cast<Probe *>(refcon);
  p->calls.push_back({sinceLast, sinceLoop, counter, skyhost::Host::current().elapsed()});
  if (p->during) p->during();
  if (p->answers.empty()) return 0;
  float a = p->answers.front();
  if (p->answers.size() > 1) p->answers.erase(p->answers.begin());
  return a;
}

std::vector<std::string> gEvents;

int drawA(XPLMDrawingPhase phase, int before, void *refcon) {
  gEvents.push_back("A " + std::to_string(phase) + " " + std::to_string(before) + " " +
                    static_cast<const char *>(refcon));
  return 1;
}
int drawB(XPLMDrawingPhase phase, int before, void *) {
  gEvents.push_back("B " + std::to_string(phase) + " " + std::to_string(before));
  return 1;
}

void windowDraw(XPLMWindowID, void *refcon) {
  gEvents.push_back(std::string("window ") + static_cast<const char *>(refcon));
  float red[3] = {1, 0, 0};
  char text[] = "in window";
  XPLMDrawString(red, 1, 2, text, nullptr, xplmFont_Basic);
}

}  // namespace

class FlightLoops : public ::testing::Test {
 protected:
  void SetUp() override { gEvents.clear(); }
  Fresh f;
};

TEST_F(FlightLoops, ASecondsIntervalIsFirstDueAfterThatTimeAndTheReturnValueReschedules) {
  Probe p;
  p.answers = {0.25f};
  XPLMRegisterFlightLoopCallback(probeLoop, 0.1f, &p);
  f.host.runFrames(5, 60);  // up to 0.083 s
  EXPECT_TRUE(p.calls.empty());
  f.host.runFrames(1, 60);  // 0.1 s
  ASSERT_EQ(p.calls.size(), 1u);
  EXPECT_NEAR(p.calls[0].at, 0.1, 1e-9);
  EXPECT_NEAR(p.calls[0].sinceLast, 0.1, 1e-5);  // since registration
  EXPECT_NEAR(p.calls[0].sinceLoop, 1.0 / 60, 1e-6);
  EXPECT_EQ(p.calls[0].counter, 6);
  f.host.runFor(1.0, 60);
  ASSERT_EQ(p.calls.size(), 5u);  // 0.1, 0.35, 0.6, 0.85, 1.1
  EXPECT_NEAR(p.calls[4].at, 1.1, 1e-9);
  EXPECT_NEAR(p.calls[4].sinceLast, 0.25, 1e-5);
  EXPECT_EQ(f.host.flightLoops()[0].calls, 5);
  EXPECT_FLOAT_EQ(f.host.flightLoops()[0].lastReturn, 0.25f);
}

TEST_F(FlightLoops, FloatIntervalsDoNotSlipAFrame) {
  Probe p;
  p.answers = {0.1f};  // 0.1f is slightly above 0.1
  XPLMRegisterFlightLoopCallback(probeLoop, 0.1f, &p);
  f.host.runFrames(100, 100);
  EXPECT_EQ(p.calls.size(), 10u);
}

TEST_F(FlightLoops, NegativeIntervalsCountFrames) {
  Probe p;
  p.answers = {-1.0f};
  XPLMRegisterFlightLoopCallback(probeLoop, -3.0f, &p);
  f.host.runFrames(2);
  EXPECT_TRUE(p.calls.empty());
  f.host.runFrames(1);
  ASSERT_EQ(p.calls.size(), 1u);
  EXPECT_EQ(p.calls[0].counter, 3);
  f.host.runFrames(4);
  EXPECT_EQ(p.calls.size(), 5u);  // then every frame
}

TEST_F(FlightLoops, ZeroMeansNotScheduledAndAZeroReturnStopsTheLoop) {
  Probe idle, once;
  once.answers = {0.0f};
  XPLMRegisterFlightLoopCallback(probeLoop, 0.0f, &idle);
  XPLMRegisterFlightLoopCallback(probeLoop, -1.0f, &once);
  f.host.runFrames(30);
  EXPECT_TRUE(idle.calls.empty());
  EXPECT_EQ(once.calls.size(), 1u);
  EXPECT_FALSE(f.host.flightLoops()[1].scheduled);
  // A stopped loop can be started again.
  XPLMSetFlightLoopCallbackInterval(probeLoop, 0.5f, 1, &idle);
  f.host.runFor(0.5);
  EXPECT_EQ(idle.calls.size(), 1u);
}

TEST_F(FlightLoops, ALoopRunsAtMostOncePerFrameHoweverLongTheFrame) {
  Probe p;
  p.answers = {0.01f};
  XPLMRegisterFlightLoopCallback(probeLoop, 0.01f, &p);
  f.host.runFrame(1.0);
  f.host.runFrame(1.0);
  ASSERT_EQ(p.calls.size(), 2u);
  EXPECT_NEAR(p.calls[1].sinceLast, 1.0, 1e-6);
  EXPECT_NEAR(p.calls[1].sinceLoop, 1.0, 1e-6);
}

TEST_F(FlightLoops, TheRefconTellsRegistrationsOfOneFunctionApart) {
  Probe a, b;
  a.answers = {-1.0f};
  b.answers = {-1.0f};
  XPLMRegisterFlightLoopCallback(probeLoop, -1.0f, &a);
  XPLMRegisterFlightLoopCallback(probeLoop, -1.0f, &b);
  f.host.runFrames(2);
  XPLMUnregisterFlightLoopCallback(probeLoop, &a);
  f.host.runFrames(2);
  EXPECT_EQ(a.calls.size(), 2u);
  EXPECT_EQ(b.calls.size(), 4u);
}

TEST_F(FlightLoops, RegisteringAndUnregisteringInsideACallbackIsSafe) {
  Probe self, other, added;
  self.answers = {-1.0f};
  other.answers = {-1.0f};
  added.answers = {-1.0f};
  self.during = [&] {
    XPLMUnregisterFlightLoopCallback(probeLoop, &self);
    XPLMUnregisterFlightLoopCallback(probeLoop, &other);  // due later in this same frame
    for (int i = 0; i < 50; ++i) XPLMRegisterFlightLoopCallback(probeLoop, 0.0f, &added);  // grows the list
    XPLMRegisterFlightLoopCallback(probeLoop, -1.0f, &added);
  };
  XPLMRegisterFlightLoopCallback(probeLoop, -1.0f, &self);
  XPLMRegisterFlightLoopCallback(probeLoop, -1.0f, &other);
  f.host.runFrame();
  EXPECT_EQ(self.calls.size(), 1u);
  EXPECT_TRUE(other.calls.empty());
  EXPECT_TRUE(added.calls.empty());  // not in this frame
  f.host.runFrame();
  EXPECT_EQ(self.calls.size(), 1u);
  EXPECT_EQ(added.calls.size(), 1u);
}

TEST_F(FlightLoops, TheLogShowsRegistrationsWithTheirIntervals) {
  Probe p;
  XPLMRegisterFlightLoopCallback(probeLoop, 0.03f, &p);
  XPLMUnregisterFlightLoopCallback(probeLoop, &p);
  XPLMUnregisterFlightLoopCallback(probeLoop, &p);
  const auto &log = f.host.registrationLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].rfind("register flightloop ", 0), 0u);
  EXPECT_NE(log[0].find(" 0.03 "), std::string::npos);
  EXPECT_EQ(log[1].rfind("unregister flightloop ", 0), 0u);
  EXPECT_NE(log[2].find("(not registered)"), std::string::npos);
}

TEST_F(FlightLoops, ElapsedTimeAndCycleNumberFollowTheClock) {
  f.host.runFrames(30, 60);
  EXPECT_NEAR(XPLMGetElapsedTime(), 0.5f, 1e-6);
  EXPECT_EQ(XPLMGetCycleNumber(), 30);
  f.host.runFrame(-5);  // a negative step does not run time backwards
  EXPECT_NEAR(f.host.elapsed(), 0.5, 1e-9);
}

class Drawing : public ::testing::Test {
 protected:
  void SetUp() override { gEvents.clear(); }
  Fresh f;
};

TEST_F(Drawing, DrawCallbacksRunByPhaseBeforeThenAfterThenWindowsBottomFirst) {
  auto registerAll = [] {
    XPLMRegisterDrawCallback(drawA, xplm_Phase_Airplanes, 0, const_cast<char *>("a25"));
    XPLMRegisterDrawCallback(drawB, xplm_Phase_FirstScene, 0, nullptr);
    XPLMRegisterDrawCallback(drawA, xplm_Phase_Airplanes, 1, const_cast<char *>("b25"));
    XPLMRegisterDrawCallback(drawB, xplm_Phase_Window, 1, nullptr);
    XPLMCreateWindow(0, 100, 100, 0, 1, windowDraw, nullptr, nullptr, const_cast<char *>("lower"));
    XPLMCreateWindow(0, 100, 100, 0, 0, windowDraw, nullptr, nullptr, const_cast<char *>("hidden"));
    return XPLMCreateWindow(0, 100, 100, 0, 1, windowDraw, nullptr, nullptr, const_cast<char *>("upper"));
  };
  // Today's host never calls the 3-D phases: the registrations stand, the callbacks never run.
  XPLMWindowID upper = registerAll();
  f.host.runFrames(2);
  EXPECT_EQ(f.host.drawCallbacks().size(), 4u);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"B 50 1", "window lower", "window upper", "B 50 1",
                                               "window lower", "window upper"}));
  gEvents.clear();
  XPLMBringWindowToFront(f.host.windows()[0].id);
  EXPECT_FALSE(XPLMIsWindowInFront(upper));
  f.host.runFrame();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"B 50 1", "window upper", "window lower"}));

  // The older OpenGL backend calls them, the airplanes phase in two passes a frame.
  skyhost::TempDir dir;
  skyhost::HostOptions options = hosttest::optionsFor(dir);
  options.legacy3d = true;
  skyhost::Host legacy(options);
  registerAll();
  gEvents.clear();
  legacy.runFrame();
  const std::vector<std::string> expected = {"B 0 0",      "A 25 1 b25", "A 25 0 a25",   "A 25 1 b25",
                                             "A 25 0 a25", "B 50 1",     "window lower", "window upper"};
  EXPECT_EQ(gEvents, expected);
}

TEST_F(Drawing, UnregisterNeedsTheSamePhaseAndBeforeFlag) {
  XPLMRegisterDrawCallback(drawB, xplm_Phase_Airplanes, 0, nullptr);
  EXPECT_EQ(XPLMUnregisterDrawCallback(drawB, xplm_Phase_Airplanes, 1, nullptr), 0);
  EXPECT_EQ(XPLMUnregisterDrawCallback(drawB, xplm_Phase_Objects, 0, nullptr), 0);
  EXPECT_EQ(f.host.drawCallbacks().size(), 1u);
  EXPECT_EQ(XPLMUnregisterDrawCallback(drawB, xplm_Phase_Airplanes, 0, nullptr), 1);
  EXPECT_TRUE(f.host.drawCallbacks().empty());
}

TEST_F(Drawing, TheRecordHoldsTheLastFrameAndWhoseCallbackDrewEachOp) {
  XPLMWindowID w = XPLMCreateWindow(0, 100, 100, 0, 1, windowDraw, nullptr, nullptr, const_cast<char *>("w"));
  static int frames = 0;
  frames = 0;
  XPLMRegisterDrawCallback(
      [](XPLMDrawingPhase, int, void *) -> int {
        ++frames;
        XPLMSetGraphicsState(0, 1, 0, 0, 1, 0, 0);
        glColor4f(0.5f, 0.25f, 0, 0.75f);
        glBegin(GL_QUADS);
        glVertex2f(1, 2);
        glEnd();
        XPLMDrawTranslucentDarkBox(1, 20, 30, 4);
        int wrap = 120;
        char text[] = "wrapped";
        float green[3] = {0, 1, 0};
        XPLMDrawString(green, 3, 4, text, &wrap, xplmFont_Proportional);
        XPLMDrawNumber(green, 0, 0, 3.14159, 4, 2, 1, xplmFont_Basic);
        return 1;
      },
      xplm_Phase_Gauges, 0, nullptr);
  f.host.runFrame();
  f.host.runFrame();
  using Op = skyhost::Host::DrawOp;
  const auto &ops = f.host.lastFrameDrawing();
  ASSERT_EQ(ops.size(), 9u);  // one frame's worth
  EXPECT_EQ(ops[0].kind, Op::GraphicsState);
  EXPECT_EQ(ops[0].state[1], 1);
  EXPECT_EQ(ops[0].state[4], 1);
  EXPECT_EQ(ops[0].phase, xplm_Phase_Gauges);
  EXPECT_EQ(ops[0].window, nullptr);
  EXPECT_EQ(ops[3].kind, Op::Vertex);
  EXPECT_FLOAT_EQ(ops[3].rgba[3], 0.75f);
  EXPECT_FLOAT_EQ(ops[3].vy, 2.0f);
  EXPECT_EQ(ops[2].mode, static_cast<unsigned>(GL_QUADS));
  EXPECT_EQ(ops[5].kind, Op::DarkBox);
  EXPECT_EQ(ops[5].rect[1], 20);
  EXPECT_EQ(ops[6].text, "wrapped");
  EXPECT_TRUE(ops[6].hasWrap);
  EXPECT_EQ(ops[6].wrap, 120);
  EXPECT_EQ(ops[6].font, xplmFont_Proportional);
  EXPECT_EQ(ops[7].text, "+3.14");
  EXPECT_EQ(ops[8].text, "in window");
  EXPECT_FALSE(ops[8].hasWrap);
  EXPECT_EQ(ops[8].window, w);
  EXPECT_FLOAT_EQ(ops[8].rgba[0], 1.0f);
}

TEST_F(Drawing, AWindowDestroyedWhileWindowsDrawIsSkipped) {
  static XPLMWindowID second = nullptr;
  XPLMCreateWindow(
      0, 1, 1, 0, 1,
      [](XPLMWindowID, void *) {
        gEvents.push_back("first");
        XPLMDestroyWindow(second);
      },
      nullptr, nullptr, nullptr);
  second = XPLMCreateWindow(
      0, 1, 1, 0, 1, [](XPLMWindowID, void *) { gEvents.push_back("second"); }, nullptr, nullptr, nullptr);
  f.host.runFrame();
  EXPECT_EQ(gEvents, std::vector<std::string>{"first"});
  EXPECT_EQ(f.host.windows().size(), 1u);
}

TEST_F(Drawing, CallbacksMayRegisterAndUnregisterOthersWhileTheFrameDraws) {
  static size_t opsSeen = 0;
  opsSeen = 0;
  auto remover = [](XPLMDrawingPhase, int, void *) -> int {
    XPLMUnregisterDrawCallback(drawB, xplm_Phase_Window, 0, nullptr);  // due later this frame
    XPLMRegisterDrawCallback(drawA, xplm_Phase_Window, 0, const_cast<char *>("new"));
    char text[] = "early";
    XPLMDrawString(nullptr, 0, 0, text, nullptr, xplmFont_Basic);
    opsSeen = skyhost::Host::current().lastFrameDrawing().size();  // this frame's record so far
    return 1;
  };
  XPLMRegisterDrawCallback(remover, xplm_Phase_FirstCockpit, 0, nullptr);
  XPLMRegisterDrawCallback(drawB, xplm_Phase_Window, 0, nullptr);
  f.host.runFrame();
  EXPECT_TRUE(gEvents.empty());
  EXPECT_EQ(opsSeen, 1u);
  f.host.runFrame();
  EXPECT_EQ(gEvents, std::vector<std::string>{"A 50 0 new"});
  EXPECT_EQ(f.host.lastFrameStrings(), std::vector<std::string>{"early"});
}
