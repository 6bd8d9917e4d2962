// The plugin frame seen from the host: names, menu, callback schedule, lookups, planes, unload.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "child_process.h"
#include "plugin_test.h"

using harness::PluginTest;

namespace {

std::string Shell(const std::string &command) {
  std::string out;
  harness::RunCommand(command, &out);
  return out;
}

const skyhost::Host::FlightLoop *LoopWithFirstInterval(skyhost::Host &host, float first) {
  for (const auto &loop : host.flightLoops())
    if (loop.firstInterval == first) return &loop;
  return nullptr;
}

}  // namespace

TEST(PluginFile, ExportsOnlyTheEntryPointsAndNeedsOnlyTheCLibraryAndLibGL) {
  std::string defined =
      Shell("nm -D --defined-only '" + harness::PluginFile() + "' | awk '{print $3}' | sort");
  EXPECT_EQ(defined, "XPluginDisable\nXPluginEnable\nXPluginReceiveMessage\nXPluginStart\nXPluginStop\n");
  // PCRE, the C++ runtime and libgcc are inside; the GL calls go to the system's libGL (the
  // drawing tests show the simulated host still answers them first). A sanitizer build adds the
  // sanitizers' runtimes.
  std::string needed =
      Shell("readelf -dW '" + harness::PluginFile() +
            "' | sed -n 's/.*NEEDED.*\\[\\(.*\\)\\]/\\1/p' | grep -v -x -E "
            "'libc[.]so[.]6|libm[.]so[.]6|ld-linux-x86-64[.]so[.]2|lib(a|ub)san[.]so[.][0-9]+'");
  EXPECT_EQ(needed, "libGL.so.1\n");
  std::string versions =
      Shell("nm -D --undefined-only '" + harness::PluginFile() + "' | grep -c -E 'GLIBCXX|CXXABI|@GCC_'");
  EXPECT_EQ(versions, "0\n");
  // Unique symbols would pin the file in memory after dlclose.
  std::string unique = Shell("readelf -sW '" + harness::PluginFile() + "' | grep -c UNIQUE");
  EXPECT_EQ(unique, "0\n");
}

TEST_F(PluginTest, StartNamesThePluginAndBuildsTheMenu) {
  auto &host = Load();
  EXPECT_EQ(host.pluginName, "Skytether");
  EXPECT_EQ(host.pluginDescription, "A plugin that provides for high-res network play. (Alpha releases)");
  EXPECT_NE(host.pluginSignature.find('.'), std::string::npos);

  const auto menus = host.menus();
  const auto &plugins = menus.at(0);
  ASSERT_EQ(plugins.items.size(), 1u);
  EXPECT_EQ(plugins.items[0].name, "Skytether");
  EXPECT_EQ(plugins.items[0].itemRef, nullptr);
  EXPECT_TRUE(plugins.items[0].forceEnglish);
  ASSERT_NE(plugins.items[0].submenu, nullptr);
  auto sub = std::find_if(menus.begin(), menus.end(),
                          [&](const auto &m) { return m.id == plugins.items[0].submenu; });
  ASSERT_NE(sub, menus.end());
  EXPECT_EQ(sub->name, "Plane Window");
  ASSERT_EQ(sub->items.size(), 5u);
  EXPECT_EQ(sub->items[0].name, "Control & Settings");
  EXPECT_STREQ(static_cast<const char *>(sub->items[0].itemRef), "1");
  EXPECT_EQ(sub->items[1].name, "Toggle Plane List");
  EXPECT_STREQ(static_cast<const char *>(sub->items[1].itemRef), "2");
  // Each window into a window of its own, checked while it is there.
  const char *popOuts[] = {"Pop Out Chat", "Pop Out Plane List", "Pop Out Control & Settings"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(sub->items[2 + i].name, popOuts[i]);
    EXPECT_EQ(sub->items[2 + i].check, xplm_Menu_Unchecked);
  }
}

TEST_F(PluginTest, RegistersTheWholeScheduleAndRemovesItAtStop) {
  auto &host = Load();
  std::multiset<float> firsts;
  int after = 0;
  for (const auto &loop : host.flightLoops()) {
    firsts.insert(loop.firstInterval);
    EXPECT_EQ(loop.refcon, nullptr);
    after += loop.phase == xplm_FlightLoop_Phase_AfterFlightModel ? 1 : 0;
  }
  // The position broadcast, the cockpit hook, the model loads, the traffic's placement and the
  // windows following the screen every frame (-1), whatever the graphics backend; the broadcast
  // alone after the flight model.
  EXPECT_EQ(firsts, (std::multiset<float>{0.03f, 10.0f, 1.0f, 1.0f, 0.1f, -1.0f, -1.0f, -1.0f, -1.0f, -1.0f}));
  EXPECT_EQ(after, 1);
  // The labels, in the 2-D window phase, which every backend draws.
  ASSERT_EQ(host.drawCallbacks().size(), 1u);
  EXPECT_EQ(host.drawCallbacks()[0].phase, xplm_Phase_Window);
  ASSERT_EQ(host.keySniffers().size(), 1u);
  EXPECT_EQ(host.keySniffers()[0].beforeWindows, 0);
  // Six commands with a description each, handled by the plugin ahead of the host; the datarefs
  // read-only.
  const std::vector<std::string> commands = {"skytether/toggle_chat", "skytether/toggle_plane_list",
                                             "skytether/settings",    "skytether/connect",
                                             "skytether/disconnect",  "skytether/toggle_labels"};
  const auto made = host.commands();
  ASSERT_EQ(made.size(), commands.size());
  for (size_t i = 0; i < commands.size(); ++i) {
    const auto &c = made[i];
    EXPECT_EQ(c.name, commands[i]);
    EXPECT_EQ(c.description.rfind("Skytether: ", 0), 0u) << c.description;
    ASSERT_EQ(c.handlers.size(), 1u);
    EXPECT_TRUE(c.handlers[0].before);
    EXPECT_EQ(c.handlers[0].plugin, host.pluginID());
  }
  const auto refs = host.publishedDataRefs();
  ASSERT_EQ(refs.size(), 26u);
  for (const auto &r : refs) {
    EXPECT_TRUE(r.live && !r.writable && r.plugin == host.pluginID()) << r.name;
    EXPECT_EQ(r.types, r.name.find("callsign") != std::string::npos || r.name == "skytether/server_address"
                           ? xplmType_Data
                           : xplmType_Int)
        << r.name;
  }
  EXPECT_EQ(refs[2].name, "skytether/planes_in_use");
  EXPECT_EQ(refs[25].name, "skytether/plane19_callsign");

  // Each flight loop asks for its own interval once it has run.
  host.enable();
  RunSeconds(10.5);
  EXPECT_FLOAT_EQ(LoopWithFirstInterval(host, 0.03f)->lastReturn, 0.03f);
  EXPECT_FLOAT_EQ(LoopWithFirstInterval(host, 10.0f)->lastReturn, 1.0f);  // not connected
  EXPECT_FLOAT_EQ(LoopWithFirstInterval(host, 0.1f)->lastReturn, 0.01f);
  for (const auto &loop : host.flightLoops()) {
    if (loop.firstInterval == -1.0f) {
      EXPECT_EQ(loop.calls, host.frameCount());
    }
  }
  std::multiset<float> seconds;
  for (const auto &loop : host.flightLoops())
    if (loop.firstInterval == 1.0f) seconds.insert(loop.lastReturn);
  EXPECT_EQ(seconds, (std::multiset<float>{0.5f, 1.0f}));

  host.stop();
  EXPECT_TRUE(host.flightLoops().empty());
  EXPECT_TRUE(host.drawCallbacks().empty());
  EXPECT_TRUE(host.keySniffers().empty());
  EXPECT_TRUE(host.windows().empty());
  // The host keeps a command once made; no handler of the plugin stays on it.
  for (const auto &c : host.commands()) EXPECT_TRUE(c.handlers.empty()) << c.name;
  for (const auto &r : host.publishedDataRefs()) EXPECT_FALSE(r.live) << r.name;
  EXPECT_TRUE(host.unload());
  // Nothing of the plugin (a global destructor, an exit handler) calls the host after its stop.
  EXPECT_EQ(host.callsAfterStop(), 0);
  // Only the plugins-menu item stays for the host to remove: the plugin destroys its own submenu.
  for (const auto &left : host.leftoversAtUnload())
    if (left != "menu item \"Skytether\" in \"Plugins\"") ADD_FAILURE() << "left registered: " << left;
}

TEST_F(PluginTest, LooksUpTheOwnAircraftThenTheSlotsInStartFallingBackToTheHostsNames) {
  auto &host = Load();
  const auto &log = host.lookupLog();
  EXPECT_EQ(host.lookupsBeforeStart(), 0);  // nothing from global objects, before XPluginStart
  // The names the host does not have are exactly the older ones given up for the host's.
  std::multiset<std::string> unknown;
  for (const auto &name : log)
    if (!host.hasDataRef(name)) unknown.insert(name);
  std::multiset<std::string> older = {"sim/flightmodel/ENGN_thro", "sim/flightmodel/ENGN_thro",
                                      "sim/flightmodel/controls/lspdef"};
  for (int n = 2; n <= 19; ++n)
    older.insert("sim/multiplayer/position/plane" + std::to_string(n) + "_slat_ratio");
  EXPECT_EQ(unknown, older);
  // None of them is published after all (the host's list may only lack what the plugin never uses).
  std::ifstream published(PUBLISHED_DATAREFS);
  for (std::string line; std::getline(published, line);)
    EXPECT_EQ(older.count(line.substr(0, line.find('\t'))), 0u) << line;
  // Where an older name is not published, the host's name for the same value is looked up next
  // (the spoiler ratio has none: it only ever gets 0).
  for (size_t i = 0; i + 1 < log.size(); ++i) {
    if (log[i] == "sim/flightmodel/ENGN_thro") {
      EXPECT_EQ(log[i + 1], "sim/flightmodel/engine/ENGN_thro");
    }
    const size_t slat = log[i].find("_slat_ratio");
    if (slat != std::string::npos && !host.hasDataRef(log[i])) {
      EXPECT_EQ(log[i + 1], log[i].substr(0, slat) + "_sla1_ratio");
    }
  }
  // The own aircraft first, then every slot's plane under its own number, in slot order.
  const auto at = [&](const std::string &name) { return std::find(log.begin(), log.end(), name) - log.begin(); };
  EXPECT_EQ(log.front(), "sim/flightmodel/position/local_x");
  long last = 0;
  for (int n = 1; n <= 19; ++n) {
    const std::string plane = "sim/multiplayer/position/plane" + std::to_string(n) + "_";
    for (const char *field : {"x", "the", "yolk_pitch", "taxi_light_on"}) {
      const long found = at(plane + field);
      ASSERT_LT(found, long(log.size())) << plane << field;
      EXPECT_GT(found, last) << plane << field;
      last = found;
    }
  }
}

TEST_F(PluginTest, EnableWithoutASessionLeavesThePlanesToTheHost) {
  auto &host = Load();
  host.enable();
  host.runFrames(10);
  EXPECT_FALSE(host.planesAcquired());
  EXPECT_TRUE(host.aiDisabledLog().empty());
  EXPECT_EQ(host.refusedPlaneCalls(), 0);
  host.disable();
  host.stop();
  EXPECT_FALSE(host.planesAcquired());
}

TEST_F(PluginTest, ViewOnlyMarkerIsSeenAtEnableAndLastsUntilUnload) {
  auto &host = MakeHost();
  WriteFile("Resources/plugins/viewonly.txt", "");
  Load();
  EXPECT_EQ(host.readPublished("skytether/view_only"), "0");
  host.enable();
  EXPECT_EQ(host.readPublished("skytether/view_only"), "1");
  std::remove(PathOf("Resources/plugins/viewonly.txt").c_str());
  host.disable();
  host.enable();
  // The stop step of observer mode clears the overrides: proof that the mode is still on.
  host.seti("sim/operation/override/override_flightcontrol", 1);
  host.setvi("sim/operation/override/override_planepath", {1, 1});
  host.stop();
  EXPECT_EQ(host.geti("sim/operation/override/override_flightcontrol"), 0);
  EXPECT_EQ(host.getvi("sim/operation/override/override_planepath")[0], 0);
  EXPECT_EQ(host.getvi("sim/operation/override/override_planepath")[1], 1);
}

TEST_F(PluginTest, WithoutTheMarkerStopLeavesTheOverridesAlone) {
  auto &host = Start();
  host.seti("sim/operation/override/override_flightcontrol", 1);
  host.setvi("sim/operation/override/override_planepath", {1});
  host.stop();
  EXPECT_EQ(host.geti("sim/operation/override/override_flightcontrol"), 1);
  EXPECT_EQ(host.getvi("sim/operation/override/override_planepath")[0], 1);
}

TEST_F(PluginTest, UnloadReallyUnloadsAndTheNextLoadStartsFresh) {
  auto &host = Start();
  const std::vector<std::string> firstLookups = host.lookupLog();
  ASSERT_FALSE(firstLookups.empty());
  ASSERT_TRUE(host.pickMenu({"Skytether", "Toggle Plane List"}));
  ASSERT_FALSE(host.windows().empty());
  EXPECT_TRUE(host.windows()[0].visible);
  EXPECT_TRUE(host.unload());
  EXPECT_FALSE(skyhost::Host::fileLoaded(harness::PluginFile()));

  host.clearLookupLog();
  ASSERT_TRUE(host.load(harness::PluginFile()));
  // The fresh copy looks up the own aircraft and every slot again, as the first load did.
  EXPECT_EQ(host.lookupLog(), firstLookups);
  ASSERT_FALSE(host.windows().empty());
  EXPECT_FALSE(host.windows()[0].visible);  // the toggle starts from 0 again
}

TEST_F(PluginTest, CockpitHookMirrorsACoPilotsHeadOncePerViewChange) {
  WritePrefs("cockpitPosition=1;");
  auto &host = Start();
  host.seti("sim/graphics/view/view_type", 1026);
  host.setf("sim/graphics/view/pilots_head_x", -0.5f);
  host.runFrame();
  EXPECT_FLOAT_EQ(host.getf("sim/graphics/view/pilots_head_x"), 0.5f);  // first frame: 0 -> 1026
  host.setf("sim/graphics/view/pilots_head_x", -0.5f);
  host.runFrames(3);
  EXPECT_FLOAT_EQ(host.getf("sim/graphics/view/pilots_head_x"), -0.5f);  // same view: left alone
  host.seti("sim/graphics/view/view_type", 1017);
  host.runFrame();
  EXPECT_FLOAT_EQ(host.getf("sim/graphics/view/pilots_head_x"), 0.5f);
  host.setf("sim/graphics/view/pilots_head_x", 0.3f);
  host.seti("sim/graphics/view/view_type", 1026);
  host.runFrame();
  EXPECT_FLOAT_EQ(host.getf("sim/graphics/view/pilots_head_x"), 0.3f);  // positive: unchanged
}

TEST_F(PluginTest, CockpitHookLeavesOtherPositionsAlone) {
  for (int position : {0, 2, 3}) {
    WritePrefs("cockpitPosition=" + std::to_string(position) + ";");
    auto &host = Start();
    host.setf("sim/graphics/view/pilots_head_x", -0.5f);
    for (int view : {1026, 1017, 1026}) {
      host.seti("sim/graphics/view/view_type", view);
      host.runFrame();
    }
    EXPECT_FLOAT_EQ(host.getf("sim/graphics/view/pilots_head_x"), -0.5f) << position;
    DropHost();
  }
}
