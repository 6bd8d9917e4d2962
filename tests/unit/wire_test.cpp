#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "net/wire.h"
#include "md5.h"

namespace {

std::string Report(const std::string &lights = "1|0|1|0|1", const std::string &tail = "") {
  return "1|2|3|47.5|8.5|500|1.5|-2.5|90|0.5|0.25|0|0.125|0|0.1|-0.2|0.3|1|1|1|1|1|1|1|1|1|0.9|" + lights +
         "|0.8|0.8|0|0|0|0|0|0.7" + tail;
}

std::vector<StreamMessage> Take(std::string &buffer) {
  std::vector<StreamMessage> out;
  TakeStreamMessages(buffer, [&out](const StreamMessage &m) { out.push_back(m); });
  return out;
}

std::string Feed(std::string &buffer, const std::string &bytes) {
  AppendStreamText(buffer, bytes.data(), bytes.size());
  return buffer;
}

}  // namespace

TEST(WireOut, SessionLines) {
  const std::string token = LoginToken(1234, "pilot", "secret");
  EXPECT_EQ(token, Md5Hex("1234pilotsecret"));
  EXPECT_EQ(BuildLoginLine(1234, "pilot", token), "1234|Opening Connection|pilot|" + token + "|\n");
  // Empty user and password: the token covers the digits alone.
  EXPECT_EQ(LoginToken(77, "", ""), Md5Hex("77"));
  EXPECT_EQ(LoginToken(77, "", "").size(), 32u);
  EXPECT_EQ(BuildLogoutLine(1234), "1234|Closing Connection\n");
  EXPECT_EQ(BuildModelLine(5, "/sim/Aircraft/a b/c.acf"), "5|PLANE|/sim/Aircraft/a b/c.acf\n");
  EXPECT_EQ(BuildCallsignLine(5, "", false), "5|CALLSIGN||\n");
  EXPECT_EQ(BuildCallsignLine(5, "A|B", true), "5|VOCALLSIGN|A|B|\n");
}

TEST(WireOut, PositionLineHoldsKeywordAnd42Values) {
  OwnState s{};
  for (int i = 0; i < 17; ++i) s.single[i] = float(i) + 0.1f;
  for (int i = 0; i < 10; ++i) s.gear[i] = 1.0f;
  s.lights[0] = 1;
  s.lights[3] = 1;
  for (int i = 0; i < 8; ++i) s.throttle[i] = 0.5f;
  s.seconds = 1765158000.0f;
  s.microseconds = 123456.0f;
  std::string line;
  BuildPositionLine(line, 99, false, s);
  EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 43);
  EXPECT_EQ(line.rfind("99|LOC|0.100000001|1.10000002|", 0), 0u);
  EXPECT_NE(line.find("|1|1|1|1|1|1|1|1|1|1|1|0|0|1|0|0.5|"), std::string::npos);
  EXPECT_EQ(line.substr(line.size() - 22), "|1.76515802e+09|123456");
  std::string observer;
  BuildPositionLine(observer, 99, true, s);
  EXPECT_EQ(observer, "99|VOLOC" + line.substr(6));
}

TEST(WireIn, DatagramHeader) {
  int slot = -1;
  char letter = 0;
  size_t length = 0;
  ASSERT_TRUE(MatchDatagramHeader("19|l|a|b", slot, letter, length));
  EXPECT_EQ(slot, 19);
  EXPECT_EQ(letter, 'l');
  EXPECT_EQ(length, 5u);
  EXPECT_FALSE(MatchDatagramHeader(" 1|l|", slot, letter, length));
  EXPECT_FALSE(MatchDatagramHeader("1|ll|", slot, letter, length));
  EXPECT_FALSE(MatchDatagramHeader("x|l|", slot, letter, length));
  EXPECT_FALSE(MatchDatagramHeader("", slot, letter, length));
  // A number too large for an int does not match.
  EXPECT_FALSE(MatchDatagramHeader("99999999999|l|", slot, letter, length));
  ASSERT_TRUE(MatchDatagramHeader("2147483647|l|", slot, letter, length));
  EXPECT_EQ(slot, 2147483647);
}

TEST(WireIn, PositionReportFields) {
  ReportFields f;  // views into the text matched: keep the texts alive
  const std::string plain = Report(), longer = Report("1|0|1|0|1", "|1765158000|5");
  const std::string empty = std::string(27, '|') + "0|0|0|0|0|" + std::string(7, '|');
  ASSERT_TRUE(MatchPositionReport(plain, f));
  EXPECT_EQ(f.field[0], "1");
  EXPECT_EQ(f.field[3], "47.5");
  EXPECT_EQ(f.field[26], "0.9");
  EXPECT_EQ(f.field[27], "1");
  EXPECT_EQ(f.field[31], "1");
  EXPECT_EQ(f.field[32], "0.8");
  EXPECT_EQ(f.field[39], "0.7");
  // The eighth throttle may be followed by more fields, which are ignored.
  ASSERT_TRUE(MatchPositionReport(longer, f));
  EXPECT_EQ(f.field[39], "0.7");
  // Empty fields are allowed, except for lights.
  ASSERT_TRUE(MatchPositionReport(empty, f));
  EXPECT_EQ(f.field[0], "");
  EXPECT_EQ(f.field[39], "");
}

TEST(WireIn, MalformedReportsAreRejected) {
  ReportFields f;
  EXPECT_FALSE(MatchPositionReport(Report("10|0|1|0|1"), f));  // two-digit light
  EXPECT_FALSE(MatchPositionReport(Report("a|0|1|0|1"), f));   // not a digit
  EXPECT_FALSE(MatchPositionReport(Report("1|0|1|0"), f));     // a light missing
  EXPECT_FALSE(MatchPositionReport("1|2|3|4|5|6|7|8|9|", f));   // too few fields
  EXPECT_FALSE(MatchPositionReport("", f));
  EXPECT_FALSE(MatchPositionReport(Report().substr(0, Report().size() - 6), f));  // seven throttles
}

TEST(WireIn, StreamLinesAreSplitOnLineBreakRuns) {
  std::string buffer;
  EXPECT_EQ(Feed(buffer, "3|c|Falcon\r\n\r\n\n7|m|hi"), "3|c|Falcon====7|m|hi");
  auto got = Take(buffer);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].number, 3);
  EXPECT_EQ(got[0].letter, 'c');
  EXPECT_EQ(got[0].text, "Falcon");
  EXPECT_EQ(buffer, "7|m|hi");  // waits for the rest of its line
  Feed(buffer, " there|x\n8|p|a/b.acf\n");
  got = Take(buffer);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].text, "hi there|x");
  EXPECT_EQ(got[1].letter, 'p');
  EXPECT_TRUE(buffer.empty());
}

TEST(WireIn, BadHeadTextIsDroppedUpToTheNextLineBreak) {
  std::string buffer;
  // A CR LF split between two reads leaves a leading marker.
  Feed(buffer, "1|c|A\r");
  EXPECT_EQ(Take(buffer).size(), 1u);
  Feed(buffer, "\n2|c|B\n");
  auto got = Take(buffer);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "B");
  // Junk lines, an over-long number and a marker inside a text.
  Feed(buffer, "hello\n99999999999|m|x\n|m|y\n4|m|a====b\n5|m|ok\n");
  got = Take(buffer);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].text, "a");
  EXPECT_EQ(got[1].text, "ok");
  EXPECT_TRUE(buffer.empty());
  // A text ending in "=" leaves "=" behind its marker, and so do lines of "="; no message begins
  // with "=", so the message after them counts.
  Feed(buffer, "1|m|2+2=\n===\n2|c|Bob\n");
  got = Take(buffer);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].text, "2+2");
  EXPECT_EQ(got[1].text, "Bob");
  // Junk without a line break waits, then goes when its break arrives.
  Feed(buffer, "garbage");
  EXPECT_TRUE(Take(buffer).empty());
  EXPECT_EQ(buffer, "garbage");
  Feed(buffer, "\n6|c|C\n");
  got = Take(buffer);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].number, 6);
}

TEST(WireIn, StreamBufferIsCapped) {
  std::string buffer;
  std::string chunk(1400, 'x');
  for (int i = 0; i < 80; ++i) {
    Feed(buffer, chunk);
    Take(buffer);
    ASSERT_LE(buffer.size(), kStreamBufferCap + chunk.size());
  }
  Feed(buffer, "\n9|c|Z\n");
  auto got = Take(buffer);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "Z");
}

TEST(WireIn, ModelDisplayNames) {
  EXPECT_EQ(ModelDisplayName("Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf"), "Cessna_172SP");
  EXPECT_EQ(ModelDisplayName("a/b/KingAir.ACF"), "KingAir");
  EXPECT_EQ(ModelDisplayName("a/b.c/d.Acf"), "d");
  EXPECT_EQ(ModelDisplayName("NoSlash.acf"), "");
  EXPECT_EQ(ModelDisplayName("a/b/NoSuffix"), "");
  EXPECT_EQ(ModelDisplayName(""), "");
}

TEST(WireIn, SeparatorsReplacedUpToFifty) {
  EXPECT_EQ(ReplaceSeparatorsWith("Aircraft/a/b.acf", "/"), "Aircraft/a/b.acf");
  EXPECT_EQ(ReplaceSeparatorsWith("Aircraft/a/b.acf", "\\"), "Aircraft\\a\\b.acf");
  EXPECT_EQ(ReplaceSeparatorsWith("Aircraft/a/b.acf", ":"), "Aircraft:a:b.acf");
  std::string deep;
  for (int i = 0; i < 55; ++i) deep += "d/";
  std::string converted = ReplaceSeparatorsWith(deep, "\\");
  EXPECT_EQ(std::count(converted.begin(), converted.end(), '\\'), 50);
  EXPECT_EQ(std::count(converted.begin(), converted.end(), '/'), 5);
  EXPECT_EQ(converted.substr(converted.size() - 10), "d/d/d/d/d/");
}
