// The server's wire codec, fed from buffers exactly as the sockets feed it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec.h"
#include "position_text.h"

using namespace skytether;

namespace {

// Feeds chunks through SplitLine the way a session accumulates reads.
struct Splitter {
  std::string buf;
  std::vector<std::string> lines;
  int bad = 0;
  void Feed(const std::string &chunk) {
    buf += chunk;
    for (;;) {
      std::string_view line;
      std::size_t used = 0;
      SplitResult r = SplitLine(buf, &line, &used);
      if (r == SplitResult::kNeedMore) return;
      if (r == SplitResult::kBad) ++bad;
      else lines.emplace_back(line);
      buf.erase(0, used);
    }
  }
};

}  // namespace

TEST(SplitLine, LfCrLfAndCrRunsEndLines) {
  Splitter s;
  s.Feed("1|CALLSIGN|A|\n2|CALLSIGN|B|\r\n3|x\r\r\n");
  EXPECT_EQ(s.lines, (std::vector<std::string>{"1|CALLSIGN|A|", "2|CALLSIGN|B|", "3|x"}));
  EXPECT_TRUE(s.buf.empty());
}

TEST(SplitLine, LineSplitAcrossReadsWaitsForItsEnd) {
  Splitter s;
  s.Feed("12|MESS");
  EXPECT_TRUE(s.lines.empty());
  s.Feed("AGE|hi\r");
  EXPECT_TRUE(s.lines.empty());
  s.Feed("\n12|MESSAGE|again\n7|");
  EXPECT_EQ(s.lines, (std::vector<std::string>{"12|MESSAGE|hi", "12|MESSAGE|again"}));
  EXPECT_EQ(s.buf, "7|");
}

TEST(SplitLine, LimitIsFourKiBIncludingTheTerminator) {
  Splitter fits;
  fits.Feed(std::string(kMaxLine - 1, 'a') + "\n");
  EXPECT_EQ(fits.bad, 0);
  ASSERT_EQ(fits.lines.size(), 1u);
  EXPECT_EQ(fits.lines[0].size(), kMaxLine - 1);

  Splitter over;
  over.Feed(std::string(kMaxLine, 'a') + "\nnext\n");
  EXPECT_GE(over.bad, 1);

  // Unterminated: still waiting just under the limit, refused at it.
  std::string_view line;
  std::size_t used = 0;
  std::string almost(kMaxLine - 1, 'b');
  EXPECT_EQ(SplitLine(almost, &line, &used), SplitResult::kNeedMore);
  EXPECT_EQ(used, 0u);
  std::string full(kMaxLine, 'b');
  EXPECT_EQ(SplitLine(full, &line, &used), SplitResult::kBad);
  EXPECT_EQ(used, full.size());
}

TEST(SplitLine, BlankLinesComeOutEmpty) {
  Splitter s;
  s.Feed("\r\n\n1|x\n");
  EXPECT_EQ(s.lines, (std::vector<std::string>{"", "", "1|x"}));
}

TEST(ParseId, AcceptsOnlyPlainNonNegativeInts) {
  int id = -1;
  EXPECT_TRUE(ParseId("0", &id));
  EXPECT_EQ(id, 0);
  EXPECT_TRUE(ParseId("2147483647", &id));
  EXPECT_EQ(id, 2147483647);
  for (const char *bad : {"", "-1", "+1", "2147483648", "99999999999", "12a", " 1", "1 "}) {
    EXPECT_FALSE(ParseId(bad, &id)) << bad;
  }
}

TEST(ParseClientLine, LoginTakesTheTokenFromTheEnd) {
  ClientLine m = ParseClientLine("1234|Opening Connection|pilot|bd3faf31d0b110084c38a04fcc67e9ed|");
  ASSERT_EQ(m.kind, LineKind::kLogin);
  EXPECT_EQ(m.id, 1234);
  EXPECT_EQ(m.user, "pilot");
  EXPECT_EQ(m.token, "bd3faf31d0b110084c38a04fcc67e9ed");

  // Nothing is escaped: a "|" in the user name stays in the user name.
  m = ParseClientLine("5|Opening Connection|a|b|81dc9bdb52d04dc20036dbd8313ed055|");
  ASSERT_EQ(m.kind, LineKind::kLogin);
  EXPECT_EQ(m.user, "a|b");

  m = ParseClientLine("5|Opening Connection||81dc9bdb52d04dc20036dbd8313ed055|");
  ASSERT_EQ(m.kind, LineKind::kLogin);
  EXPECT_EQ(m.user, "");
}

TEST(ParseClientLine, BadLoginsAreMalformed) {
  for (const char *bad : {
           "1|Opening Connection|pilot|bd3faf31d0b110084c38a04fcc67e9ed",     // no final "|"
           "1|Opening Connection|pilot|BD3FAF31D0B110084C38A04FCC67E9ED|",    // uppercase
           "1|Opening Connection|pilot|bd3faf31d0b110084c38a04fcc67e9e|",     // 31 chars
           "1|Opening Connection|pilot|zd3faf31d0b110084c38a04fcc67e9ed|",    // not hex
           "1|Opening Connection|bd3faf31d0b110084c38a04fcc67e9ed|",          // no user field
           "x|Opening Connection|pilot|bd3faf31d0b110084c38a04fcc67e9ed|",    // bad id
           "1|Opening Connection",
       }) {
    EXPECT_EQ(ParseClientLine(bad).kind, LineKind::kMalformed) << bad;
  }
}

TEST(ParseClientLine, EveryOtherKind) {
  ClientLine m = ParseClientLine("7|Closing Connection");
  EXPECT_EQ(m.kind, LineKind::kLogout);
  EXPECT_EQ(m.id, 7);
  EXPECT_EQ(ParseClientLine("7|Closing Connection|").kind, LineKind::kMalformed);

  m = ParseClientLine("7|PLANE|C:\\Sim\\Aircraft\\Laminar\\B738\\b738.acf");
  EXPECT_EQ(m.kind, LineKind::kModel);
  EXPECT_EQ(m.text, "C:\\Sim\\Aircraft\\Laminar\\B738\\b738.acf");
  EXPECT_EQ(ParseClientLine("7|PLANE").kind, LineKind::kMalformed);

  m = ParseClientLine("7|CALLSIGN|N123|");
  EXPECT_EQ(m.kind, LineKind::kCallsign);
  EXPECT_EQ(m.text, "N123");
  m = ParseClientLine("7|CALLSIGN|a|b|");
  EXPECT_EQ(m.kind, LineKind::kCallsign);
  EXPECT_EQ(m.text, "a|b");
  m = ParseClientLine("7|CALLSIGN||");
  EXPECT_EQ(m.kind, LineKind::kCallsign);
  EXPECT_EQ(m.text, "");
  EXPECT_EQ(ParseClientLine("7|CALLSIGN|N123").kind, LineKind::kMalformed);
  m = ParseClientLine("7|VOCALLSIGN|Tower|");
  EXPECT_EQ(m.kind, LineKind::kVoCallsign);
  EXPECT_EQ(m.text, "Tower");

  m = ParseClientLine("7|MESSAGE|hello | there");
  EXPECT_EQ(m.kind, LineKind::kChat);
  EXPECT_EQ(m.text, "hello | there");
  m = ParseClientLine("7|MESSAGE|");
  EXPECT_EQ(m.kind, LineKind::kChat);
  EXPECT_EQ(m.text, "");

  EXPECT_EQ(ParseClientLine("7|FOO|bar").kind, LineKind::kUnknown);
  EXPECT_EQ(ParseClientLine("7|LOC|1|2").kind, LineKind::kUnknown);  // positions travel by datagram
  EXPECT_EQ(ParseClientLine("hello").kind, LineKind::kMalformed);
  EXPECT_EQ(ParseClientLine("|MESSAGE|x").kind, LineKind::kMalformed);
}

TEST(IsDecimalNumber, FormsThatPrintfWrites) {
  for (const char *good : {"0", "-0", "1.5", "-12.25", "1e+09", "1.70000013e+09", "-3.40282347e+38", "5.",
                           ".5", "+2", "1E-05"}) {
    EXPECT_TRUE(IsDecimalNumber(good)) << good;
  }
  for (const char *bad : {"", "-", ".", "e5", "1e", "1e+", "nan", "inf", "-inf", "0x10", "1,5", " 1", "1 ",
                          "1.2.3", "--1"}) {
    EXPECT_FALSE(IsDecimalNumber(bad)) << bad;
  }
}

TEST(ParsePosition, AcceptsTheLineThePluginSends) {
  std::string text = PositionText(4321, false, 47.5, -122.25);
  Position p;
  ASSERT_TRUE(ParsePosition(text, &p));
  EXPECT_EQ(p.id, 4321);
  EXPECT_FALSE(p.observer);
  EXPECT_DOUBLE_EQ(p.latitude, 47.5);
  EXPECT_DOUBLE_EQ(p.longitude, -122.25);
  // The relayed values are the original bytes after "ID|LOC|", untouched.
  EXPECT_EQ(std::string(p.values), text.substr(std::string("4321|LOC|").size()));

  std::string vo = PositionText(9, true, 0, 0);
  ASSERT_TRUE(ParsePosition(vo, &p));
  EXPECT_TRUE(p.observer);
  EXPECT_EQ(std::string(p.values), vo.substr(std::string("9|VOLOC|").size()));
}

TEST(ParsePosition, RefusesWrongShapes) {
  auto with = [](int index, const std::string &value) {
    std::vector<std::string> v = PositionValues(47.5, 8.5);
    v[index] = value;
    return PositionTextFrom(1, false, v);
  };
  std::vector<std::string> v = PositionValues(47.5, 8.5);
  std::vector<std::string> v41(v.begin(), v.end() - 1);
  std::vector<std::string> v43 = v;
  v43.push_back("1");

  Position p;
  p.id = -7;
  EXPECT_FALSE(ParsePosition(PositionTextFrom(1, false, v41), &p)) << "41 values";
  EXPECT_FALSE(ParsePosition(PositionTextFrom(1, false, v43), &p)) << "43 values";
  EXPECT_FALSE(ParsePosition(PositionTextFrom(1, false, v) + "|", &p)) << "trailing bar";
  EXPECT_FALSE(ParsePosition(with(0, "abc"), &p)) << "non-numeric";
  EXPECT_FALSE(ParsePosition(with(10, ""), &p)) << "empty field";
  EXPECT_FALSE(ParsePosition(with(27, "10"), &p)) << "two-digit light";
  EXPECT_FALSE(ParsePosition(with(31, "-1"), &p)) << "negative light";
  EXPECT_FALSE(ParsePosition(with(29, "1.0"), &p)) << "float light";
  EXPECT_FALSE(ParsePosition(with(3, "91"), &p)) << "latitude out of range";
  EXPECT_FALSE(ParsePosition(with(4, "-180.5"), &p)) << "longitude out of range";
  EXPECT_FALSE(ParsePosition(with(41, "nan"), &p)) << "nan";
  EXPECT_FALSE(ParsePosition("1|LOC", &p));
  EXPECT_FALSE(ParsePosition("", &p));
  EXPECT_FALSE(ParsePosition("1|LOCX|" + PositionTextFrom(1, false, v).substr(6), &p)) << "keyword";
  EXPECT_FALSE(ParsePosition("-1|LOC|" + PositionTextFrom(1, false, v).substr(6), &p)) << "id";

  std::string with_nul = PositionTextFrom(1, false, v);
  with_nul[with_nul.size() - 1] = '\0';
  EXPECT_FALSE(ParsePosition(with_nul, &p)) << "NUL byte";

  std::string huge = with(0, std::string(kMaxDatagram, '1'));
  EXPECT_FALSE(ParsePosition(huge, &p)) << "over-long datagram";

  EXPECT_EQ(p.id, -7) << "a refused datagram must leave the output alone";
}

TEST(SanitizeText, NoLineBreaksNoMarkerAndCapped) {
  EXPECT_EQ(SanitizeText("a\r\nb\nc\rd", 100), "abcd");
  EXPECT_EQ(SanitizeText(std::string("x\0y", 3), 100), "xy");
  EXPECT_EQ(SanitizeText("a====b", 100), "a===b");
  EXPECT_EQ(SanitizeText("==========", 100), "===");
  // A removed control byte must not join two runs into the marker.
  EXPECT_EQ(SanitizeText("==\n==", 100), "===");
  EXPECT_EQ(SanitizeText("abcdef", 3), "abc");
  EXPECT_EQ(SanitizeText("pipes|stay", 100), "pipes|stay");
  // A cut never leaves half a UTF-8 character behind.
  EXPECT_EQ(SanitizeText("ab\xc3\xa9", 3), "ab");
  EXPECT_EQ(SanitizeText("ab\xc3\xa9", 4), "ab\xc3\xa9");
  EXPECT_EQ(SanitizeText("a\xe2\x82\xac", 3), "a");
}

TEST(RelativeModelPath, CutsAtTheLastAircraftDirectory) {
  EXPECT_EQ(RelativeModelPath("/home/u/Sim/Aircraft/General Aviation/C172/C172.acf"),
            "Aircraft/General Aviation/C172/C172.acf");
  EXPECT_EQ(RelativeModelPath("C:\\Sim\\Aircraft\\Laminar\\B738\\b738.acf"), "Aircraft/Laminar/B738/b738.acf");
  EXPECT_EQ(RelativeModelPath("/x/Aircraft/old/Aircraft/new/a.ACF"), "Aircraft/new/a.ACF");
  EXPECT_EQ(RelativeModelPath("Aircraft/a/b.acf"), "Aircraft/a/b.acf");
  // Without an Aircraft directory the path only gets "/" separators.
  EXPECT_EQ(RelativeModelPath("D:\\models\\jet.acf"), "D:/models/jet.acf");
  EXPECT_EQ(RelativeModelPath("/opt/planes/x.acf"), "/opt/planes/x.acf");
  // A file called Aircraft.acf is not a directory.
  EXPECT_EQ(RelativeModelPath("/a/b/Aircraft.acf"), "/a/b/Aircraft.acf");
}

TEST(RelativeModelPath, RefusesUnusablePaths) {
  EXPECT_EQ(RelativeModelPath(""), "");
  EXPECT_EQ(RelativeModelPath("/home/u/Aircraft/plane.obj"), "");
  EXPECT_EQ(RelativeModelPath("/home/u/Aircraft/../../etc/x.acf"), "");
  EXPECT_EQ(RelativeModelPath("..\\x.acf"), "");
  EXPECT_EQ(RelativeModelPath("Aircraft/" + std::string(300, 'a') + ".acf"), "");
  EXPECT_EQ(RelativeModelPath("Aircraft/a\r\n/b====c.acf"), "Aircraft/a/b===c.acf");
}

TEST(Notices, Formats) {
  EXPECT_EQ(CallsignNotice(3, "N123"), "3|c|N123\n");
  EXPECT_EQ(CallsignNotice(19, ""), "19|c|BLANK\n");
  EXPECT_EQ(ModelNotice(1, "Aircraft/a/b.acf"), "1|p|Aircraft/a/b.acf\n");
  EXPECT_EQ(ModelNotice(2, ""), "2|p|BLANK\n");
  EXPECT_EQ(ChatNotice("Bob: hi"), "0|m|Bob: hi\n");
  EXPECT_EQ(ReportHeader(1), "1|l|");
  EXPECT_EQ(ReportHeader(19), "19|l|");
  EXPECT_EQ(ReportHeader(20), "");
}

TEST(LoginToken, Md5OfIdUserAndPassword) {
  EXPECT_EQ(LoginToken(1234, "pilot", "secret"), "bd3faf31d0b110084c38a04fcc67e9ed");
  EXPECT_EQ(LoginToken(1234, "", ""), "81dc9bdb52d04dc20036dbd8313ed055");
}

TEST(FloodGate, BurstThenRate) {
  FloodGate gate(10, 5);
  int taken = 0;
  for (int i = 0; i < 100; ++i) taken += gate.Take(0.0);
  EXPECT_EQ(taken, 10);
  EXPECT_FALSE(gate.Take(0.1));  // half a token back
  EXPECT_TRUE(gate.Take(0.2));
  // Refill stops at the burst size.
  taken = 0;
  for (int i = 0; i < 100; ++i) taken += gate.Take(1000.0);
  EXPECT_EQ(taken, 10);
}
