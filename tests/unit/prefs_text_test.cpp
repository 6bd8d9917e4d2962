#include <gtest/gtest.h>

#include "prefs/prefs_text.h"

namespace {
PrefValues Parse(const std::string &text, PrefValues start = PrefValues()) {
  ParsePreferencesText(text, start);
  return start;
}
}  // namespace

TEST(PrefsText, FullFileRoundTrips) {
  const std::string seven =
      "callsign=Falcon;userID=42;password=;flightMode=1;cockpitPosition=2;crewID=7;connectAtStartup=1;";
  const std::string file = seven + "smoothTraffic=0;";
  PrefValues v = Parse(file);
  EXPECT_EQ(v.smoothTraffic, 0);
  EXPECT_EQ(v.callsign, "Falcon");
  EXPECT_EQ(v.userID, "42");
  EXPECT_EQ(v.password, "");
  EXPECT_EQ(v.flightMode, 1);
  EXPECT_EQ(v.cockpitPosition, 2);
  EXPECT_EQ(v.crewID, "7");
  EXPECT_EQ(v.connectAtStartup, 1);
  EXPECT_EQ(FormatPreferencesText(v), file);
  // A chosen server follows the seven pairs, the smoothing key follows it; older readers skip both.
  v.server = "[2001:db8::1]:5000";
  const std::string withServer = seven + "server=[2001:db8::1]:5000;smoothTraffic=0;";
  EXPECT_EQ(FormatPreferencesText(v), withServer);
  EXPECT_EQ(Parse(withServer).server, v.server);
}

TEST(PrefsText, MissingKeysKeepTheirValues) {
  PrefValues start;
  start.callsign = "Old";
  start.cockpitPosition = 3;
  PrefValues v = Parse("userID=42;", start);
  EXPECT_EQ(v.userID, "42");
  EXPECT_EQ(v.callsign, "Old");
  EXPECT_EQ(v.cockpitPosition, 3);
  // Written by an older version, without the smoothing key: smoothing stays on.
  EXPECT_EQ(FormatPreferencesText(v),
            "callsign=Old;userID=42;password=;flightMode=0;cockpitPosition=3;crewID=;connectAtStartup=0;"
            "smoothTraffic=1;");
}

TEST(PrefsText, MalformedPairsStopTheParse) {
  // A ";" inside a value ends it; the rest joins the next key, which then matches no name.
  PrefValues v = Parse("password=a;b;flightMode=1;crewID=9;");
  EXPECT_EQ(v.password, "a");
  EXPECT_EQ(v.flightMode, 0);
  EXPECT_EQ(v.crewID, "9");
  // "=" inside a value is kept.
  EXPECT_EQ(Parse("password=a=b;").password, "a=b");
  // A line feed ends the parse.
  v = Parse("callsign=A;userID=B;password=C;\nflightMode=1;crewID=D;");
  EXPECT_EQ(v.password, "C");
  EXPECT_EQ(v.flightMode, 0);
  EXPECT_EQ(v.crewID, "");
  // A trailing pair without ";" is ignored; keys are case-sensitive; a key seen twice keeps the last.
  EXPECT_EQ(Parse("userID=1;crewID=2").crewID, "");
  EXPECT_EQ(Parse("Callsign=X;").callsign, "");
  EXPECT_EQ(Parse("userID=1;userID=2;").userID, "2");
}

TEST(PrefsText, IntegerValues) {
  PrefValues v = Parse("flightMode=5;cockpitPosition=3;connectAtStartup=abc;");
  EXPECT_EQ(v.flightMode, 5);
  EXPECT_EQ(v.cockpitPosition, 3);
  EXPECT_EQ(v.connectAtStartup, 0);
  // Any non-zero flight mode is written as 1; the other integers as they are.
  EXPECT_NE(FormatPreferencesText(v).find("flightMode=1;cockpitPosition=3;"), std::string::npos);
  v.connectAtStartup = -4;
  EXPECT_NE(FormatPreferencesText(v).find("connectAtStartup=-4;"), std::string::npos);
}

// Only ";" and a line feed keep a value from reading back; "=" and a CR do not.
TEST(PrefsText, ValuesThatDoNotReadBackAreNamed) {
  EXPECT_EQ(UnstorableCharacters("plain = text\r 123"), "");
  EXPECT_EQ(UnstorableCharacters("a;b;"), "\";\"");
  EXPECT_EQ(UnstorableCharacters("a\nb=c;d"), "line feeds or \";\"");
  PrefValues v;
  v.password = "a=b=";
  v.crewID = "x\ry";
  v.flightMode = 5;
  EXPECT_TRUE(PreferencesReadBack(v));
  v.callsign = std::string(990, 'c');  // past what a load reads
  EXPECT_FALSE(PreferencesReadBack(v));
}
