// Runner scripts, the JSON writer and dump, and the skytether-host runner end to end.

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "XPStandardWidgets.h"
#include "child_process.h"
#include "XPWidgets.h"
#include "skyhost/Json.h"
#include "skyhost/Script.h"
#include "fixture.h"
#include "png_image.h"

using hosttest::Fresh;
using hosttest::WithFixture;

namespace {

skyhost::Script parse(const std::string &text) {
  std::istringstream in(text);
  return skyhost::parseScript(in);
}

std::string readFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

using harness::RunCommand;

bool validJson(const std::string &path) {
  return RunCommand("python3 -c 'import json,sys; json.load(open(sys.argv[1]))' '" + path + "'") == 0;
}

}  // namespace

TEST(Script, LinesAreTimedActionsInTimeOrderWithCommentsSkipped) {
  const skyhost::Script s = parse(
      "# a comment\n"
      "\n"
      "2 key tab\n"
      "1.5   menu Fixture > Fixture Menu > Toggle Window\r\n"
      "1.5 type  two  spaces \n"
      "   # indented comment\n"
      "0 mouse 10 20 down\n");
  ASSERT_TRUE(s.errors.empty()) << s.errors[0];
  ASSERT_EQ(s.actions.size(), 4u);
  EXPECT_EQ(s.actions[0].verb, "mouse");
  EXPECT_EQ(s.actions[1].verb, "menu");  // equal times keep file order
  EXPECT_EQ(s.actions[1].rest, "Fixture > Fixture Menu > Toggle Window");
  EXPECT_EQ(s.actions[2].rest, " two  spaces ");  // typed text is kept exactly
  EXPECT_EQ(s.actions[3].at, 2.0);
  EXPECT_EQ(s.actions[3].line, 3);
}

TEST(Script, BadLinesAreReportedWithTheirNumbers) {
  const skyhost::Script s = parse(
      "soon key a\n"
      "1 key ab\n"
      "1 mouse 1 2 sideways\n"
      "1 set no/such/dataref 3\n"
      "1 set sim/graphics/view/view_type x\n"
      "1 fly away\n"
      "-1 enable\n"
      "1 widget-type Lonely\n"
      "1 key return\n"
      "1 command a/b sideways\n"
      "1 vr maybe\n"
      "1 ui-scale 450\n"
      "1 camera cockpit 180\n"
      "1 screen 800x0\n");
  EXPECT_EQ(s.actions.size(), 1u);
  ASSERT_EQ(s.errors.size(), 13u);
  EXPECT_EQ(s.errors[0].rfind("line 1:", 0), 0u);
  EXPECT_NE(s.errors[3].find("no dataref named no/such/dataref"), std::string::npos);
  EXPECT_NE(s.errors[5].find("fly wants circle"), std::string::npos);
  EXPECT_EQ(s.errors[7].rfind("line 8:", 0), 0u);
  EXPECT_NE(s.errors[8].find("command wants NAME [once|begin|end]"), std::string::npos);
  EXPECT_NE(s.errors[10].find("ui-scale wants a percentage from 50 to 400"), std::string::npos) << s.errors[10];
  EXPECT_NE(s.errors[11].find("camera wants map, or cockpit"), std::string::npos) << s.errors[11];
}

TEST(Script, ActionsDriveTheHost) {
  WithFixture f;
  f.host.enable();
  const std::string base = f.dir.path();
  const skyhost::Script s = parse(
      "0 command fixture/command\n"
      "0 command fixture/command begin\n"
      "0 command fixture/command end\n"
      "0 menu Fixture > Build Pane\n"
      "0 widget-click Check\n"
      "0 widget-type TextField#0 hi there\n"
      "0 set sim/multiplayer/position/plane2_gear_deploy 1,0.5,0.25\n"
      "0 set sim/graphics/view/view_type 1017\n"
      "0 close-box \"Fixture Pane\"\n"
      "0 ui-scale 150\n"
      "0 screen 1536x1152\n"
      "0 camera cockpit 90\n"
      "0 vr on\n"
      "0 dump out/../state.json\n");
  ASSERT_TRUE(s.errors.empty()) << s.errors[0];
  std::filesystem::create_directories(base + "/out");
  for (const auto &a : s.actions) EXPECT_EQ(skyhost::runScriptAction(f.host, a, base), "") << a.line;
  EXPECT_EQ(f.host.getvf("sim/multiplayer/position/plane2_gear_deploy")[2], 0.25f);
  EXPECT_EQ(f.host.geti("sim/graphics/view/view_type"), 1017);
  EXPECT_TRUE(f.host.vr()) << f.host.geti("sim/graphics/VR/enabled");
  EXPECT_EQ(f.host.camera().fovDeg, 90);
  int l, t, r, b;
  XPLMGetScreenBoundsGlobal(&l, &t, &r, &b);
  EXPECT_EQ((std::vector<int>{r, t}), (std::vector<int>{1024, 768}));
  const std::vector<std::string> pane = {"pane 1301 \"Check\" 1", "pane 1400 \"h\" 0", "pane 1400 \"hi\" 0"};
  const std::vector<std::string> logged = f.logOf("pane");
  ASSERT_GE(logged.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(logged.begin(), logged.begin() + 3), pane);
  EXPECT_EQ(logged.back(), "pane 1200 \"Fixture Pane\" 0");
  EXPECT_TRUE(validJson(base + "/state.json"));
  EXPECT_NE(readFile(base + "/state.json").find("\"hi there\""), std::string::npos);
  const std::string id = std::to_string(f.host.pluginID());
  EXPECT_EQ(f.logOf("command"), (std::vector<std::string>{"command 0 " + id, "command 2 " + id,
                                                          "command 0 " + id, "command 2 " + id}));

  skyhost::ScriptAction missing{0, "widget-click", "Nope", 1};
  EXPECT_EQ(skyhost::runScriptAction(f.host, missing, base), "no widget Nope");
  skyhost::ScriptAction badMenu{0, "menu", "Fixture > Nope", 1};
  EXPECT_EQ(skyhost::runScriptAction(f.host, badMenu, base), "no menu item Fixture > Nope");
  skyhost::ScriptAction badCommand{0, "command", "fixture/nope", 1};
  EXPECT_EQ(skyhost::runScriptAction(f.host, badCommand, base), "no command fixture/nope");
  skyhost::ScriptAction notHeld{0, "command", "fixture/command end", 1};
  EXPECT_EQ(skyhost::runScriptAction(f.host, notHeld, base), "no held command fixture/command");
}

TEST(Script, SelectorsNameWidgetsByIndexClassOrDescriptor) {
  Fresh f;
  XPWidgetID a = XPCreateWidget(0, 1, 1, 0, 1, "Save & Close", 1, nullptr, xpWidgetClass_Button);
  XPWidgetID b = XPCreateWidget(0, 1, 1, 0, 1, "", 1, nullptr, xpWidgetClass_TextField);
  XPWidgetID c = XPCreateWidget(0, 1, 1, 0, 1, "", 1, nullptr, xpWidgetClass_TextField);
  EXPECT_EQ(skyhost::findWidgetBySelector(f.host, "Save & Close"), a);
  EXPECT_EQ(skyhost::findWidgetBySelector(f.host, "\"Save & Close\""), a);
  EXPECT_EQ(skyhost::findWidgetBySelector(f.host, "#1"), b);
  EXPECT_EQ(skyhost::findWidgetBySelector(f.host, "TextField#1"), c);
  EXPECT_EQ(skyhost::findWidgetBySelector(f.host, "TextField#2"), nullptr);
  EXPECT_EQ(skyhost::findWidgetBySelector(f.host, "Button#0"), a);
}

TEST(Json, StringsAreEscapedIntoValidJson) {
  EXPECT_EQ(skyhost::JsonWriter::quote("a\"b\\c\n\t\x01\xe9"), "\"a\\\"b\\\\c\\n\\t\\u0001\\u00e9\"");
  skyhost::JsonWriter j;
  j.beginObject().key("list").beginArray().value(1).value(2.5).value("x").null().endArray();
  j.key("nan").value(std::nan("")).key("ok").value(true).key("empty").beginObject().endObject().endObject();
  EXPECT_EQ(j.str(), "{\"list\":[1,2.5,\"x\",null],\"nan\":null,\"ok\":true,\"empty\":{}}");
}

TEST(Json, TheDumpHoldsWhatTheHostKnows) {
  WithFixture f;
  f.host.enable();
  f.host.pickMenu({"Fixture", "Build Pane"});
  f.host.runFrames(3);
  const std::string path = f.dir / "dump.json";
  {
    std::ofstream out(path);
    out << f.host.dumpJson();
  }
  ASSERT_TRUE(validJson(path));
  const std::string dump = readFile(path);
  for (const char *needle :
       {"\"name\":\"Fixture\"", "\"sim/multiplayer/position/plane19_taxi_light_on\":0", "\"active\":5",
        "\"aiDisabled\":[1,2,3,4]", "\"itemRefText\":\"2\"", "\"className\":\"TextField\"",
        "\"buttonState\":0", "\"text\":\"fixture draws\"", "\"firstInterval\":0.5", "\"phase\":50",
        "\"commands\":[{\"name\":\"fixture/command\",\"description\":\"A command of the fixture\"",
        "{\"name\":\"fixture/name\",\"types\":32,\"writable\":false,\"plugin\":1,\"live\":true,"})
    EXPECT_NE(dump.find(needle), std::string::npos) << needle;
}

TEST(Runner, RunsAPluginWithAScriptAndReportsWhatItSaw) {
  skyhost::TempDir dir;
  const std::string root = dir / "sim";
  std::filesystem::create_directories(root + "/Resources/plugins");
  std::ofstream(root + "/Resources/plugins/stprefs.txt") << "callsign=TEST\n";
  std::ofstream(dir / "script.txt") << "# build the pane, use it, look at it\n"
                                       "0.5 menu Fixture > Build Pane\n"
                                       "0.6 widget-type TextField#0 abc\n"
                                       "1 dump mid.json\n";
  std::string out;
  const std::string cmd = std::string("cd '") + dir.path() + "' && '" + HOST_RUNNER + "' --plugin '" +
                          FIXTURE_PLUGIN +
                          "' --root sim --seconds 2 --fps 30 --script script.txt --screen 800x600";
  ASSERT_EQ(RunCommand(cmd, &out), 0) << out;
  for (const char *needle : {"Plugin: Fixture",
                             "signature:   skytether.tests.fixture",
                             "Fixture Menu",
                             "Toggle Window  [ref",
                             "Windows (1):",
                             "left 10 top 300 right 210 bottom 200  hidden",
                             "first interval 0.5",
                             "phase 50 after",
                             "after windows",
                             "Datarefs looked up (4):",
                             "fixture/no_such_dataref  (unknown)",
                             "Planes: 20 enabled by the user, active 5, acquired",
                             "TextField \"abc\"",
                             "Shutdown: disable, stop, unload: unloaded",
                             "nothing left registered",
                             "callsign=TEST",
                             "Commands (1):",
                             "fixture/command  \"A command of the fixture\"  handler before",
                             "fixture/id  types 1 read-only  = 1",
                             "fixture/value  types 1 writable  = 0",
                             "fixture/name  types 32 read-only  = Fixture"})
    EXPECT_NE(out.find(needle), std::string::npos) << needle << "\n" << out;
  const std::string mid = dir / "mid.json";
  ASSERT_TRUE(validJson(mid));
  EXPECT_NE(readFile(mid).find("\"frames\":30"), std::string::npos);
  EXPECT_NE(readFile(mid).find("\"width\":800"), std::string::npos);
}

TEST(Runner, RefusesBadUsage) {
  std::string out;
  EXPECT_EQ(RunCommand(std::string("'") + HOST_RUNNER + "' --plugin x 2>/dev/null", &out), 2);
  skyhost::TempDir dir;
  std::ofstream(dir / "bad.txt") << "1 fly\n";
  EXPECT_EQ(RunCommand(std::string("'") + HOST_RUNNER + "' --plugin '" + FIXTURE_PLUGIN + "' --root '" +
                           dir.path() + "' --script '" + (dir / "bad.txt") + "' 2>/dev/null",
                       &out),
            2);
  EXPECT_EQ(RunCommand(std::string("'") + HOST_RUNNER + "' --plugin '" + (dir / "none.xpl") + "' --root '" +
                           dir.path() + "' 2>/dev/null",
                       &out),
            1);
}

TEST(Runner, FliesAndTakesScreenshots) {
  skyhost::TempDir dir;
  std::filesystem::create_directories(dir / "shots");
  std::ofstream(dir / "script.txt") << "0 fly circle 47.45 8.55 600 1000 60 90\n"
                                       "0.5 menu Fixture > Build Pane\n"
                                       "1 screenshot shots/mid.png\n"
                                       "1 dump mid.json\n";
  std::string out;
  const std::string runner = std::string("cd '") + dir.path() + "' && '" + HOST_RUNNER + "' --plugin '" +
                             FIXTURE_PLUGIN + "' --root sim --seconds 2 --fps 30 --screen 800x600";
  ASSERT_EQ(RunCommand(runner + " --script script.txt --screenshot end.png", &out), 0) << out;
  EXPECT_NE(out.find("Flying: circle round 47.45, 8.55 at 600 m, radius 1000 m, 60 m/s"), std::string::npos)
      << out;
  EXPECT_NE(readFile(dir / "mid.json").find("\"flight\":{\"active\":true"), std::string::npos);
  hosttest::Image mid, end;
  ASSERT_TRUE(hosttest::readPng(dir / "shots/mid.png", &mid));
  ASSERT_TRUE(hosttest::readPng(dir / "end.png", &end));
  EXPECT_EQ(mid.width, 800);
  EXPECT_EQ(mid.height, 600);
  EXPECT_EQ(end.width, 800);
  // The pane (100..400 by 200..500) is in both; the scene under the aircraft moved on.
  EXPECT_EQ(mid.at(300, 300), end.at(300, 300));
  EXPECT_NE(mid.at(300, 300), mid.at(700, 100));
  EXPECT_NE(mid.rgb, end.rgb);

  // A font that is not there: the script's screenshot fails the action, the final one the run.
  out.clear();
  EXPECT_EQ(RunCommand(runner + " --script script.txt --font nofont.ttf 2>&1", &out), 4) << out;
  EXPECT_NE(out.find("line 3 (screenshot): screenshot"), std::string::npos) << out;
  EXPECT_NE(out.find("nofont.ttf not found"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(RunCommand(runner + " --screenshot end2.png --font nofont.ttf 2>&1", &out), 5) << out;
  EXPECT_FALSE(std::filesystem::exists(dir / "end2.png"));
}
