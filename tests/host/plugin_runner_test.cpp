// The runner with the real plugin file: it flies, opens the settings pane (through the plugin's
// command) and the screenshot shows it where the host has it; the dump reads the plugin's datarefs.

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "png_image.h"
#include "child_process.h"
#include "skyhost/TempDir.h"

using harness::RunCommand;

TEST(RealPlugin, FliesAndShowsItsSettingsPaneInAScreenshot) {
  skyhost::TempDir dir;
  std::filesystem::create_directories(dir / "sim/Resources/plugins");
  std::ofstream(dir / "sim/Resources/plugins/stprefs.txt")
      << "callsign=Shot;userID=shot;password=hunter2;flightMode=0;cockpitPosition=0;crewID=;connectAtStartup="
         "0;";
  std::ofstream(dir / "script.txt") << "0 set sim/cockpit/electrical/nav_lights_on 1\n"
                                       "0 fly circle 47.45 8.55 900 2000 70 0\n"
                                       "1 command skytether/settings\n"
                                       "2 screenshot settings.png\n";
  // The older graphics backend, and a user's aircraft deep in folders: the plugin runs the same.
  const std::string aircraft = "/" + std::string(395, 'p') + ".acf";
  std::string out;
  ASSERT_EQ(
      RunCommand("cd '" + dir.path() + "' && '" + HOST_RUNNER + "' --plugin '" + SKYTETHER_PLUGIN +
                     "' --root sim --seconds 3 --script script.txt --dump end.json --legacy-3d --aircraft " +
                     aircraft + " 2>&1",
                 &out),
      0)
      << out;
  // Where the pane is, from the host's own account of its widgets.
  out.clear();
  ASSERT_EQ(
      RunCommand(
          "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
          "w=[w for w in d[\"widgets\"] if w[\"className\"]==\"MainWindow\"][0]; "
          "print(*w[\"geometry\"], d[\"flight\"][\"active\"], "
          "d[\"datarefs\"][\"sim/cockpit/electrical/nav_lights_on\"], d[\"legacy3d\"], "
          "d[\"userModel\"][\"file\"], len(d[\"userModel\"][\"path\"]), "
          "[p[\"value\"] for p in d[\"publishedDataRefs\"] if p[\"name\"]==\"skytether/callsign\"])' '" +
              (dir / "end.json") + "'",
          &out),
      0)
      << out;
  std::istringstream fields(out);
  int left, top, right, bottom;
  std::string flying, nav, legacy, file, callsign;
  size_t pathLength = 0;
  ASSERT_TRUE(fields >> left >> top >> right >> bottom >> flying >> nav >> legacy >> file >> pathLength >>
              callsign)
      << out;
  EXPECT_EQ(callsign, "['Shot']");
  EXPECT_EQ(flying, "True");
  EXPECT_EQ(nav, "1");
  EXPECT_EQ(legacy, "True");
  EXPECT_EQ(file, std::string(395, 'p') + ".acf");
  EXPECT_EQ(pathLength, aircraft.size());

  hosttest::Image img;
  ASSERT_TRUE(hosttest::readPng(dir / "settings.png", &img));
  ASSERT_EQ(img.width, 1024);
  ASSERT_EQ(img.height, 768);
  ASSERT_TRUE(img.inside(left, bottom) && img.inside(right - 1, top - 1));
  // The pane's body colour (its margins round the inner panel) appears inside it, nowhere outside.
  const hosttest::Rgb body = img.at(left + 3, bottom + 3);
  int inside = 0, outside = 0;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x)
      if (img.at(x, y) == body) (x >= left && x < right && y >= bottom && y < top ? inside : outside)++;
  EXPECT_GT(inside, (right - left) * (top - bottom) / 8);
  EXPECT_EQ(outside, 0);
}
