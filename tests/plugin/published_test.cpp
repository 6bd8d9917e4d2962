// What other plugins see of the plugin: its datarefs follow the session, the notices and BLANK,
// read by a second plugin in the same host, and are gone at stop.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "net_fixture.h"

using namespace sttest;

namespace {

class PublishedTest : public NetTest {
 protected:
  // Starts the plugin, not connected, with a second plugin reading its datarefs each frame.
  void StartWithReader() {
    ASSERT_TRUE(peer->ok());
    WritePrefs("userID=pilot;callsign=Falcon;connectAtStartup=0;");
    Start();
    reader = host().loadPlugin(READER_PLUGIN);
    ASSERT_NE(reader, XPLM_NO_PLUGIN_ID) << host().lastError();
    host().enable(reader);
  }
  // What the reader read at the last of two frames.
  std::map<std::string, std::string> Read() {
    host().runFrames(2);
    auto get = reinterpret_cast<const char *(*)()>(skyhost::Host::pluginSymbol(host().pluginHandle(reader), "reader_snapshot"));
    std::map<std::string, std::string> values;
    std::istringstream in(get ? get() : "");
    for (std::string line; std::getline(in, line);)
      values[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    return values;
  }
  bool Command(const std::string &name) { return host().commandOnce(name); }
  XPLMPluginID reader = XPLM_NO_PLUGIN_ID;
};

}  // namespace

TEST_F(PublishedTest, DataRefsFollowTheSessionAndTheNoticesAndAnotherPluginReadsThem) {
  StartWithReader();
  auto v = Read();
  EXPECT_EQ(v["me"], std::to_string(reader));  // read from the reader's own context
  EXPECT_NE(reader, host().pluginID());
  EXPECT_EQ(v["connected"], "0");
  EXPECT_EQ(v["view_only"], "0");
  EXPECT_EQ(v["planes_in_use"], "0");
  EXPECT_EQ(v["callsign"], "Falcon");
  EXPECT_EQ(v["server_address"], "");
  for (int n = 1; n <= 19; ++n) EXPECT_EQ(v["plane" + std::to_string(n)], "") << n;
  EXPECT_EQ(v["good"], "1");

  // The connect command, with no settings pane built.
  ASSERT_TRUE(Command("skytether/connect"));
  ASSERT_TRUE(RunUntil(host(), peer.get(), [&] { return !LoginLine().empty(); }));
  EXPECT_TRUE(host().widgets().empty());
  v = Read();
  EXPECT_EQ(v["connected"], "1");
  EXPECT_EQ(v["server_address"], PeerText());

  // A slot is in use while it has a callsign or a model name; BLANK clears either.
  SendStream("3|c|Hawk\n7|p|Aircraft/Heavy/B744/B744.acf\n19|c|Kite\n");
  v = Read();
  EXPECT_EQ(v["plane3"], "Hawk");
  EXPECT_EQ(v["plane7"], "");
  EXPECT_EQ(v["plane19"], "Kite");
  EXPECT_EQ(v["planes_in_use"], "3");
  SendStream("3|c|BLANK\n");
  v = Read();
  EXPECT_EQ(v["plane3"], "");
  EXPECT_EQ(v["planes_in_use"], "2");
  SendStream("7|p|BLANK\n");
  EXPECT_EQ(Read()["planes_in_use"], "1");
  // A model notice whose name is the row's placeholder shows nothing new in the plane list.
  SendStream("5|p|Aircraft/Odd/Plane 5.acf\n");
  EXPECT_EQ(Read()["planes_in_use"], "1");

  // Disconnecting leaves what was received, as the plane list does.
  ASSERT_TRUE(Command("skytether/disconnect"));
  ASSERT_TRUE(RunUntil(host(), peer.get(), [&] { return !LinesWith("|Closing Connection").empty(); }));
  v = Read();
  EXPECT_EQ(v["connected"], "0");
  EXPECT_EQ(v["server_address"], "");
  EXPECT_EQ(v["plane19"], "Kite");
  EXPECT_EQ(v["planes_in_use"], "1");

  // Stopped, the plugin leaves its datarefs orphaned: the reader's handles read nothing.
  host().stop();
  v = Read();
  EXPECT_EQ(v["good"], "0");
  EXPECT_EQ(v["connected"], "0");
  EXPECT_EQ(v["callsign"], "");
  EXPECT_EQ(v["plane19"], "");
  ASSERT_TRUE(host().unload());
  EXPECT_TRUE(host().leftoversAtUnload().empty());
  // The reader runs on.
  EXPECT_EQ(Read()["me"], std::to_string(reader));
}
