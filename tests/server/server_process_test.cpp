// The real server process on loopback, with fake plugins speaking the protocol.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "position_text.h"
#include "server_harness.h"

using harness::FakeClient;
using harness::ServerProcess;

namespace {

const char kC172[] = "/home/u/Sim/Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf";
const char kC172Relative[] = "Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf";

std::string ValuesOf(const std::string &position) { return position.substr(position.find("LOC|") + 4); }

// A server on a free port with two pilots who have announced themselves and flown once,
// each already holding slot 1 on the other.
class TwoPilots : public ::testing::Test {
 protected:
  void SetUp() override { Start({"--port", "0"}); }
  void Start(std::vector<std::string> args) {
    server = std::make_unique<ServerProcess>(args);
    ASSERT_TRUE(server->ok()) << server->Log();
    a = std::make_unique<FakeClient>(server->port(), 1111);
    b = std::make_unique<FakeClient>(server->port(), 2222);
    ASSERT_TRUE(a->connected() && b->connected());
    ASSERT_TRUE(a->Login("alice"));
    ASSERT_TRUE(b->Login("bob"));
    ASSERT_TRUE(a->Announce("AAA", kC172));
    ASSERT_TRUE(b->Announce("BBB", "C:\\Sim\\Aircraft\\Laminar\\B738\\b738.acf"));
    ASSERT_TRUE(server->WaitForLog("login 2222", 5)) << server->Log();
    // Callsigns must be known before the first datagram for the notices to carry them.
    ASSERT_TRUE(server->WaitForLog("login 1111", 5));
    Settle();
    ASSERT_TRUE(b->SendDatagram(PositionText(2222, false, 47.0, 8.0)));
    ASSERT_TRUE(server->WaitForLog("in view 2222", 5)) << server->Log();
    ASSERT_TRUE(a->SendDatagram(PositionText(1111, false, 47.1, 8.0)));
    ASSERT_TRUE(server->WaitForLog("in view 1111", 5)) << server->Log();
  }
  // The announcements travel on the stream while datagrams do not wait for them.
  void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

  std::unique_ptr<ServerProcess> server;
  std::unique_ptr<FakeClient> a, b;
};

}  // namespace

TEST_F(TwoPilots, SeeEachOtherWithNoticesThenReports) {
  EXPECT_TRUE(b->WaitLine("1|c|AAA", 3));
  EXPECT_TRUE(b->WaitLine(std::string("1|p|") + kC172Relative, 3));
  EXPECT_TRUE(a->WaitLine("1|c|BBB", 3));
  EXPECT_TRUE(a->WaitLine("1|p|Aircraft/Laminar/B738/b738.acf", 3));

  // Reports carry the sender's 42 values byte for byte behind the slot header.
  std::string pos = PositionText(1111, false, 47.1234, 8.5678);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(a->SendDatagram(pos));
  auto report = b->WaitDatagram("1|l|" + ValuesOf(pos), 3);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(*report, "1|l|" + ValuesOf(pos));

  std::string back = PositionText(2222, false, 47.0, 8.25);
  ASSERT_TRUE(b->SendDatagram(back));
  auto other = a->WaitDatagram("1|l|" + ValuesOf(back), 3);
  ASSERT_TRUE(other.has_value());
  // Nobody is ever moved by a report for its own slot 0.
  EXPECT_NE(other->compare(0, 2, "0|"), 0);
}

TEST_F(TwoPilots, ChatReachesEveryoneIncludingSender) {
  FakeClient tower(server->port(), 3333);
  ASSERT_TRUE(tower.Login("tower"));
  ASSERT_TRUE(tower.Send("3333|VOCALLSIGN|Tower|\n"));
  ASSERT_TRUE(server->WaitForLog("observer 3333", 5));
  ASSERT_TRUE(a->Send("1111|MESSAGE|hello | there\n"));
  for (FakeClient *c : {a.get(), b.get(), &tower}) {
    EXPECT_TRUE(c->WaitLine("0|m|AAA: hello | there", 3)) << c->id();
  }
  ASSERT_TRUE(tower.Send("3333|MESSAGE|cleared to land\n"));
  EXPECT_TRUE(a->WaitLine("0|m|Tower: cleared to land", 3));
}

TEST_F(TwoPilots, ObserverReceivesAndIsNotReceived) {
  FakeClient tower(server->port(), 3333);
  ASSERT_TRUE(tower.Login("tower"));
  ASSERT_TRUE(tower.Send("3333|VOCALLSIGN|Tower|\n"));
  ASSERT_TRUE(server->WaitForLog("observer 3333", 5));
  ASSERT_TRUE(tower.SendDatagram(PositionText(3333, true, 47.05, 8.0)));
  ASSERT_TRUE(server->WaitForLog("datagram address of 3333", 5));
  std::string pos = PositionText(1111, false, 47.2, 8.0);
  ASSERT_TRUE(a->SendDatagram(pos));
  auto seen = tower.WaitDatagram("", 3);
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->substr(seen->find("|l|") + 3), ValuesOf(pos));
  // The tower's own position (marked by its x of 99.5) goes to nobody.
  ASSERT_TRUE(tower.SendDatagram(PositionTextFrom(3333, true, PositionValues(47.05, 8.0, 99.5f))));
  while (auto d = b->NextDatagram(0.3)) {
    EXPECT_EQ(d->compare(0, 4, "1|l|"), 0) << "bob holds only alice: " << *d;
    EXPECT_EQ(d->find("|l|99.5|"), std::string::npos) << *d;
  }
}

TEST_F(TwoPilots, LogoutAndClosedStreamBlankTheSlot) {
  ASSERT_TRUE(b->WaitLine("1|p|" + std::string(kC172Relative), 3));
  ASSERT_TRUE(a->Send("1111|Closing Connection\n"));
  EXPECT_TRUE(b->WaitLine("1|c|BLANK", 3));
  EXPECT_TRUE(b->WaitLine("1|p|BLANK", 3));
  EXPECT_TRUE(a->WaitClosed(3));

  FakeClient c(server->port(), 4444);
  ASSERT_TRUE(c.Login("carol"));
  ASSERT_TRUE(c.Announce("CCC", kC172));
  ASSERT_TRUE(server->WaitForLog("login 4444", 5));
  Settle();
  ASSERT_TRUE(c.SendDatagram(PositionText(4444, false, 47.3, 8.0)));
  EXPECT_TRUE(b->WaitLine("1|c|CCC", 3)) << "the freed slot is given again";
  c.CloseStream();
  EXPECT_TRUE(b->WaitLine("1|c|BLANK", 3));
  EXPECT_TRUE(server->WaitForLog("logout 4444", 3));
}

TEST_F(TwoPilots, StrangerDatagramsAreIgnored) {
  ASSERT_TRUE(b->WaitLine("1|p|" + std::string(kC172Relative), 3));
  while (b->NextDatagram(0.1)) {
  }
  // Alice's uniqueID from another address, and an ID nobody logged in with.
  FakeClient spoof(server->port(), 1111, "127.0.0.2");
  ASSERT_TRUE(spoof.SendDatagram(PositionText(1111, false, 10, 10)));
  ASSERT_TRUE(spoof.SendDatagram(PositionText(9999, false, 10, 10)));
  EXPECT_FALSE(b->NextDatagram(0.5).has_value()) << "no report from a stranger's datagram";
  ASSERT_TRUE(server->WaitForLog("datagram from a stranger", 3)) << server->Log();

  // Bob's reports still go to alice's real port, not the spoofer's.
  std::string pos = PositionText(2222, false, 47.0, 8.1);
  ASSERT_TRUE(b->SendDatagram(pos));
  EXPECT_TRUE(a->WaitDatagram("1|l|" + ValuesOf(pos), 3).has_value());
  EXPECT_FALSE(spoof.NextDatagram(0.3).has_value());
}

TEST_F(TwoPilots, FloodersAreCutAndOthersCarryOn) {
  FakeClient junk(server->port(), 5555);
  ASSERT_TRUE(junk.Login("junk"));
  ASSERT_TRUE(junk.Send(std::string(5000, 'x')));  // a line that never ends
  EXPECT_TRUE(junk.WaitClosed(3));

  FakeClient chatter(server->port(), 6666);
  ASSERT_TRUE(chatter.Login("chatter"));
  std::string burst;
  for (int i = 0; i < 2000; ++i) burst += "6666|WHAT|" + std::to_string(i) + "\n";
  chatter.Send(burst);
  EXPECT_TRUE(chatter.WaitClosed(3));
  EXPECT_TRUE(server->WaitForLog("cut: flooding", 3)) << server->Log();

  // Garbage datagrams by the hundred.
  FakeClient noise(server->port(), 7777);
  for (int i = 0; i < 300; ++i) noise.SendDatagram("7777|LOC|" + std::to_string(i) + "|garbage");
  for (int i = 0; i < 50; ++i) a->SendDatagram(std::string(1500, '9'));

  std::string pos = PositionText(1111, false, 47.15, 8.0);
  ASSERT_TRUE(a->SendDatagram(pos));
  EXPECT_TRUE(b->WaitDatagram("1|l|" + ValuesOf(pos), 3).has_value());
  ASSERT_TRUE(a->Send("1111|MESSAGE|still here\n"));
  EXPECT_TRUE(b->WaitLine("0|m|AAA: still here", 3));
  EXPECT_TRUE(server->Running());
}

TEST(ServerProcess, IdlePilotIsBlankedUntilItSendsAgain) {
  ServerProcess server({"--port", "0", "--idle-timeout", "1"});
  ASSERT_TRUE(server.ok()) << server.Log();
  FakeClient a(server.port(), 1), b(server.port(), 2);
  ASSERT_TRUE(a.Login("a") && b.Login("b"));
  ASSERT_TRUE(a.Announce("AAA", kC172));
  ASSERT_TRUE(server.WaitForLog("login 2", 3));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(a.SendDatagram(PositionText(1, false, 0, 0)));
  ASSERT_TRUE(b.WaitLine("1|c|AAA", 3));
  EXPECT_TRUE(b.WaitLine("1|c|BLANK", 4)) << server.Log();
  ASSERT_TRUE(a.SendDatagram(PositionText(1, false, 0, 0)));
  EXPECT_TRUE(b.WaitLine("1|c|AAA", 3));
}

TEST(ServerProcess, AccountsModeRefusesAWrongToken) {
  std::string path = ::testing::TempDir() + "skytether_accounts_test.txt";
  {
    std::ofstream f(path);
    f << "# test pilots\nalice pw\n";
  }
  ServerProcess server({"--port", "0", "--accounts", path});
  ASSERT_TRUE(server.ok()) << server.Log();

  FakeClient wrong(server.port(), 42);
  ASSERT_TRUE(wrong.Login("alice", "92421ec809d0f17913ba3ea24db1039e"));
  EXPECT_TRUE(wrong.WaitClosed(3));
  EXPECT_TRUE(server.WaitForLog("refused login 42", 3)) << server.Log();

  FakeClient right(server.port(), 42), other(server.port(), 43);
  ASSERT_TRUE(right.Login("alice", "92421ec809d0f17913ba3ea24db1039d"));
  ASSERT_TRUE(server.WaitForLog("login 42 (alice)", 3)) << server.Log();
  ASSERT_TRUE(other.Login("alice", "92421ec809d0f17913ba3ea24db1039d"));  // token is for 42
  EXPECT_TRUE(other.WaitClosed(3));
  std::remove(path.c_str());
}

TEST(ServerProcess, MaxPilotsRefusesTheNextLogin) {
  ServerProcess server({"--port", "0", "--max-pilots", "1"});
  ASSERT_TRUE(server.ok());
  FakeClient a(server.port(), 1), b(server.port(), 2);
  ASSERT_TRUE(a.Login("a"));
  ASSERT_TRUE(server.WaitForLog("login 1", 3));
  ASSERT_TRUE(b.Login("b"));
  EXPECT_TRUE(b.WaitClosed(3));
  EXPECT_TRUE(server.WaitForLog("server full", 3));
  EXPECT_FALSE(a.WaitClosed(0.2));
}

TEST(ServerProcess, SigtermAndSigintExitCleanly) {
  for (int sig : {SIGTERM, SIGINT}) {
    ServerProcess server({"--port", "0"});
    ASSERT_TRUE(server.ok());
    FakeClient a(server.port(), 1);
    ASSERT_TRUE(a.Login("a"));
    ASSERT_TRUE(server.WaitForLog("login 1", 3));
    EXPECT_EQ(server.Signal(sig), 0) << server.Log();
    EXPECT_TRUE(a.WaitClosed(2));
  }
}

TEST(ServerProcess, CommandLine) {
  std::string out;
  EXPECT_EQ(harness::RunToExit({"--help"}, &out), 0);
  EXPECT_NE(out.find("--idle-timeout"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(harness::RunToExit({"--port", "70000"}, &out), 2) << out;
  EXPECT_EQ(harness::RunToExit({"--bogus"}, &out), 2);
  EXPECT_EQ(harness::RunToExit({"--idle-timeout", "-1"}, &out), 2);
  EXPECT_EQ(harness::RunToExit({"--accounts", "/nonexistent/accounts.txt"}, &out), 2);
}
