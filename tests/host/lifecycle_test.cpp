// Loading, starting, enabling, stopping and unloading a plugin file, and the host's root folder.


#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "XPLMPlanes.h"
#include "XPLMUtilities.h"
#include "fixture.h"

namespace fs = std::filesystem;
using hosttest::Fresh;
using hosttest::WithFixture;

namespace {

struct EnvGuard {
  const char *name;
#if defined(_WIN32)
  EnvGuard(const char *n) : name(n) { _putenv_s(n, "1"); }
  ~EnvGuard() { _putenv_s(name, ""); }
#else
  EnvGuard(const char *n) : name(n) { setenv(n, "1", 1); }
  ~EnvGuard() { unsetenv(name); }
#endif
};

}  // namespace

TEST(Lifecycle, LoadStartsThePluginAndReadsItsNames) {
  WithFixture f;
  EXPECT_TRUE(f.host.pluginStarted());
  EXPECT_FALSE(f.host.pluginEnabled());
  EXPECT_EQ(f.host.pluginName, "Fixture");
  EXPECT_EQ(f.host.pluginSignature, "skytether.tests.fixture");
  EXPECT_EQ(f.host.pluginDescription, "A plugin that exercises the simulated host.");
  EXPECT_EQ(f.log(), std::vector<std::string>{"start"});
}

TEST(Lifecycle, LookupsMadeWhileTheLibraryLoadsAreLoggedFirstAndGetNothing) {
  WithFixture f;
  const std::vector<std::string> expected = {"sim/graphics/view/view_type",
                                             "sim/multiplayer/position/plane1_x", "fixture/no_such_dataref",
                                             "sim/flightmodel/position/latitude"};
  EXPECT_EQ(f.host.lookupLog(), expected);
  // The first three came from the fixture's global objects, before its XPluginStart.
  EXPECT_EQ(f.host.lookupsBeforeStart(), 3);
}

TEST(Lifecycle, EntryPointsRunInTheHostsOrder) {
  WithFixture f;
  EXPECT_EQ(f.host.enable(), 1);
  EXPECT_EQ(f.host.enable(), 1);  // already enabled: not called again
  f.host.disable();
  f.host.disable();
  f.host.enable();
  f.host.stop();  // disables first
  f.host.stop();
  const std::vector<std::string> expected = {"start", "enable", "disable", "enable", "disable", "stop"};
  EXPECT_EQ(f.log(), expected);
  EXPECT_FALSE(f.host.pluginStarted());
  EXPECT_EQ(f.host.enable(), 0);  // a stopped plugin is not enabled again
}

TEST(Lifecycle, ADisabledPluginIsNotCalledBackAndItsDueLoopRunsAtTheEnable) {
  WithFixture f;
  f.host.runFor(1.0);  // started, never enabled
  EXPECT_TRUE(f.logOf("loop").empty());
  EXPECT_TRUE(f.logOf("draw").empty());
  f.host.enable();
  f.host.runFrame();  // due since 0.5 s: runs at once
  EXPECT_EQ(f.logOf("loop").size(), 1u);
  EXPECT_EQ(f.logOf("draw").size(), 1u);
  f.host.disable();
  f.clearLog();
  f.host.runFor(2.0);
  EXPECT_TRUE(f.log().empty());
  EXPECT_EQ(f.host.flightLoops().size(), 1u);  // the registrations stay
  f.host.enable();
  f.host.runFrame();
  EXPECT_EQ(f.logOf("loop").size(), 1u);
}

TEST(Lifecycle, MessagesReachTheReceiveEntryPoint) {
  WithFixture f;
  f.host.sendMessage(0, 101, nullptr);
  EXPECT_EQ(f.logOf("message"), std::vector<std::string>{"message 0 101 (nil)"});
}

TEST(Lifecycle, UnloadReallyUnloadsAndTheNextLoadStartsFresh) {
  WithFixture f;
  f.host.enable();
  auto constructed = f.fn<int (*)()>("fixture_constructed");
  auto starts = f.fn<int (*)()>("fixture_starts");
  ASSERT_TRUE(constructed && starts);
  EXPECT_EQ(constructed(), 1);
  EXPECT_EQ(starts(), 1);

  EXPECT_TRUE(f.host.unload());
  EXPECT_FALSE(f.host.pluginLoaded());
  EXPECT_FALSE(skyhost::Host::fileLoaded(FIXTURE_PLUGIN));
  EXPECT_TRUE(f.host.leftoversAtUnload().empty());

  ASSERT_TRUE(f.host.load(FIXTURE_PLUGIN));
  EXPECT_EQ(f.fn<int (*)()>("fixture_constructed")(), 1);
  EXPECT_EQ(f.fn<int (*)()>("fixture_starts")(), 1);
  EXPECT_EQ(f.log(), std::vector<std::string>{"start"});
}

TEST(Lifecycle, ACleanStopLeavesNothingRegistered) {
  WithFixture f;
  f.host.enable();
  EXPECT_EQ(f.host.flightLoops().size(), 1u);
  EXPECT_EQ(f.host.drawCallbacks().size(), 1u);
  EXPECT_EQ(f.host.keySniffers().size(), 1u);
  EXPECT_EQ(f.host.windows().size(), 1u);
  f.host.stop();
  EXPECT_TRUE(f.host.flightLoops().empty());
  EXPECT_TRUE(f.host.drawCallbacks().empty());
  EXPECT_TRUE(f.host.keySniffers().empty());
  EXPECT_TRUE(f.host.windows().empty());
  ASSERT_TRUE(f.host.unload());
  EXPECT_TRUE(f.host.leftoversAtUnload().empty());
  // The host removes the plugin's item from its plugins menu.
  EXPECT_TRUE(f.host.menus()[0].items.empty());
}

TEST(Lifecycle, CallsFromGlobalDestructorsAfterStopAreCounted) {
  {
    WithFixture quiet;
    ASSERT_TRUE(quiet.host.unload());
    EXPECT_EQ(quiet.host.callsAfterStop(), 0);
  }
  EnvGuard calls("FIXTURE_UNLOAD_CALLS");
  WithFixture f;
  f.host.stop();
  EXPECT_EQ(f.host.callsAfterStop(), 0);
  ASSERT_TRUE(f.host.unload());
  EXPECT_GE(f.host.callsAfterStop(), 1);
}

TEST(Lifecycle, WhatALeakyPluginLeavesIsListedAndRemovedAtUnload) {
  EnvGuard leaks("FIXTURE_LEAKS");
  WithFixture f;
  f.host.pickMenu({"Fixture", "Build Pane"});
  ASSERT_TRUE(f.host.unload());
  const auto &left = f.host.leftoversAtUnload();
  auto has = [&](const std::string &prefix) {
    return std::any_of(left.begin(), left.end(),
                       [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
  };
  EXPECT_TRUE(has("flightloop"));
  EXPECT_TRUE(has("draw"));
  EXPECT_TRUE(has("keysniffer"));
  EXPECT_TRUE(has("window"));
  EXPECT_TRUE(has("menu \"Fixture Menu\""));
  EXPECT_TRUE(has("widget \"Fixture Pane\""));
  EXPECT_TRUE(has("command handler on fixture/command"));
  EXPECT_TRUE(has("dataref fixture/id"));
  EXPECT_TRUE(f.host.flightLoops().empty());
  EXPECT_TRUE(f.host.commands().at(0).handlers.empty());
  // Its datarefs are orphaned: found and read as 0, nothing calls into the unmapped file.
  XPLMDataRef id = XPLMFindDataRef("fixture/id");
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(XPLMIsDataRefGood(id), 0);
  EXPECT_EQ(XPLMGetDatai(id), 0);
  EXPECT_TRUE(f.host.commandOnce("fixture/command"));
  EXPECT_TRUE(f.host.windows().empty());
  EXPECT_TRUE(f.host.widgets().empty());
  // Frames, keys and clicks after the unload must not reach the unmapped code.
  f.host.runFrames(40);
  f.host.pressKey('a');
  f.host.click(50, 250);
}

TEST(Lifecycle, AStartThatFailsUnloadsThePluginAndItsRegistrations) {
  EnvGuard fails("FIXTURE_START_FAILS");
  Fresh f;
  EXPECT_FALSE(f.host.load(FIXTURE_PLUGIN));
  EXPECT_EQ(f.host.lastError(), "XPluginStart returned 0");
  EXPECT_FALSE(f.host.pluginLoaded());
  EXPECT_TRUE(f.host.flightLoops().empty());
  EXPECT_FALSE(skyhost::Host::fileLoaded(FIXTURE_PLUGIN));
  f.host.runFrames(100);
}

TEST(Lifecycle, LoadRefusesAMissingFileAndASecondPlugin) {
  WithFixture f;
  EXPECT_FALSE(f.host.load(FIXTURE_PLUGIN));
  EXPECT_NE(f.host.lastError().find("already loaded"), std::string::npos);
  Fresh g;
  EXPECT_FALSE(g.host.load(g.dir / "nothing.xpl"));
  EXPECT_FALSE(g.host.lastError().empty());
  EXPECT_FALSE(g.host.unload());
}

TEST(Lifecycle, TwoHostsCannotShareOnePluginFile) {
  WithFixture first;
  Fresh second;
  EXPECT_FALSE(second.host.load(FIXTURE_PLUGIN));
  EXPECT_NE(second.host.lastError().find("already loaded in this process"), std::string::npos);
  EXPECT_EQ(first.fn<int (*)()>("fixture_starts")(), 1);
  EXPECT_TRUE(first.host.unload());
}

TEST(Lifecycle, AFileWithoutTheEntryPointsIsRefusedAndUnloaded) {
  Fresh f;
  EXPECT_FALSE(f.host.load(NOENTRY_PLUGIN));
  EXPECT_NE(f.host.lastError().find("missing entry point XPluginStart"), std::string::npos);
  EXPECT_FALSE(f.host.pluginLoaded());
  EXPECT_FALSE(skyhost::Host::fileLoaded(NOENTRY_PLUGIN));
}

TEST(Lifecycle, DestroyingTheHostStopsAndUnloadsThePlugin) {
  {
    WithFixture f;
    f.host.enable();
  }
  EXPECT_FALSE(skyhost::Host::fileLoaded(FIXTURE_PLUGIN));
}

TEST(Lifecycle, TwoPluginsRunSideBySideEachInItsOwnContext) {
  WithFixture f;
  const XPLMPluginID second = f.host.loadPlugin(FIXTURE_PLUGIN2);
  ASSERT_NE(second, XPLM_NO_PLUGIN_ID) << f.host.lastError();
  const XPLMPluginID first = f.host.pluginID();
  EXPECT_NE(second, first);
  ASSERT_EQ(f.host.plugins().size(), 2u);
  EXPECT_EQ(f.host.plugins()[1].name, "Fixture Two");
  EXPECT_EQ(f.host.pluginName, "Fixture");
  auto logOf = [&](XPLMPluginID id) {
    auto get = reinterpret_cast<const char *(*)()>(skyhost::Host::pluginSymbol(f.host.pluginHandle(id), "fixture_log"));
    return std::string(get ? get() : "");
  };
  // Each plugin's accessor runs in its own context, whoever reads it.
  EXPECT_EQ(XPLMGetDatai(XPLMFindDataRef("fixture/id")), first);
  EXPECT_EQ(XPLMGetDatai(XPLMFindDataRef("fixture2/id")), second);

  // Only an enabled plugin is called back; enabling one leaves the other as it was.
  f.host.enable(second);
  f.host.runFor(0.6);
  EXPECT_EQ(logOf(first).find("loop"), std::string::npos);
  EXPECT_NE(logOf(second).find("loop"), std::string::npos);
  f.host.enable();
  int total, active, controller;
  XPLMCountAircraft(&total, &active, &controller);
  EXPECT_EQ(controller, second);  // it was enabled first and took the planes; the other was refused

  // Unloading one leaves the other running and its registrations in place.
  EXPECT_TRUE(f.host.unload(second));
  EXPECT_TRUE(f.host.leftoversAtUnload().empty());
  EXPECT_FALSE(skyhost::Host::fileLoaded(FIXTURE_PLUGIN2));
  EXPECT_FALSE(f.host.planesAcquired());
  EXPECT_EQ(f.host.flightLoops().size(), 1u);
  EXPECT_EQ(f.host.windows().size(), 1u);
  EXPECT_EQ(f.host.menus()[0].items.size(), 1u);
  f.host.runFor(0.6);
  EXPECT_NE(logOf(first).find("loop"), std::string::npos);
  EXPECT_EQ(XPLMGetDatai(XPLMFindDataRef("fixture/id")), first);
  EXPECT_EQ(XPLMIsDataRefGood(XPLMFindDataRef("fixture2/id")), 0);
  // A plugin loaded again gets a new id, and takes its orphaned names back.
  const XPLMPluginID third = f.host.loadPlugin(FIXTURE_PLUGIN2);
  EXPECT_NE(third, second);
  EXPECT_NE(third, first);
  EXPECT_EQ(XPLMGetDatai(XPLMFindDataRef("fixture2/id")), third);
}

TEST(Root, TheHostMakesItsRootButLeavesTheWorkingDirectoryAlone) {
  const fs::path before = fs::current_path();
  Fresh f;
  EXPECT_EQ(fs::current_path(), before);
  EXPECT_TRUE(fs::is_directory(fs::path(f.host.root()) / "Resources" / "plugins"));
  EXPECT_EQ(fs::canonical(f.dir.path()), fs::path(f.host.root()));
  char path[512];
  XPLMGetSystemPath(path);
  EXPECT_EQ(std::string(path), f.host.root() + "/");
}

TEST(Root, TheNewestHostIsCurrentUntilItGoes) {
  Fresh a;
  EXPECT_EQ(&skyhost::Host::current(), &a.host);
  {
    Fresh b;
    EXPECT_EQ(&skyhost::Host::current(), &b.host);
    b.host.setScreenSize(640, 480);
    int w = 0, h = 0;
    XPLMGetScreenSize(&w, &h);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
  }
  EXPECT_EQ(&skyhost::Host::current(), &a.host);
  int w = 0, h = 0;
  XPLMGetScreenSize(&w, &h);
  EXPECT_EQ(w, 1024);
  EXPECT_EQ(h, 768);
}

TEST(Root, AnOlderHostDrivingItsPluginIsCurrentDuringTheCalls) {
  WithFixture older;
  Fresh newer;
  older.host.enable();
  older.host.runFor(0.6);
  // The plugin's draw callback drew into its own host, not into the newest one.
  EXPECT_EQ(older.logOf("loop").size(), 1u);
  EXPECT_EQ(older.host.lastFrameStrings(), std::vector<std::string>{"fixture draws"});
  EXPECT_TRUE(newer.host.lastFrameDrawing().empty());
  EXPECT_EQ(older.host.frameCount(), 36);
  EXPECT_EQ(newer.host.frameCount(), 0);
}
