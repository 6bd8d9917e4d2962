// The plugin frame seen from the host: names, menu, callback schedule, lookups, planes, unload.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include "plugin_fixture.h"

using sttest::PluginTest;

namespace {

std::string Shell(const std::string &command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe.get())) > 0) out.append(buf, n);
  return out;
}

const skyhost::Host::FlightLoop *LoopWithFirstInterval(skyhost::Host &host, float first) {
  for (const auto &loop : host.flightLoops())
    if (loop.firstInterval == first) return &loop;
  return nullptr;
}

}  // namespace

TEST(PluginFile, ExportsOnlyTheEntryPointsAndNeedsNoPcre) {
  std::string defined = Shell("nm -D --defined-only '" + sttest::PluginFile() + "' | awk '{print $3}' | sort");
  EXPECT_EQ(defined, "XPluginDisable\nXPluginEnable\nXPluginReceiveMessage\nXPluginStart\nXPluginStop\n");
  std::string needed = Shell("readelf -dW '" + sttest::PluginFile() + "' | grep NEEDED");
  EXPECT_EQ(needed.find("pcre"), std::string::npos) << needed;
  EXPECT_EQ(needed.find("libGL"), std::string::npos) << needed;
  // Unique symbols would pin the file in memory after dlclose.
  std::string unique = Shell("readelf -sW '" + sttest::PluginFile() + "' | grep -c UNIQUE");
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
  auto sub = std::find_if(menus.begin(), menus.end(), [&](const auto &m) { return m.id == plugins.items[0].submenu; });
  ASSERT_NE(sub, menus.end());
  EXPECT_EQ(sub->name, "Plane Window");
  ASSERT_EQ(sub->items.size(), 2u);
  EXPECT_EQ(sub->items[0].name, "Control & Settings");
  EXPECT_STREQ(static_cast<const char *>(sub->items[0].itemRef), "1");
  EXPECT_EQ(sub->items[1].name, "Toggle Plane List");
  EXPECT_STREQ(static_cast<const char *>(sub->items[1].itemRef), "2");
}

TEST_F(PluginTest, RegistersTheWholeScheduleAndRemovesItAtStop) {
  auto &host = Load();
  std::multiset<float> firsts;
  for (const auto &loop : host.flightLoops()) {
    firsts.insert(loop.firstInterval);
    EXPECT_EQ(loop.refcon, nullptr);
  }
  EXPECT_EQ(firsts, (std::multiset<float>{0.03f, 10.0f, 1.0f, 1.0f, 0.1f}));

  ASSERT_EQ(host.drawCallbacks().size(), 2u);
  std::set<int> phases;
  for (const auto &draw : host.drawCallbacks()) {
    phases.insert(draw.phase);
    EXPECT_EQ(draw.wantsBefore, 0);
  }
  EXPECT_EQ(phases, (std::set<int>{0, 25}));
  ASSERT_EQ(host.keySniffers().size(), 1u);
  EXPECT_EQ(host.keySniffers()[0].beforeWindows, 0);

  // Each flight loop asks for its own interval once it has run.
  host.enable();
  RunSeconds(10.5);
  EXPECT_FLOAT_EQ(LoopWithFirstInterval(host, 0.03f)->lastReturn, 0.03f);
  EXPECT_FLOAT_EQ(LoopWithFirstInterval(host, 10.0f)->lastReturn, 1.0f);  // not connected
  EXPECT_FLOAT_EQ(LoopWithFirstInterval(host, 0.1f)->lastReturn, 0.01f);
  std::multiset<float> seconds;
  for (const auto &loop : host.flightLoops())
    if (loop.firstInterval == 1.0f) seconds.insert(loop.lastReturn);
  EXPECT_EQ(seconds, (std::multiset<float>{0.5f, 1.0f}));

  host.stop();
  EXPECT_TRUE(host.flightLoops().empty());
  EXPECT_TRUE(host.drawCallbacks().empty());
  EXPECT_TRUE(host.keySniffers().empty());
  EXPECT_TRUE(host.windows().empty());
  EXPECT_TRUE(host.unload());
  // Nothing of the plugin (a global destructor, an exit handler) calls the host after its stop.
  EXPECT_EQ(host.callsAfterStop(), 0);
  // Only the plugins-menu item stays for the host to remove: the plugin destroys its own submenu.
  for (const auto &left : host.leftoversAtUnload())
    if (left != "menu item \"Skytether\" in \"Plugins\"") ADD_FAILURE() << "left registered: " << left;
}

TEST_F(PluginTest, LooksUpSlotsAtLoadThenTheOwnAircraft) {
  auto &host = Load();
  const auto &log = host.lookupLog();
  ASSERT_EQ(log.size(), 20u * 25u + 24u);
  // Slot 0: the own aircraft list, with the engine throttles bound for slot 0.
  EXPECT_EQ(log[0], "sim/flightmodel/position/local_x");
  EXPECT_EQ(log[11], "sim/flightmodel/controls/lspdef");
  EXPECT_EQ(log[15], "sim/flightmodel/controls/elv_trim");
  EXPECT_EQ(log[19], "sim/flightmodel/ENGN_thro");
  EXPECT_EQ(log[22], "sim/cockpit/electrical/nav_lights_on");
  EXPECT_EQ(log[23], "sim/cockpit/electrical/strobe_lights_on");
  EXPECT_EQ(log[24], "sim/cockpit/electrical/taxi_light_on");
  // Slot 19: the multiplayer list formatted with 19.
  EXPECT_EQ(log[19 * 25 + 0], "sim/multiplayer/position/plane19_x");
  EXPECT_EQ(log[19 * 25 + 6], "sim/multiplayer/position/plane19_the");
  EXPECT_EQ(log[19 * 25 + 15], "sim/multiplayer/position/plane19_yolk_pitch");
  EXPECT_EQ(log[19 * 25 + 24], "sim/multiplayer/position/plane19_taxi_light_on");
  // Every name bound by a slot is one the host knows.
  for (size_t i = 0; i < 500; ++i) EXPECT_TRUE(host.hasDataRef(log[i])) << log[i];
  // Then the 24 own-aircraft handles, in their fixed order.
  const char *own[24] = {"sim/flightmodel/position/local_x",        "sim/flightmodel/position/local_y",
                         "sim/flightmodel/position/local_z",        "sim/flightmodel/position/latitude",
                         "sim/flightmodel/position/longitude",      "sim/flightmodel/position/elevation",
                         "sim/flightmodel/position/theta",          "sim/flightmodel/position/phi",
                         "sim/flightmodel/position/psi",            "sim/flightmodel/controls/flaprat",
                         "sim/flightmodel/controls/flap2rat",       "sim/flightmodel/controls/sbrkrat",
                         "sim/flightmodel/controls/slatrat",        "sim/flightmodel/controls/swdi",
                         "sim/joystick/FC_ptch",                    "sim/joystick/FC_roll",
                         "sim/joystick/FC_hdng",                    "sim/aircraft/parts/acf_gear_deploy",
                         "sim/flightmodel/ENGN_thro",               "sim/cockpit/electrical/beacon_lights_on",
                         "sim/cockpit/electrical/landing_lights_on", "sim/cockpit/electrical/strobe_lights_on",
                         "sim/cockpit/electrical/nav_lights_on",    "sim/cockpit/electrical/taxi_light_on"};
  for (int i = 0; i < 24; ++i) EXPECT_EQ(log[500 + i], own[i]);
}

TEST_F(PluginTest, EnableTakesThePlanesAndDisableGivesThemBack) {
  auto &host = Load();
  EXPECT_FALSE(host.planesAcquired());
  host.enable();
  EXPECT_EQ(host.activeAircraftCount(), 20);
  EXPECT_TRUE(host.planesAcquired());
  std::vector<int> expected;
  for (int i = 1; i <= 20; ++i) expected.push_back(i);
  EXPECT_EQ(host.aiDisabledLog(), expected);
  host.disable();
  EXPECT_EQ(host.activeAircraftCount(), 0);
  EXPECT_FALSE(host.planesAcquired());
  const int released = host.releaseCalls();
  host.stop();
  EXPECT_EQ(host.releaseCalls(), released + 1);
}

TEST_F(PluginTest, ViewOnlyMarkerIsSeenAtEnableAndLastsUntilUnload) {
  auto &host = MakeHost();
  WriteFile("Resources/plugins/viewonly.txt", "");
  Load();
  host.enable();
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
  ASSERT_TRUE(host.pickMenu({"Skytether", "Toggle Plane List"}));
  ASSERT_FALSE(host.windows().empty());
  EXPECT_TRUE(host.windows()[0].visible);
  EXPECT_TRUE(host.unload());
  EXPECT_EQ(dlopen(sttest::PluginFile().c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);

  host.clearLookupLog();
  ASSERT_TRUE(host.load(sttest::PluginFile()));
  EXPECT_EQ(host.lookupLog().size(), 524u);  // the slots were built again
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
