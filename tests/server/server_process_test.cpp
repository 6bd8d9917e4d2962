// The real server process on loopback, with fake plugins speaking the protocol.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "core/codec.h"
#include "position_text.h"
#include "fake_client.h"

using harness::FakeClient;
using harness::LogMark;
using harness::ServerProcess;

namespace {

const char kTrainerNotice[] = "1|p|Aircraft/General Aviation/Trainer/Trainer.acf";

// Two announced pilots that have flown once: each holds slot 1 on the other. Every report is
// relayed, however soon it follows the last and however long a busy machine held it in the
// server's socket (these tests check where reports go, not how fresh they are).
class TwoPilots : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok()) << server.Tail();
    ASSERT_TRUE(a.Login("alice") && b.Login("bob"));
    ASSERT_TRUE(a.Announce("AAA", kTrainer) && b.Announce("BBB", "C:\\Sim\\Aircraft\\Jets\\Liner\\liner.acf"));
    ASSERT_TRUE(a.Sync() && b.Sync()) << server.Tail();  // announcements before positions
    const LogMark mark = server.Mark();
    ASSERT_TRUE(b.SendDatagram(PositionText(2222, false, 47.0, 8.0)));
    ASSERT_TRUE(server.WaitForLine("in view 2222 *", 5, mark));
    ASSERT_TRUE(a.SendDatagram(PositionText(1111, false, 47.1, 8.0)));
    ASSERT_TRUE(b.WaitLine("1|c|AAA", 3) && b.WaitLine(kTrainerNotice, 3)) << server.Tail();
  }
  ServerProcess server{{"--port", "0", "--relay-rates", "off", "--max-report-age", "0"}};
  FakeClient a{server.port(), 1111}, b{server.port(), 2222};
};

}  // namespace

TEST_F(TwoPilots, ReportsCarryTheOriginalValuesBehindTheSlot) {
  EXPECT_TRUE(a.WaitLine("1|c|BBB", 3));
  EXPECT_TRUE(a.WaitLine("1|p|Aircraft/Jets/Liner/liner.acf", 3));
  std::string pos = PositionText(1111, false, 47.1234, 8.5678);
  ASSERT_TRUE(a.SendDatagram(pos));
  EXPECT_TRUE(b.WaitDatagram(Report(1, pos), 3)) << "bob gets alice in slot 1, byte for byte";
  std::string back = PositionText(2222, false, 47.0, 8.25);
  ASSERT_TRUE(b.SendDatagram(back));
  EXPECT_TRUE(a.WaitDatagram(Report(1, back), 3));

  // Reports that reach the server together go to bob together (one segmented send where the kernel
  // offers it): still a datagram each, whole and in order, a shorter one ending a run included.
  std::vector<std::string> burst;
  for (double lat : {47.2001, 47.2002, 47.21, 47.2003, 47.2004}) burst.push_back(PositionText(1111, false, lat, 8.5));
  server.Pause();
  for (const std::string &p : burst) ASSERT_TRUE(a.SendDatagram(p));
  server.Resume();
  for (const std::string &p : burst) EXPECT_EQ(b.WaitDatagram("1|l|", 3).value_or("none"), Report(1, p));
}

TEST_F(TwoPilots, ChatReachesEveryoneAndObserversAreNotSeen) {
  FakeClient tower(server.port(), 3333);
  LogMark mark = server.Mark();
  ASSERT_TRUE(tower.Login("tower") && tower.Send("3333|VOCALLSIGN|Tower|\n"));
  ASSERT_TRUE(server.WaitForLine("observer 3333 *", 5, mark));
  ASSERT_TRUE(a.Send("1111|MESSAGE|hello | there\n"));
  for (FakeClient *c : {&a, &b, &tower}) EXPECT_TRUE(c->WaitLine("0|m|AAA: hello | there", 3));

  // The tower receives alice; bob never receives the tower (its x is 99.5): alice's report sent
  // after the tower's reaches bob with nothing of the tower's before it.
  mark = server.Mark();
  ASSERT_TRUE(tower.SendDatagram(PositionTextFrom(3333, true, PositionValues(47.05, 8.0, 99.5f))));
  ASSERT_TRUE(server.WaitForLine("datagram address of 3333 *", 5, mark));
  std::string pos = PositionText(1111, false, 47.2, 8.0);
  ASSERT_TRUE(a.SendDatagram(pos));
  bool seen = false;
  while (auto d = tower.WaitDatagram("", 3)) {
    if ((seen = *d == Report(1, pos) || *d == Report(2, pos))) break;
  }
  EXPECT_TRUE(seen);
  ASSERT_TRUE(tower.SendDatagram(PositionTextFrom(3333, true, PositionValues(47.05, 8.0, 99.5f))));
  const std::string after = PositionText(1111, false, 47.21, 8.0);
  ASSERT_TRUE(a.SendDatagram(after));
  for (const std::string &d : b.DatagramsUntil(Report(1, after), 3, &seen)) {
    EXPECT_NE(d.substr(0, 2), "2|") << d;
    EXPECT_NE(d.substr(0, 9), "1|l|99.5|") << d;
  }
  EXPECT_TRUE(seen);
}

TEST_F(TwoPilots, LogoutAndClosedStreamBlankTheSlot) {
  ASSERT_TRUE(a.Send("1111|Closing Connection\n"));
  EXPECT_TRUE(b.WaitLine("1|c|BLANK", 3));
  EXPECT_TRUE(b.WaitLine("1|p|BLANK", 3));
  EXPECT_TRUE(a.WaitClosed(3));

  FakeClient c(server.port(), 4444);
  ASSERT_TRUE(c.Login("carol") && c.Announce("CCC", kTrainer));
  ASSERT_TRUE(c.Sync());  // logged in and announced before its position
  ASSERT_TRUE(c.SendDatagram(PositionText(4444, false, 47.3, 8.0)));
  EXPECT_TRUE(b.WaitLine("1|c|CCC", 3)) << "the freed slot is given again";
  c.CloseStream();
  EXPECT_TRUE(b.WaitLine("1|c|BLANK", 3));
}

TEST_F(TwoPilots, StrangerDatagramsAreIgnored) {
  // Alice's uniqueID from another address, and an ID nobody logged in with.
  FakeClient spoof(server.port(), 1111, "127.0.0.2");
  LogMark mark = server.Mark();
  ASSERT_TRUE(spoof.SendDatagram(PositionText(1111, false, 10, 10)));
  ASSERT_TRUE(spoof.SendDatagram(PositionText(9999, false, 10, 10)));
  EXPECT_TRUE(server.WaitForLine("dropped * x datagram from a stranger (total 2)", 10, mark))
      << server.Tail();
  // From another port of alice's own address: not even view-only hides her.
  FakeClient local(server.port(), 1111);
  ASSERT_TRUE(local.SendDatagram(PositionText(1111, true, 10, 10)));
  ASSERT_TRUE(local.SendDatagram(PositionText(1111, false, 10, 10)));
  EXPECT_TRUE(server.WaitForLine("dropped * x view-only datagram from a pilot (total 1)", 10, mark))
      << server.Tail();
  EXPECT_TRUE(server.WaitForLine("dropped * x datagram from another port (total 1)", 10, mark))
      << server.Tail();
  // Alice's own report, sent after all of them, reaches bob with none of theirs before it.
  const std::string own = PositionText(1111, false, 47.11, 8.0);
  ASSERT_TRUE(a.SendDatagram(own));
  bool seen = false;
  for (const std::string &d : b.DatagramsUntil(Report(1, own), 3, &seen))
    EXPECT_NE(d.substr(0, 24), "1|l|1.25|-2.5|300.125|10") << "relayed: " << d;
  EXPECT_TRUE(seen);
  // Bob's reports still go to alice's own port, not the spoofer's: of two in a row, the first
  // reached the spoofer before the second reached alice, if it went there at all.
  for (double lon : {8.1, 8.11}) {
    std::string pos = PositionText(2222, false, 47.0, lon);
    ASSERT_TRUE(b.SendDatagram(pos));
    EXPECT_TRUE(a.WaitDatagram(Report(1, pos), 3));
  }
  EXPECT_FALSE(spoof.WaitDatagram("", 0));
}

TEST_F(TwoPilots, FloodersAreCutAndOthersCarryOn) {
  FakeClient endless(server.port(), 5555), chatter(server.port(), 6666);
  ASSERT_TRUE(endless.Login("junk") && endless.Send(std::string(5000, 'x')));
  EXPECT_TRUE(endless.WaitClosed(3));
  std::string burst;
  for (int i = 0; i < 2000; ++i) burst += "6666|WHAT|" + std::to_string(i) + "\n";
  ASSERT_TRUE(chatter.Login("chatter"));
  const LogMark mark = server.Mark();
  chatter.Send(burst);
  EXPECT_TRUE(chatter.WaitClosed(3));
  EXPECT_TRUE(server.WaitForLine("connection * cut: flooding*", 3, mark)) << server.Tail();
  for (int i = 0; i < 300; ++i) chatter.SendDatagram("7777|LOC|" + std::to_string(i) + "|garbage");
  for (int i = 0; i < 50; ++i) a.SendDatagram(std::string(1500, '9'));

  std::string pos = PositionText(1111, false, 47.15, 8.0);
  ASSERT_TRUE(a.SendDatagram(pos));
  EXPECT_TRUE(b.WaitDatagram(Report(1, pos), 3));
  ASSERT_TRUE(a.Send("1111|MESSAGE|still here\n"));
  EXPECT_TRUE(b.WaitLine("0|m|AAA: still here", 3));
  EXPECT_TRUE(server.Running());
}

// A pilot quiet for longer than the idle timeout leaves everyone's view until it sends again; one
// whose link died (nothing at all comes from it) is replaced by the login of its plugin coming back.
TEST(ServerProcess, IdlePilotIsBlankedUntilItSendsAgainASilentOneReplaced) {
  ServerProcess server({"--port", "0", "--idle-timeout", "1", "--max-report-age", "0"});
  ASSERT_TRUE(server.ok());
  FakeClient a(server.port(), 1), b(server.port(), 2);
  ASSERT_TRUE(a.Login("a") && b.Login("b") && a.Announce("AAA", kTrainer));
  ASSERT_TRUE(b.Sync() && a.Sync());
  ASSERT_TRUE(a.SendDatagram(PositionText(1, false, 0, 0)));
  ASSERT_TRUE(b.WaitLine("1|c|AAA", 3));
  EXPECT_TRUE(b.WaitLine("1|c|BLANK", 4));
  ASSERT_TRUE(a.SendDatagram(PositionText(1, false, 0, 0)));
  EXPECT_TRUE(b.WaitLine("1|c|AAA", 3));

  // The same uniqueID while a still talks is refused; once a has said nothing for over a second
  // (its slot blanked tells so), the newcomer takes its place and a's stream is closed.
  FakeClient early(server.port(), 1);
  ASSERT_TRUE(early.Login("a"));
  EXPECT_TRUE(early.WaitClosed(3));
  EXPECT_TRUE(b.WaitLine("1|c|BLANK", 4));
  FakeClient back(server.port(), 1);
  ASSERT_TRUE(back.Login("a") && back.Announce("AGAIN", kTrainer));
  EXPECT_TRUE(a.WaitClosed(3)) << server.Tail();
  ASSERT_TRUE(back.Sync()) << "the newcomer stays";
  ASSERT_TRUE(back.SendDatagram(PositionText(1, false, 0, 0)));
  EXPECT_TRUE(b.WaitLine("1|c|AGAIN", 3)) << server.Tail();
}

// One address holds connections that never log in, far past the server's descriptors: they make
// room for an honest login from elsewhere instead of keeping it out.
TEST(ServerProcess, ConnectionsThatNeverLogInLeaveRoomForLogins) {
  ServerProcess server({"--port", "0"}, 64);
  ASSERT_TRUE(server.ok()) << server.Tail();
  std::vector<int> idle;
  for (int i = 0; i < 150; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in local = harness::Addr(0, "127.0.0.2"), to = harness::Addr(server.port());
    bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    idle.push_back(fd);
  }
  // The server is over its share for them before the honest pilot comes.
  ASSERT_TRUE(server.WaitForLine("connection * closed before login: over*", 5)) << server.Tail();
  FakeClient honest(server.port(), 7);
  ASSERT_TRUE(honest.Login("honest") && honest.Send("7|MESSAGE|in\n"));
  EXPECT_TRUE(honest.WaitLine("0|m|honest: in", 5)) << server.Tail();
  for (int fd : idle) close(fd);
  const std::string log = server.Log();
  EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 60) << server.Tail();
}

// A server that fell behind relays what is fresh, not what waited in its socket, unless told to.
TEST(ServerProcess, PositionsThatWaitedTooLongAreNotRelayed) {
  // Half a second against a pause three times as long: a server the machine starves for a moment
  // still judges what it was sent a moment ago fresh.
  for (const char *age : {"0.5", "0"}) {
    SCOPED_TRACE(std::string("--max-report-age ") + age);
    ServerProcess server({"--port", "0", "--max-report-age", age, "--relay-rates", "off"});
    ASSERT_TRUE(server.ok()) << server.Tail();
    FakeClient a(server.port(), 1111), b(server.port(), 2222);
    ASSERT_TRUE(a.Login("alice") && b.Login("bob") && a.Announce("AAA", kTrainer));
    ASSERT_TRUE(b.Sync() && a.Sync());
    const LogMark mark = server.Mark();
    ASSERT_TRUE(b.SendDatagram(PositionText(2222, false, 47.0, 8.0)));
    ASSERT_TRUE(server.WaitForLine("in view 2222 *", 5, mark));
    const std::string first = PositionText(1111, false, 47.1, 8.0);
    ASSERT_TRUE(a.SendDatagram(first));
    ASSERT_TRUE(b.WaitDatagram(Report(1, first), 3)) << server.Tail();

    // The stall itself: the server held still for 1.5 s with a report waiting in its socket.
    server.Pause();
    const std::string late = PositionText(1111, false, 47.1001, 8.0);
    ASSERT_TRUE(a.SendDatagram(late));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    server.Resume();
    const std::string fresh = PositionText(1111, false, 47.1002, 8.0);
    ASSERT_TRUE(a.SendDatagram(fresh));
    std::optional<std::string> got = b.WaitDatagram("1|l|", 3);
    ASSERT_TRUE(got.has_value());
    if (std::string(age) == "0") {
      EXPECT_EQ(*got, Report(1, late));
      EXPECT_EQ(b.WaitDatagram("1|l|", 3).value_or(""), Report(1, fresh));
    } else {
      EXPECT_EQ(*got, Report(1, fresh)) << "the report that waited 1.5 s is not relayed";
      EXPECT_TRUE(server.WaitForLine("dropped * x stale datagram (total *)", 10, mark)) << server.Tail();
    }
  }
}

TEST(ServerProcess, AccountsAndLimitsRefuseLogins) {
  const harness::TempFolder dir;
  const std::string path = dir.Write("accounts", "# test pilots\nalice pw\nbob pw2\n");
  ServerProcess server({"--port", "0", "--accounts", path, "--max-pilots", "1"});
  ASSERT_TRUE(server.ok()) << server.Tail();
  FakeClient wrong(server.port(), 42), right(server.port(), 42), extra(server.port(), 43);
  ASSERT_TRUE(wrong.Login("alice", "92421ec809d0f17913ba3ea24db1039e"));
  EXPECT_TRUE(wrong.WaitClosed(3));
  EXPECT_TRUE(server.WaitForLine("refused login 42 (alice) *", 3));
  const LogMark mark = server.Mark();
  ASSERT_TRUE(right.Login("alice", "92421ec809d0f17913ba3ea24db1039d"));  // md5("42alicepw")
  ASSERT_TRUE(server.WaitForLine("login 42 (alice) *", 3, mark)) << server.Tail();
  ASSERT_TRUE(extra.Login("bob", "206ba9836ac876ddcd618ac132729509"));  // right, but the server is full
  EXPECT_TRUE(extra.WaitClosed(3));
  EXPECT_TRUE(server.WaitForLine("refused login 43 (bob) *: server full", 3, mark)) << server.Tail();
  EXPECT_TRUE(right.Sync()) << "the pilot let in stays";
}

TEST(ServerProcess, SigtermAndSigintExitCleanly) {
  for (int sig : {SIGTERM, SIGINT}) {
    ServerProcess server({"--port", "0"});
    ASSERT_TRUE(server.ok());
    FakeClient a(server.port(), 1);
    ASSERT_TRUE(a.Login("a") && server.WaitForLine("login 1 (a) *", 3));
    EXPECT_EQ(server.Signal(sig), 0) << server.Tail();
    EXPECT_TRUE(a.WaitClosed(2));
  }
}

TEST(ServerProcess, CommandLine) {
  auto status = [](const std::string &args) {
    return harness::RunCommand(std::string(SKYTETHER_SERVER_BIN) + " " + args + " >/dev/null 2>&1", nullptr,
                               30);
  };
  EXPECT_EQ(status("--help"), 0);
  EXPECT_EQ(status("--port 70000"), 2);
  EXPECT_EQ(status("--bogus"), 2);
  EXPECT_EQ(status("--idle-timeout -1"), 2);
  EXPECT_EQ(status("--accounts /nonexistent/accounts.txt"), 2);
  EXPECT_EQ(status("--version"), 0);
}

TEST(ServerProcess, AccountsFilesAreCheckedAndMustBePrivate) {
  const harness::TempFolder dir;
  const std::string path = dir.File("accounts");
  auto run = [&](const std::string &args, std::string *out) {
    return harness::RunCommand(std::string(SKYTETHER_SERVER_BIN) + " " + args + " 2>&1", out, 30);
  };
  std::string out;
  std::ofstream(path) << "alice pw\n\nbob\n# comment\nalice again\n";
  ::chmod(path.c_str(), 0600);
  EXPECT_EQ(run("--check-accounts " + path, &out), 2);
  EXPECT_NE(out.find("line 3: expected"), std::string::npos) << out;
  EXPECT_NE(out.find("line 5: userID \"alice\" given twice"), std::string::npos) << out;

  std::ofstream(path) << "alice pw\nbob pw2\n";
  EXPECT_EQ(run("--check-accounts " + path, &out), 0) << out;
  EXPECT_NE(out.find("2 accounts"), std::string::npos);
  // Readable by others: refused both by the check and at start.
  ::chmod(path.c_str(), 0644);
  EXPECT_EQ(run("--check-accounts " + path, &out), 2);
  EXPECT_NE(out.find("chmod 600"), std::string::npos) << out;
  EXPECT_EQ(run("--port 0 --accounts " + path, &out), 2);
}

// A stalled reader fills its share of the server's memory and is cut; others carry on. The notices
// come from pilots who come and go as fast as they can, which no log may echo line by line.
TEST(ServerProcess, SlowReaderIsCutChurnIsNotLoggedLineByLine) {
  ServerProcess server({"--port", "0", "--max-report-age", "0"});
  ASSERT_TRUE(server.ok());
  // The slow reader never reads and has a tiny receive buffer, so notices pile up in the server.
  FakeClient slow(server.port(), 1, "127.0.0.1", 1024), anchor(server.port(), 2);
  ASSERT_TRUE(slow.Login("slow") && anchor.Login("anchor") && anchor.Announce("ANCHOR", kTrainer));
  ASSERT_TRUE(server.WaitForLine("login 2 (anchor) *", 3));
  ASSERT_TRUE(anchor.SendDatagram(PositionText(2, false, 0, 0)));
  const std::string model = "/s/Aircraft/" + std::string(480, 'm') + "/p.acf";
  int cycles = 0;
  for (auto deadline = harness::After(30); harness::Clock::now() < deadline; ++cycles) {
    if (cycles % 10 == 0 && server.WaitForLine("connection 1 cut: not reading*", 0)) break;
    // Four at a time (the slots a table is given at once): logged in once the anchor's name
    // arrives; then in view on every table, then gone.
    std::vector<std::unique_ptr<FakeClient>> four;
    for (int k = 0; k < 4; ++k) {
      const int id = 1000 + 4 * cycles + k;
      four.push_back(std::make_unique<FakeClient>(server.port(), id));
      FakeClient &p = *four.back();
      ASSERT_TRUE(p.Login("churn") && p.Announce(std::string(31, 'C'), model));
      ASSERT_GE(p.WaitSlotOf("ANCHOR", 10), 1) << server.Tail();
      ASSERT_TRUE(p.SendDatagram(PositionText(id, false, 0, 0)));
    }
    for (int k = 0; k < 4; ++k) ASSERT_GE(anchor.WaitSlotOf(std::string(31, 'C'), 10), 1);
  }
  EXPECT_TRUE(server.WaitForLine("connection 1 cut: not reading*", 5)) << server.Tail();
  EXPECT_TRUE(slow.WaitClosed(3));
  ASSERT_TRUE(anchor.Send("2|MESSAGE|ok\n"));
  EXPECT_TRUE(anchor.WaitLine("0|m|ANCHOR: ok", 3));
  // Each cycle is a login, a slot given and freed on two tables, and a logout.
  const std::string log = server.Log();
  EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 300) << cycles << " cycles";
  EXPECT_NE(log.find("x login not logged"), std::string::npos) << server.Tail();
}

namespace {

const char kOpsToken[] = "0123456789abcdef-ops";

// An admin request with the given token (none when empty); the status and the answer.
int Admin(int port, const std::string &path, const std::string &form, std::string *answer = nullptr,
          const std::string &token = kOpsToken) {
  return harness::HttpSend(port, form.empty() && path != "reload-accounts" ? "GET" : "POST",
                           "/v1/admin/" + path,
                           token.empty() ? "" : "Authorization: Bearer " + token + "\r\n", form, answer);
}

bool LogIn(FakeClient &c, int id, const std::string &user, const std::string &password) {
  return c.Login(user, skytether::LoginToken(id, user, password));
}

}  // namespace

// The operator's controls answer only a right token; a kick blanks the pilot's slots, a mute
// keeps its chat from everyone, and a ban outlives a restart until it is lifted.
TEST(ServerProcess, OperatorKicksMutesAndBansWithItsToken) {
  const harness::TempFolder dir;
  const std::string accounts = dir.Write("accounts", "alice pw\nbob pw\n");
  const std::string tokens = dir.Write("tokens", std::string("ops ") + kOpsToken + "\n");
  const std::string bans = dir.File("bans");
  const std::vector<std::string> args = {
      "--port",     "0",  "--accounts", accounts, "--admin-token-file", tokens, "--admin-http", "127.0.0.1:0",
      "--ban-file", bans, "--http",     "0",      "--max-report-age",   "0"};
  auto server = std::make_unique<ServerProcess>(args);
  ASSERT_TRUE(server->ok()) << server->Tail();
  int admin = harness::AdminPort(*server);
  ASSERT_GT(admin, 0) << server->Tail();

  FakeClient a(server->port(), 1111), b(server->port(), 2222);
  ASSERT_TRUE(LogIn(a, 1111, "alice", "pw") && LogIn(b, 2222, "bob", "pw"));
  ASSERT_TRUE(a.Announce("AAA", kTrainer) && b.Announce("BBB", kTrainer));
  ASSERT_TRUE(a.Sync() && b.Sync());
  LogMark mark = server->Mark();
  ASSERT_TRUE(b.SendDatagram(PositionText(2222, false, 47.0, 8.0)) &&
              server->WaitForLine("in view 2222 *", 5, mark));
  ASSERT_TRUE(a.SendDatagram(PositionText(1111, false, 47.1, 8.0)));
  ASSERT_TRUE(b.WaitLine("1|c|AAA", 3)) << server->Tail();

  std::string answer;
  mark = server->Mark();
  EXPECT_EQ(Admin(admin, "kick", "id=1111", &answer, ""), 401);
  EXPECT_EQ(Admin(admin, "kick", "id=1111", &answer, std::string(kOpsToken) + "x"), 401);
  EXPECT_EQ(Admin(admin, "kick", "id=1111", &answer, std::string(kOpsToken).substr(1)), 401);
  EXPECT_TRUE(server->WaitForLine("admin request refused from 127.0.0.1: wrong token*", 3, mark));
  EXPECT_TRUE(a.Sync()) << "nothing done without the token";
  EXPECT_EQ(harness::HttpSend(harness::HttpPort(*server), "GET", "/v1/admin/bans",
                              std::string("Authorization: Bearer ") + kOpsToken + "\r\n", ""),
            404)
      << "the controls answer on their own address only";

  EXPECT_EQ(Admin(admin, "mute", "user=bob", &answer), 200) << answer;
  ASSERT_TRUE(b.Send("2222|MESSAGE|muted words\n") && a.Send("1111|MESSAGE|hello\n"));
  bool heard = false;
  for (const std::string &line : b.LinesUntil("0|m|AAA: hello", 3, &heard))
    EXPECT_EQ(line.find("muted words"), std::string::npos) << line;
  EXPECT_TRUE(heard);
  EXPECT_TRUE(server->WaitForLine("dropped * x chat of a muted pilot (total 1)", 10, mark)) << server->Tail();

  EXPECT_EQ(Admin(admin, "kick", "id=1111&reason=test", &answer), 200) << answer;
  EXPECT_NE(answer.find("1111 (alice/AAA)"), std::string::npos) << answer;
  EXPECT_TRUE(server->WaitForLine("admin ops: kick 1111: test*", 3, mark));
  EXPECT_TRUE(a.WaitClosed(3));
  EXPECT_TRUE(b.WaitLine("1|c|BLANK", 3)) << "alice's slot on bob is blanked";
  EXPECT_EQ(Admin(admin, "kick", "id=1111", &answer), 404) << answer;

  // Banned: out at once, and refused at login with the reason, before and after a restart.
  EXPECT_EQ(Admin(admin, "ban", "user=bob&reason=spam", &answer), 200) << answer;
  EXPECT_TRUE(b.WaitClosed(3));
  for (int round = 0; round < 2; ++round) {
    FakeClient again(server->port(), 2222);
    mark = server->Mark();
    ASSERT_TRUE(LogIn(again, 2222, "bob", "pw"));
    EXPECT_TRUE(again.WaitLine("0|m|Server: banned (spam)", 3)) << server->Tail();
    EXPECT_TRUE(again.WaitClosed(3));
    EXPECT_TRUE(server->WaitForLine("refused login 2222 (bob) from 127.0.0.1*: banned (spam)", 3, mark))
        << server->Tail();
    if (round == 0) {
      server = std::make_unique<ServerProcess>(args);
      ASSERT_TRUE(server->ok()) << server->Tail();
      ASSERT_GT(admin = harness::AdminPort(*server), 0);
    }
  }
  EXPECT_EQ(Admin(admin, "bans", "", &answer), 200);
  EXPECT_NE(answer.find("\"user\":\"bob\",\"until\":null"), std::string::npos) << answer;
  struct stat st;
  ASSERT_EQ(::lstat(bans.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the ban file is its owner's";
  // A line added by hand holds from SIGHUP on, shuts its user out, and stays through the next ban.
  std::ofstream(bans, std::ios::app) << "alice\tnever\t2026-12-08T15:02:41Z\tops\tby hand\n";
  FakeClient alice(server->port(), 1111);
  ASSERT_TRUE(LogIn(alice, 1111, "alice", "pw") && alice.Sync());
  mark = server->Mark();
  server->Kill(SIGHUP);
  EXPECT_TRUE(server->WaitForLine("bans: 2 from " + bans + " (SIGHUP)", 3, mark)) << server->Tail();
  EXPECT_TRUE(alice.WaitClosed(3));
  EXPECT_EQ(Admin(admin, "ban", "user=carol&duration=1h", &answer), 200) << answer;
  EXPECT_EQ(Admin(admin, "bans?limit=2", "", &answer), 200);
  EXPECT_NE(answer.find("\"reason\":\"by hand\""), std::string::npos) << answer;
  EXPECT_NE(answer.find("\"next\":\"bob\""), std::string::npos) << "a page of two of three: " << answer;
  EXPECT_EQ(Admin(admin, "bans?after=bob", "", &answer), 200);
  EXPECT_NE(answer.find("\"user\":\"carol\""), std::string::npos) << answer;
  EXPECT_NE(answer.find("\"next\":null"), std::string::npos) << answer;
  std::ifstream kept(bans);
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(kept), {}).find("alice\tnever"), std::string::npos);
  EXPECT_EQ(Admin(admin, "unban", "user=alice", &answer), 200) << answer;
  EXPECT_EQ(Admin(admin, "unban", "user=bob", &answer), 200) << answer;
  FakeClient back(server->port(), 2222);
  mark = server->Mark();
  ASSERT_TRUE(LogIn(back, 2222, "bob", "pw"));
  EXPECT_TRUE(server->WaitForLine("login 2222 (bob) *", 3, mark)) << server->Tail();
  EXPECT_EQ(Admin(admin, "ban", "user=bob&duration=soon", &answer), 400) << answer;
  EXPECT_EQ(Admin(admin, "ban", "id=2222", &answer), 400) << "a ban names a user ID";
}

// Whatever others send to the controls, the operator gets in: requests without a token spend an
// allowance of their own, slow connections make room, and only this listener's own name is served
// (a page whose name was rebound to it is not), without any header letting another site read it.
TEST(ServerProcess, TheOperatorKeepsControl) {
  const harness::TempFolder dir;
  const std::string tokens = dir.Write("tokens", std::string("ops ") + kOpsToken + "\n");
  ServerProcess server({"--port", "0", "--admin-token-file", tokens, "--admin-http", "127.0.0.1:0"});
  ASSERT_TRUE(server.ok()) << server.Tail();
  const int admin = harness::AdminPort(server);
  ASSERT_GT(admin, 0) << server.Tail();
  auto ask = [admin](const std::string &head, std::string *answer) {
    const int fd = harness::HttpConnect(admin);
    const std::string request = "GET /v1/admin/pilots HTTP/1.1\r\nAuthorization: Bearer " +
                                std::string(kOpsToken) + "\r\n" + head + "\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    answer->clear();
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) answer->append(buf, n);
    ::close(fd);
    return std::atoi(answer->c_str() + 9);
  };
  std::string answer;
  const std::string port = std::to_string(admin);
  for (const std::string &host : {"127.0.0.1:" + port, std::string("localhost"), "LOCALHOST:" + port}) {
    EXPECT_EQ(ask("Host: " + host + "\r\n", &answer), 200) << host;
    EXPECT_EQ(answer.find("Access-Control"), std::string::npos) << answer;
  }
  for (const std::string &head : {"Host: rebound.example:" + port + "\r\n", std::string("Host: 127.0.0.2\r\n"),
                                  "Host: 127.0.0.1:" + port + "\r\nOrigin: http://rebound.example\r\n"})
    EXPECT_EQ(ask(head, &answer), 403) << head;
  int refused = 0;
  for (int i = 0; i < 30; ++i) refused += Admin(admin, "pilots", "", nullptr, "") == 429;
  EXPECT_GT(refused, 0) << "guesses are limited";
  EXPECT_EQ(Admin(admin, "pilots", ""), 200) << "and cost the operator nothing";

  std::vector<int> slow;
  for (int i = 0; i < 8; ++i) {
    slow.push_back(harness::HttpConnect(admin));
    ASSERT_GE(slow.back(), 0);
    ASSERT_GT(::send(slow.back(), "GET /v1/admin/pilots HTTP/1.1\r\nHo", 33, MSG_NOSIGNAL), 0);
  }
  EXPECT_EQ(Admin(admin, "pilots", ""), 200) << "8 trickling connections of its own address";
  for (int fd : slow) ::close(fd);
}

// Without accounts a user ID is whatever a pilot types: a ban holds the banned pilot's address
// and uniqueID too, and says so; the user ID folded for case and blanks.
TEST(ServerProcess, OnAnOpenServerABanHoldsWhatTellsPilotsApart) {
  const harness::TempFolder dir;
  const std::string tokens = dir.Write("tokens", std::string("ops ") + kOpsToken + "\n");
  ServerProcess server({"--port", "0", "--admin-token-file", tokens, "--admin-http", "127.0.0.1:0"});
  ASSERT_TRUE(server.ok()) << server.Tail();
  const int admin = harness::AdminPort(server);
  FakeClient a(server.port(), 1111);
  ASSERT_TRUE(a.Login("alice") && a.Sync());
  std::string answer;
  EXPECT_EQ(Admin(admin, "mute", "user=ALICE%20", &answer), 200) << answer;
  EXPECT_NE(answer.find("\"muted\":{\"user\":\"ALICE \",\"addresses\":[\"127.0.0.1\"],\"ids\":[1111]}"),
            std::string::npos)
      << answer;
  EXPECT_EQ(Admin(admin, "ban", "user=Alice", &answer), 200) << answer;
  EXPECT_NE(answer.find("\"banned\":{\"user\":\"Alice\",\"addresses\":[\"127.0.0.1\"],\"ids\":[1111]}"),
            std::string::npos)
      << answer;
  EXPECT_TRUE(a.WaitClosed(3));
  for (const auto &[id, user] : std::vector<std::pair<int, std::string>>{{1111, "x"}, {5555, "alice2"}, {5556, " ALICE"}}) {
    FakeClient again(server.port(), id);
    const LogMark mark = server.Mark();
    ASSERT_TRUE(again.Login(user));
    EXPECT_TRUE(again.WaitClosed(3)) << user;
    EXPECT_TRUE(server.WaitForLine("refused login " + std::to_string(id) + " *: banned", 3, mark)) << user;
  }
  EXPECT_EQ(Admin(admin, "unban", "user=alice", &answer), 200);
  EXPECT_NE(answer.find("\"lifted\":true"), std::string::npos) << "folded alike: " << answer;
  FakeClient back(server.port(), 5557);
  const LogMark mark = server.Mark();
  ASSERT_TRUE(back.Login("alice2"));
  EXPECT_TRUE(server.WaitForLine("login 5557 (alice2) *", 3, mark)) << server.Tail();
  ASSERT_TRUE(back.Send("5557|MESSAGE|hi\n"));
  EXPECT_TRUE(server.WaitForLine("dropped * x chat of a muted pilot*", 10, mark)) << "the mute holds the address";
}

// SIGHUP or the operator rereads the accounts: new ones log in, removed ones are logged out,
// changed passwords apply at the next login; a broken file changes nothing.
TEST(ServerProcess, AccountsAreReloadedLive) {
  const harness::TempFolder dir;
  const std::string accounts = dir.Write("accounts", "alice pw\nbob pw\n");
  const std::string tokens = dir.Write("tokens", std::string("ops ") + kOpsToken + "\n");
  ServerProcess server(
      {"--port", "0", "--accounts", accounts, "--admin-token-file", tokens, "--admin-http", "127.0.0.1:0"});
  ASSERT_TRUE(server.ok()) << server.Tail();
  const int admin = harness::AdminPort(server);
  FakeClient a(server.port(), 1111), b(server.port(), 2222);
  ASSERT_TRUE(LogIn(a, 1111, "alice", "pw") && LogIn(b, 2222, "bob", "pw"));
  ASSERT_TRUE(server.WaitForLine("login 2222 (bob) *", 5));

  std::ofstream(accounts) << "alice pw2\ncarol pw\n";
  LogMark mark = server.Mark();
  server.Kill(SIGHUP);
  EXPECT_TRUE(server.WaitForLine("accounts: 2 from " + accounts + " (SIGHUP); logged out 1*", 3, mark))
      << server.Tail();
  EXPECT_TRUE(b.WaitClosed(3)) << "bob's account is gone";
  EXPECT_TRUE(a.Sync()) << "alice stays until her next login";
  FakeClient old_password(server.port(), 1112), carol(server.port(), 3333);
  ASSERT_TRUE(LogIn(old_password, 1112, "alice", "pw") && LogIn(carol, 3333, "carol", "pw"));
  EXPECT_TRUE(old_password.WaitClosed(3));
  EXPECT_TRUE(server.WaitForLine("login 3333 (carol) *", 3, mark));

  std::ofstream(accounts) << "alice pw2\nbroken\ncarol pw\ncarol again\n";
  std::string answer;
  EXPECT_EQ(Admin(admin, "reload-accounts", "", &answer), 422) << answer;
  EXPECT_NE(answer.find("line 2: expected"), std::string::npos) << answer;
  EXPECT_NE(answer.find("line 4: userID \\\"carol\\\" given twice"), std::string::npos) << answer;
  EXPECT_TRUE(server.WaitForLine("*the 2 accounts in force stay*", 3, mark));
  // Caught half written: the cut last line would be an account with a wrong password.
  std::ofstream(accounts) << "alice pw2\ncarol p";
  mark = server.Mark();
  server.Kill(SIGHUP);
  EXPECT_TRUE(server.WaitForLine("*does not end with a line break*", 3, mark)) << server.Tail();
  FakeClient new_password(server.port(), 1113);
  ASSERT_TRUE(LogIn(new_password, 1113, "alice", "pw2"));
  EXPECT_TRUE(server.WaitForLine("login 1113 (alice) *", 3, mark)) << server.Tail();
  EXPECT_TRUE(carol.Sync());
}
