// The server's wire codec, fed from buffers exactly as the sockets feed it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "json.h"
#include "core/address.h"
#include "core/admin.h"
#include "core/bans.h"
#include "core/codec.h"
#include "core/feed_text.h"
#include "core/rate.h"
#include "core/relay_rates.h"
#include "core/status.h"
#include "http/request.h"
#include "http/server.h"
#include "position_text.h"

using namespace skytether;

// Feeds chunks the way a session accumulates reads; "!" marks a refused line.
static std::vector<std::string> Split(const std::vector<std::string> &chunks, std::string *rest = nullptr) {
  std::string buf;
  std::vector<std::string> out;
  for (const std::string &chunk : chunks) {
    buf += chunk;
    std::string_view line;
    std::size_t used = 0;
    for (SplitResult r; (r = SplitLine(buf, &line, &used)) != SplitResult::kNeedMore; buf.erase(0, used)) {
      out.push_back(r == SplitResult::kBad ? "!" : std::string(line));
    }
  }
  if (rest) *rest = buf;
  return out;
}

TEST(SplitLine, LineBreaksAndSplitReads) {
  std::string rest;
  EXPECT_EQ(Split({"1|A|\n2|B|\r\n3|x\r\r\n\r\n"}), (std::vector<std::string>{"1|A|", "2|B|", "3|x", ""}));
  EXPECT_EQ(Split({"12|MESS", "AGE|hi\r", "\n12|MESSAGE|again\n7|"}, &rest),
            (std::vector<std::string>{"12|MESSAGE|hi", "12|MESSAGE|again"}));
  EXPECT_EQ(rest, "7|");
}

TEST(SplitLine, FourKiBIncludingTheTerminator) {
  EXPECT_EQ(Split({std::string(kMaxLine - 1, 'a') + "\n"}), (std::vector<std::string>{std::string(kMaxLine - 1, 'a')}));
  EXPECT_EQ(Split({std::string(kMaxLine, 'a') + "\n"}).at(0), "!");
  std::string rest;
  EXPECT_TRUE(Split({std::string(kMaxLine - 1, 'b')}, &rest).empty()) << "still waiting under the limit";
  EXPECT_EQ(Split({std::string(kMaxLine - 1, 'b'), "b"}), (std::vector<std::string>{"!"})) << "no end in sight";
}

TEST(ParseId, OnlyPlainNonNegativeInts) {
  int id = -1;
  EXPECT_TRUE(ParseId("2147483647", &id) && id == 2147483647);
  for (const char *bad : {"", "-1", "+1", "2147483648", "99999999999", "12a", " 1"}) EXPECT_FALSE(ParseId(bad, &id)) << bad;
}

TEST(ParseClientLine, EveryKindGoodAndBad) {
  const std::string tok = "bd3faf31d0b110084c38a04fcc67e9ed";
  struct Case {
    std::string line;
    LineKind kind;
    std::string text;  // user for logins, else the text
  } cases[] = {
      {"1234|Opening Connection|pilot|" + tok + "|", LineKind::kLogin, "pilot"},
      {"5|Opening Connection|a|b|" + tok + "|", LineKind::kLogin, "a|b"},  // nothing is escaped
      {"5|Opening Connection||" + tok + "|", LineKind::kLogin, ""},
      {"1|Opening Connection|pilot|" + tok, LineKind::kMalformed, ""},                 // no final "|"
      {"1|Opening Connection|pilot|BD3FAF31D0B110084C38A04FCC67E9ED|", LineKind::kMalformed, ""},
      {"1|Opening Connection|pilot|" + tok.substr(1) + "|", LineKind::kMalformed, ""},  // 31 chars
      {"1|Opening Connection|" + tok + "|", LineKind::kMalformed, ""},                  // no user field
      {"7|Closing Connection", LineKind::kLogout, ""},
      {"7|Closing Connection|", LineKind::kMalformed, ""},
      {"7|PLANE|C:\\Sim\\liner.acf", LineKind::kModel, "C:\\Sim\\liner.acf"},
      {"7|PLANE", LineKind::kMalformed, ""},
      {"7|CALLSIGN|N123|", LineKind::kCallsign, "N123"},
      {"7|CALLSIGN|a|b|", LineKind::kCallsign, "a|b"},
      {"7|CALLSIGN||", LineKind::kCallsign, ""},
      {"7|CALLSIGN|N123", LineKind::kMalformed, ""},
      {"7|VOCALLSIGN|Tower|", LineKind::kVoCallsign, "Tower"},
      {"7|MESSAGE|hello | there", LineKind::kChat, "hello | there"},
      {"7|MESSAGE|", LineKind::kChat, ""},
      {"7|FOO|bar", LineKind::kUnknown, ""},
      {"7|LOC|1|2", LineKind::kUnknown, ""},  // positions travel by datagram only
      {"x|MESSAGE|hi", LineKind::kMalformed, ""},
      {"hello", LineKind::kMalformed, ""},
  };
  for (const Case &c : cases) {
    ClientLine m = ParseClientLine(c.line);
    ASSERT_EQ(m.kind, c.kind) << c.line;
    if (c.kind == LineKind::kMalformed || c.kind == LineKind::kUnknown) continue;
    EXPECT_EQ(m.id, std::stoi(c.line)) << c.line;
    EXPECT_EQ(std::string(c.kind == LineKind::kLogin ? m.user : m.text), c.text) << c.line;
    if (c.kind == LineKind::kLogin) {
      EXPECT_EQ(m.token, tok);
    }
  }
}

TEST(ParsePosition, TheLineThePluginSends) {
  std::string text = PositionText(4321, false, 47.5, -122.25);
  Position p;
  ASSERT_TRUE(ParsePosition(text, &p));
  EXPECT_EQ(p.id, 4321);
  EXPECT_FALSE(p.observer);
  EXPECT_DOUBLE_EQ(p.latitude, 47.5);
  EXPECT_DOUBLE_EQ(p.longitude, -122.25);
  EXPECT_EQ(std::string(p.values), text.substr(9)) << "the original bytes after \"4321|LOC|\"";
  ASSERT_TRUE(ParsePosition(PositionText(9, true, 0, 0), &p));
  EXPECT_TRUE(p.observer);
  // The float range's ends, as "%.9g" writes them, are values like any other.
  std::vector<std::string> extremes = PositionValues(47.5, 8.5);
  extremes[0] = "3.40282347e+38";
  extremes[1] = "-3.40282347e+38";
  extremes[2] = "1.40129846e-45";
  extremes[6] = std::string(38, '9');
  EXPECT_TRUE(ParsePosition(PositionTextFrom(9, false, extremes), &p));
  // Other spellings of values inside the range, on both sides of the quick magnitude test.
  for (const std::string &v : {std::string("0.34e39"), std::string("99999999e30"), std::string("1e-400"),
                               std::string(45, '0') + "1e38", "0." + std::string(60, '0') + "1e37"}) {
    std::vector<std::string> values = PositionValues(47.5, 8.5);
    values[7] = v;
    EXPECT_TRUE(ParsePosition(PositionTextFrom(9, false, values), &p)) << v;
  }
}

TEST(ParsePosition, ReadsEveryNumberAsFromCharsDoes) {
  // The motion values and the microseconds are read as they are checked: any spelling, any number
  // of digits, any exponent must give the very double a full reading gives.
  std::mt19937_64 rng(77);
  const char *signs[] = {"", "-", "+"};
  int checked = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string digits = std::to_string(rng() % 10000000000000000000ull);
    digits = digits.substr(0, 1 + rng() % digits.size());
    if (rng() % 4 == 0) digits.insert(0, std::string(rng() % 4, '0'));
    const std::size_t point = rng() % (digits.size() + 1);
    std::string text = std::string(signs[rng() % 3]) + digits.substr(0, point) + "." + digits.substr(point);
    if (text.back() == '.' && rng() % 2) text.pop_back();
    if (rng() % 3 == 0) text += (rng() % 2 ? "e" : "E") + std::to_string(int(rng() % 50) - 30);
    std::vector<std::string> values = PositionValues(47.5, 8.5);
    for (int i : {6, 7, 8, 41}) values[i] = text;
    Position p;
    if (!ParsePosition(PositionTextFrom(9, false, values), &p)) continue;  // out of range: nothing to compare
    double want = 0;
    ASSERT_TRUE(ReadDecimal(text, &want)) << text;
    for (int i = 3; i < 6; ++i) ASSERT_EQ(std::memcmp(&p.motion_values[i], &want, sizeof want), 0) << text;
    ASSERT_EQ(p.micros_value, want) << text;
    ++checked;
  }
  EXPECT_GT(checked, 10000);
  Position p;
  const std::string fine = PositionText(9, false, 47.123456789, -0.00012345678);  // p's texts point into it
  ASSERT_TRUE(ParsePosition(fine, &p));
  double lat = 0, lon = 0;
  ASSERT_TRUE(ReadDecimal(p.motion[0], &lat) && ReadDecimal(p.motion[1], &lon));
  EXPECT_EQ(p.latitude, lat);
  EXPECT_EQ(p.longitude, lon);
  EXPECT_EQ(p.degree_digits[0], SignificantDigits(p.motion[0]));
  EXPECT_EQ(p.degree_digits[1], SignificantDigits(p.motion[1]));
}

TEST(ParsePosition, RefusesWrongShapesAndLeavesTheOutputAlone) {
  const std::vector<std::string> good = PositionValues(47.5, 8.5);
  auto with = [&](int index, const std::string &value) {
    std::vector<std::string> v = good;
    v[index] = value;
    return PositionTextFrom(1, false, v);
  };
  std::string nul = PositionTextFrom(1, false, good);
  nul.back() = '\0';
  const std::string tail = PositionTextFrom(1, false, good).substr(6);
  const std::string bad[] = {
      PositionTextFrom(1, false, std::vector<std::string>(good.begin(), good.end() - 1)),  // 41 values
      PositionTextFrom(1, false, good) + "|1",                                              // 43 values
      PositionTextFrom(1, false, good) + "|",                                               // trailing bar
      with(0, "abc"), with(10, ""), with(41, "nan"), with(5, "1,5"), with(6, "0x1p3"),
      with(27, "10"), with(31, "-1"), with(29, "1.0"),    // lights are single digits
      with(3, "91"), with(4, "-180.5"),                   // latitude, longitude
      with(5, "-1000.5"), with(5, "100001"), with(5, "3.4e38"),  // elevation
      with(0, std::string(kMaxDatagram, '1')),            // over-long datagram
      with(0, "1e39"), with(33, "-3.5e38"), with(2, "1e999"), with(8, std::string(39, '9')),  // float overflow
      with(9, "0.5e39"), with(10, "99e37"), with(11, "1e100000000000"), with(12, "-4" + std::string(38, '0') + ".5"),
      nul, "1|LOC", "", "1|LOCX|" + tail, "-1|LOC|" + tail, "1|MESSAGE|" + tail,
  };
  Position p;
  p.id = -7;
  for (const std::string &b : bad) EXPECT_FALSE(ParsePosition(b, &p)) << b;
  EXPECT_EQ(p.id, -7);
}

TEST(IsDecimalNumber, FormsThatPrintfWrites) {
  for (const char *s : {"0", "-0", "1.5", "1e+09", "1.70000013e+09", "-3.40282347e+38", "5.", ".5", "+2", "1E-05"}) {
    EXPECT_TRUE(IsDecimalNumber(s)) << s;
  }
  for (const char *s : {"", "-", ".", "e5", "1e", "1e+", "inf", "1 ", "1.2.3", "--1"}) EXPECT_FALSE(IsDecimalNumber(s)) << s;
}

TEST(SanitizeText, NoLineBreaksNoMarkerCapped) {
  EXPECT_EQ(SanitizeText("a\r\nb\nc\rd", 100), "abcd");
  EXPECT_EQ(SanitizeText(std::string("x\0y", 3), 100), "xy");
  EXPECT_EQ(SanitizeText("a====b==========", 100), "a===b=== ");
  EXPECT_EQ(SanitizeText("==\n==x", 100), "===x") << "a removed byte must not join two runs";
  EXPECT_EQ(SanitizeText("pipes|stay", 4), "pipe");
  EXPECT_EQ(SanitizeText("ab\xc3\xa9", 3), "ab") << "no half UTF-8 character at a cut";
  EXPECT_EQ(SanitizeText("ab\xc3\xa9", 4), "ab\xc3\xa9");
  // A final "=" would join the line marker that follows the text on the plugin's side.
  EXPECT_EQ(SanitizeText("1+1=", 100), "1+1= ");
  EXPECT_EQ(SanitizeText("abc===", 100), "abc=== ");
  EXPECT_EQ(SanitizeText("abc=", 4), "abc ") << "the cap holds";
  EXPECT_EQ(SanitizeText("=", 100), "= ");
}

TEST(RelativeModelPath, FromTheLastAircraftDirectory) {
  const std::pair<std::string, std::string> cases[] = {
      {"/home/u/Sim/Aircraft/General Aviation/Trainer/Trainer.acf",
       "Aircraft/General Aviation/Trainer/Trainer.acf"},
      {"C:\\Sim\\Aircraft\\Fleet\\Liner\\liner.acf", "Aircraft/Fleet/Liner/liner.acf"},
      {"/x/Aircraft/old/Aircraft/new/a.ACF", "Aircraft/new/a.ACF"},
      {"models\\jet.acf", "models/jet.acf"},  // no Aircraft directory, relative: separators only
      {"Aircraft/a\r\n/b====c.acf", "Aircraft/a/b===c.acf"},
      {"\\\\host\\Aircraft\\jet.acf", "Aircraft/jet.acf"},
      // As long as a host's own path buffer allows.
      {"/s/Aircraft/" + std::string(498, 'a') + ".acf", "Aircraft/" + std::string(498, 'a') + ".acf"},
      // Unusable: empty, not a model, climbing out, too long, and what names a place of the
      // receiver's own once no Aircraft directory is cut away: a root, a drive, a share.
      {"", ""},
      {"/home/u/Aircraft/plane.obj", ""},
      {"/home/u/Aircraft/../../etc/x.acf", ""},
      {"..\\x.acf", ""},
      {"Aircraft/" + std::string(499, 'a') + ".acf", ""},
      {"/etc/secret/x.acf", ""},
      {"D:\\models\\jet.acf", ""},
      {"d:jet.acf", ""},
      {"\\\\host\\share\\jet.acf", ""},
      {"//host/share/jet.acf", ""},
      {"/a/b/Aircraft.acf", ""},  // Aircraft.acf is a file, not a directory: nothing is cut
  };
  for (const auto &c : cases) EXPECT_EQ(RelativeModelPath(c.first), c.second) << c.first;
}

TEST(Notices, FormatsAndToken) {
  EXPECT_EQ(CallsignNotice(3, "N123"), "3|c|N123\n");
  EXPECT_EQ(CallsignNotice(19, ""), "19|c|BLANK\n");
  EXPECT_EQ(ModelNotice(2, ""), "2|p|BLANK\n");
  EXPECT_EQ(ChatNotice("Bob: hi"), "0|m|Bob: hi\n");
  EXPECT_EQ(ReportHeader(19), "19|l|");
  EXPECT_EQ(ReportHeader(20), "");
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
  taken = 0;
  for (int i = 0; i < 100; ++i) taken += gate.Take(1000.0);
  EXPECT_EQ(taken, 10) << "refill stops at the burst";
}

TEST(StatusTexts, FeedIsValidJsonWhateverBytesACallsignHolds) {
  EXPECT_EQ(JsonString("a\"\\\x01\x7f"), "\"a\\\"\\\\\\u0001\\u007f\"");
  EXPECT_EQ(JsonString("\xc3\xa9\xe2\x82\xac\xf0\x9f\x9b\xa9"), "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x9b\xa9\"");
  // Stray, overlong, surrogate and cut sequences each become U+FFFD, byte by byte.
  EXPECT_EQ(JsonString("\xff\xc0\xaf\xed\xa0\x80x\xe2\x82"),
            "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffdx\\ufffd\\ufffd\"");
  EXPECT_EQ(ModelDisplayName("Aircraft/Jets/Liner/liner.acf"), "liner");
  EXPECT_EQ(ModelDisplayName(""), "");

  // Only pilots in view with a place are listed; observers are counted; unknowns are null.
  StatusSnapshot s;
  s.node = "n1";
  s.version = "1.2.3";
  StatusPilot flying, remote, observer, parked;
  flying.id = 1234567, flying.feed_id = 7;
  flying.in_view = flying.has_position = flying.has_attitude = true, flying.heading = 90;
  flying.age = 0.25;
  remote = flying;
  remote.feed_id = 8, remote.local = false, remote.node = "n2", remote.has_attitude = false, remote.age = -1;
  observer = flying;
  observer.feed_id = 9, observer.observer = true;
  parked.feed_id = 10;
  s.pilots = {flying, remote, observer, parked};
  const std::string feed = StatusJson(s);
  EXPECT_NE(feed.find("\"counts\":{\"pilots\":2,\"pilots_connected\":3,\"observers\":1,\"clients_here\":3,"), std::string::npos)
      << feed;
  EXPECT_NE(feed.find("{\"id\":7,"), std::string::npos);
  EXPECT_EQ(feed.find("1234567"), std::string::npos) << "never the uniqueID";
  EXPECT_NE(feed.find("\"heading\":90.0,\"age\":0.2"), std::string::npos) << feed;
  EXPECT_NE(feed.find("\"node\":\"n2\",\"latitude\":0.000000,\"longitude\":0.000000,\"elevation\":null,\"heading\":null,\"age\":null}"),
            std::string::npos)
      << feed;
  EXPECT_EQ(feed.find("\"id\":9"), std::string::npos);
  EXPECT_EQ(feed.find("\"id\":10"), std::string::npos);

  // The plain-text feed: no pilot text turns a line into a comment or a section, or starts one,
  // so the readers' count of pilot lines is the header's.
  std::vector<StatusPilot> tricky;
  for (const char *callsign : {";hidden", "!SERVERS:", " ;x", "a\n!GENERAL:", "", "ok"}) {
    StatusPilot p = flying;
    p.callsign = callsign;
    p.node = callsign;
    tricky.push_back(p);
  }
  s.pilots = tricky;
  s.node = "!n1";
  std::istringstream text(FeedText(s));
  std::string line, section;
  std::size_t listed = 0, said = 0;
  for (int number = 1; std::getline(text, line); ++number) {
    if (line[0] == ';') {
      EXPECT_EQ(number, 1) << line;
    } else if (line[0] == '!') {
      section = line;
      EXPECT_TRUE(line == "!GENERAL:" || line == "!CLIENTS:" || line == "!SERVERS:") << line;
    } else if (line.rfind("CONNECTED CLIENTS = ", 0) == 0) {
      said = std::stoul(line.substr(20));
    } else if (section == "!CLIENTS:") {
      EXPECT_EQ(std::count(line.begin(), line.end(), ':'), kFeedTextClientFields) << line;
      ++listed;
    }
    EXPECT_NE(line[0], ' ') << line;
  }
  EXPECT_EQ(listed, tricky.size());
  EXPECT_EQ(said, listed);
}

TEST(StatusTexts, FeedParsesWhateverTextsPilotsSend) {
  // Random callsigns and model paths, taken as the server takes them, each in a feed a strict
  // reader must parse, with the texts as relayed (bytes that are not UTF-8 shown as U+FFFD).
  std::mt19937 random(27);
  auto text = [&random](std::size_t max) {
    std::string s(random() % (max + 1), ' ');
    for (char &c : s) c = static_cast<char>(random() % 4 == 0 ? 0x80 + random() % 128 : random() % 128);
    return s;
  };
  for (int round = 0; round < 300; ++round) {
    StatusSnapshot s;
    s.node = "n1";
    StatusPilot p;
    p.in_view = p.has_position = true;
    p.callsign = SanitizeText(text(64), kMaxCallsign);
    p.model = RelativeModelPath("Aircraft/" + text(round % 2 ? 40 : kMaxPath - 9) + ".acf");
    s.pilots = {p};
    const std::string json = StatusJson(s);
    harness::Json feed;
    ASSERT_TRUE(harness::ParseStrictJson(json, feed)) << json;
    ASSERT_EQ(feed["pilots"].size(), 1u);
    const bool utf8 = JsonString(p.callsign).find("\\ufffd") == std::string::npos;
    if (utf8) {
      EXPECT_EQ(feed["pilots"][0]["callsign"].text, p.callsign);
    }
    EXPECT_LE(json.size(), 200 + 6 * (kMaxCallsign + 2 * kMaxPath + kMaxNodeName))
        << "bounded before escaping";
  }
}

TEST(HttpRequestReader, ReadsAHeadAndRefusesWhatItMust) {
  HttpRequest r;
  std::size_t used = 0;
  const std::string get = "GET /v1/status%2Ejson?x=1 HTTP/1.1\r\nHost:  a \r\nno colon\r\n\r\nbody";
  ASSERT_EQ(ReadRequest(get, {}, &r, &used), ReadStatus::kDone);
  EXPECT_EQ(r.path, "/v1/status.json");
  EXPECT_EQ(r.query, "x=1");
  EXPECT_EQ(r.Header("host"), "a");
  EXPECT_EQ(r.headers.size(), 1u) << "a line without ':' is skipped";
  EXPECT_EQ(used, get.size() - 4);
  for (std::size_t n = 0; n < used; ++n) EXPECT_EQ(ReadRequest(get.substr(0, n), {}, &r), ReadStatus::kNeedMore) << n;

  for (const char *bad : {"GET /metrics HTTP/1.1\n\n", "get / HTTP/1.1\r\n\r\n", "GET / HTTP/2.0\r\n\r\n",
                          "GET / HTTP/1.1 x\r\n\r\n", "\r\n\r\n"})
    EXPECT_EQ(ReadRequest(bad, {}, &r), ReadStatus::kBad) << bad;
  const RequestLimits small{64, 32};
  EXPECT_EQ(ReadRequest("GET /" + std::string(40, 'a'), small, &r), ReadStatus::kUriTooLong);
  EXPECT_EQ(ReadRequest("GET / HTTP/1.1\r\nX: " + std::string(40, 'a'), small, &r), ReadStatus::kBad);
  std::string many = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 8; ++i) many += "A: 1\r\n";
  EXPECT_EQ(ReadRequest(many, small, &r), ReadStatus::kBad) << "short lines, but past the head's cap";

  // The allowance's address: a named proxy's request counts for the entry the proxy appended last,
  // never for what the client wrote before it; anyone else's for its own address.
  const std::vector<std::string> proxies{"127.0.0.5"};
  ASSERT_EQ(ReadRequest("GET / HTTP/1.1\r\nX-Forwarded-For: 10.0.0.9, 192.0.2.7 \r\n\r\n", {}, &r),
            ReadStatus::kDone);
  EXPECT_EQ(ClientAddress(r, "127.0.0.5", proxies), "192.0.2.7");
  EXPECT_EQ(ClientAddress(r, "127.0.0.6", proxies), "127.0.0.6");
  ASSERT_EQ(ReadRequest("GET / HTTP/1.1\r\nX-Forwarded-For: nonsense\r\n\r\n", {}, &r), ReadStatus::kDone);
  EXPECT_EQ(ClientAddress(r, "127.0.0.5", proxies), "127.0.0.5");
  // Addresses as the log and the lists write them: IPv6 short, with its port in brackets.
  auto v6 = [](std::vector<int> groups) {
    IpAddr a;
    a.v6 = true;
    for (int i = 0; i < 8; ++i) a.bytes[2 * i] = groups[i] >> 8, a.bytes[2 * i + 1] = groups[i] & 0xff;
    return a;
  };
  EXPECT_EQ((Endpoint{v6({0, 0, 0, 0, 0, 0, 0, 1}), 38295}).ToString(), "[::1]:38295");
  EXPECT_EQ(v6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}).ToString(), "2001:db8::1:0:0:1") << "the first of equal runs";
  EXPECT_EQ(v6({0x2001, 0xdb8, 0, 1, 0, 0, 0, 0}).ToString(), "2001:db8:0:1::") << "the longest run";
  EXPECT_EQ(v6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}).ToString(), "2001:db8:0:1:1:1:1:1") << "one zero group stays";
  EXPECT_EQ(v6({0, 0, 0, 0, 0, 0, 0, 0}).ToString(), "::");
  EXPECT_EQ((Endpoint{IpAddr::V4(192, 0, 2, 7), 80}).ToString(), "192.0.2.7:80");
  // Guesses are counted per network too: a /24, or the /64 that an IPv6 client picks addresses in.
  EXPECT_EQ(NetworkOf("192.0.2.77"), "192.0.2.0/24");
  EXPECT_EQ(NetworkOf("2001:db8:1:2:3:4:5:6"), "2001:db8:1:2::/64");

  // A listener on every address takes any address in Host, and only this machine's names.
  // One on loopback, its own address and name only.
  for (const auto &[host, loopback] : std::vector<std::pair<std::string, bool>>{
           {"[::1]:49557", true}, {"localhost:80", true}, {"192.0.2.7", false}, {"[2001:db8::1]", false},
           {"node-1.", false}}) {
    ASSERT_EQ(ReadRequest("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n", {}, &r), ReadStatus::kDone);
    EXPECT_TRUE(SameHost(r, {"::", "localhost", "node-1"}, true)) << host;
    EXPECT_EQ(SameHost(r, {"::1", "localhost"}, false), loopback) << host;
  }
  for (const char *host : {"[::1", "::1", "a:b:80", "node-1:http", "rebound.example"}) {
    ASSERT_EQ(ReadRequest("GET / HTTP/1.1\r\nHost: " + std::string(host) + "\r\n\r\n", {}, &r), ReadStatus::kDone);
    EXPECT_FALSE(SameHost(r, {"::", "localhost", "node-1"}, true)) << host;
  }
}

TEST(HttpRequestReader, AnswersCarryTheirHeadersInNameOrder) {
  HttpResponse r;
  r.status = 405;
  r.headers = {{"X-Content-Type-Options", "nosniff"}, {"Allow", "GET, HEAD"}, {"Cache-Control", "no-store"}};
  r.body = "read-only\n";
  EXPECT_EQ(ResponseText(r, false),
            "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\nCache-Control: no-store\r\nConnection: "
            "close\r\nContent-Length: 10\r\nContent-Type: text/plain\r\nX-Content-Type-Options: nosniff\r\n\r\n"
            "read-only\n");
  EXPECT_EQ(ResponseText(r, true).find("read-only"), std::string::npos) << "HEAD: the length, not the body";
}

// The ban file reads back as written, and a bad one is refused whole with its line numbers; a
// timed ban ends by itself.
TEST(OperatorFiles, BanListTokensAndForms) {
  BanList bans;
  std::vector<std::string> problems;
  ASSERT_TRUE(
      bans.Parse("# bans\nann%20lee\tnever\t2026-12-08T15:02:41Z\tops\tspam: chat\n"
                 "bob\t2026-12-09T15:02:41Z\t2026-12-08T15:02:41Z\tops\t\n",
                 &problems));
  double t = 0;
  ASSERT_TRUE(ReadUtcTime("2026-12-09T15:02:41Z", &t));
  ASSERT_NE(bans.Find("ann lee", t + 1e9), nullptr);
  EXPECT_EQ(bans.Find("ann lee", 0)->reason, "spam: chat");
  EXPECT_NE(bans.Find("bob", t - 1), nullptr);
  EXPECT_EQ(bans.Find("bob", t), nullptr) << "its time is up";
  BanList again;
  ASSERT_TRUE(again.Parse(bans.Text(), &problems));
  EXPECT_EQ(again.Text(), bans.Text());
  EXPECT_FALSE(
      again.Parse("bob\tsoon\t2026-12-08T15:02:41Z\tops\t\nok\tnever\t2026-02-30T00:00:00Z\tops\t\n"
                  "\nx\tnever\t2026-12-08T15:02:41Z\tops\tr\nx\tnever\t2026-12-08T15:02:41Z\tops\tr\n",
                  &problems));
  ASSERT_EQ(problems.size(), 3u);
  EXPECT_EQ(problems[0].rfind("line 1: until", 0), 0u) << problems[0];
  EXPECT_EQ(problems[1].rfind("line 2: given", 0), 0u) << problems[1];
  EXPECT_EQ(problems[2], "line 5: userID \"x\" banned twice (first on line 4)");
  EXPECT_EQ(again.Text(), bans.Text()) << "a refused file changes nothing";
  problems.clear();
  EXPECT_FALSE(again.Parse("x\t1970-01-01T00:00:00Z\t2026-12-08T15:02:41Z\tops\t\n"
                           "y\tnever\t2026-12-08T15:02:41Z\tops\t\tip=10.0.0.1 id=x\n",
                           &problems));
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0], "line 1: until is not after given: a ban for good says never") << "not never";
  EXPECT_EQ(problems[1].rfind("line 2: what the ban holds", 0), 0u) << problems[1];

  // Without accounts: user IDs fold, and a ban holds the addresses and uniqueIDs it names. A
  // byte order mark is not part of the first user ID.
  BanList open(true);
  ASSERT_TRUE(open.Parse("\xef\xbb\xbf" "Ann%20Lee\tnever\t2026-12-08T15:02:41Z\tops\t\tip=10.0.0.1 ip=2001:db8::1 id=7\n"
                         "ANNLEE\t2026-12-09T15:02:41Z\t2026-12-08T15:02:41Z\tops\t\n"
                         "bob\t2026-12-09T15:02:41Z\t2026-12-08T15:02:41Z\tops\t\n",
                         &problems));
  ASSERT_EQ(open.size(), 2u) << "the longer of two that fold alike";
  IpAddr v6, elsewhere = IpAddr::V4(10, 0, 0, 2);
  ASSERT_TRUE(IpAddr::Parse("2001:db8::1", &v6));
  EXPECT_NE(open.Find("annlee ", &elsewhere, 1, t), nullptr);
  EXPECT_NE(open.Find("ann2", &v6, 1, t), nullptr) << "another name, the same address";
  EXPECT_NE(open.Find("ann3", &elsewhere, 7, t), nullptr) << "another name, the same uniqueID";
  EXPECT_EQ(open.Find("ann4", &elsewhere, 8, t), nullptr);
  EXPECT_EQ(open.Page("", 1).size(), 1u);
  EXPECT_EQ(open.Page("annlee", 5).at(0)->user, "bob");
  EXPECT_TRUE(open.Expire(t) && open.size() == 1) << "bob's time is up";
  BanList written(true);
  ASSERT_TRUE(written.Parse(open.Text(), &problems));
  EXPECT_EQ(written.Text(), open.Text());
  EXPECT_TRUE(open.Lift("Ann Lee") && open.Find("x", &v6, 7, t) == nullptr) << "lifted with what it held";

  AdminTokens tokens;
  problems.clear();
  EXPECT_FALSE(tokens.Parse("ops short\nops 0123456789abcdef\nops 0123456789abcdefX\nci aaaaaaaaaaaaaaaaaaaaaaaa\n"
                            "ci2 0101010101010101010101010101\nci3 0123456789 abcdefghij\n",
                            &problems));
  ASSERT_EQ(problems.size(), 5u);
  EXPECT_NE(problems[2].find("line 4: the token of ci has fewer than 16 different bytes"), std::string::npos);
  EXPECT_NE(problems[3].find("line 5: the token of ci2 has fewer"), std::string::npos);
  EXPECT_EQ(problems[4], "line 6: the token of ci3 holds a blank: a token is one word");
  ASSERT_TRUE(tokens.Parse("# who\nops  0123456789abcdef \nci fedcba9876543210fedcba\n", &problems));
  ASSERT_NE(tokens.NameOf("fedcba9876543210fedcba"), nullptr);
  EXPECT_EQ(*tokens.NameOf("0123456789abcdef"), "ops");
  for (const char *wrong :
       {"", "0123456789abcde", "0123456789abcdef0", "1123456789abcdef", "fedcba9876543210fedcbA"})
    EXPECT_EQ(tokens.NameOf(wrong), nullptr) << wrong;

  std::map<std::string, std::string> form;
  AdminAction a;
  std::string error;
  ASSERT_TRUE(ParseForm("user=ann+lee%21&duration=2h&reason=", &form));
  ASSERT_TRUE(ActionFromForm(AdminAction::Kind::kBan, form, &a, &error)) << error;
  EXPECT_EQ(a.user, "ann lee!");
  EXPECT_EQ(a.seconds, 7200);
  EXPECT_FALSE(ParseForm("a=%zz", &form));
  EXPECT_FALSE(ParseForm("a=1&a=2", &form));
  for (const char *bad : {"", "id=1&user=x", "id=-1", "id=x", "user=x&colour=red"}) {
    ASSERT_TRUE(ParseForm(bad, &form));
    EXPECT_FALSE(ActionFromForm(AdminAction::Kind::kKick, form, &a, &error)) << bad;
  }
  for (const char *bad : {"user=x&duration=400d", "user=x&duration=0", "user=x&duration=0m", "user=x&duration="}) {
    ASSERT_TRUE(ParseForm(bad, &form));
    EXPECT_FALSE(ActionFromForm(AdminAction::Kind::kBan, form, &a, &error)) << bad << ": above 0, at most a year";
  }

  // A body is read by its Content-Length only.
  HttpRequest r;
  std::size_t length = 0;
  r.headers = {{"Content-Length", "12"}};
  EXPECT_TRUE(BodyLength(r, &length) && length == 12);
  for (auto headers : std::vector<std::vector<std::pair<std::string, std::string>>>{
           {{"Transfer-Encoding", "chunked"}},
           {{"Content-Length", "1"}, {"content-length", "1"}},
           {{"Content-Length", "+5"}},
           {{"Content-Length", "1234567890"}}}) {
    r.headers = headers;
    EXPECT_FALSE(BodyLength(r, &length)) << headers[0].first;
  }
}
