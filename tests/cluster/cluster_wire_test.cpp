// What nodes tell each other through Redis: every message reads back as written, and what a
// stranger writes into Redis reaches no plugin unchecked.
#include "cluster/wire.h"

#include <gtest/gtest.h>

namespace skytether {
namespace {

PilotState Pilot(int id, bool in_view, bool observer, double lat, double lon, std::string callsign,
                 std::string model) {
  PilotState p;
  p.id = id;
  p.in_view = in_view;
  p.observer = observer;
  p.lat = lat;
  p.lon = lon;
  p.callsign = std::move(callsign);
  p.model = std::move(model);
  return p;
}

TEST(ClusterWire, EveryMessageReadsBackAsWritten) {
  Presence snap;
  snap.node = "a1b2c3";
  snap.name = "edge-1.example";
  snap.pilots = {Pilot(7, true, false, 47.123456, -122.5, "Falcon|One= ", "Aircraft/Jet/jet.acf"),
                 Pilot(8, false, true, -90, 180, "", ""),
                 Pilot(2147483647, false, false, 0, 0, "\xc3\xa9t\xc3\xa9", "")};
  for (auto kind : {Presence::Kind::kSnapshot, Presence::Kind::kChanges, Presence::Kind::kBye}) {
    Presence p = snap;
    p.kind = kind;
    if (kind == Presence::Kind::kChanges) p.gone = {9, 0};
    p.watch = {12, 2147483647};
    if (kind == Presence::Kind::kChanges) p.unwatch = {13};
    Presence back;
    ASSERT_TRUE(DecodePresence(EncodePresence(p), &back));
    EXPECT_EQ(back.kind, p.kind);
    EXPECT_EQ(back.node, p.node);
    EXPECT_EQ(back.name, p.name);
    EXPECT_EQ(back.pilots, p.pilots);
    EXPECT_EQ(back.gone, p.gone);
    EXPECT_EQ(back.watch, p.watch);
    EXPECT_EQ(back.unwatch, p.unwatch);
  }
  // A kind of line a later build writes is passed over; the rest of the message holds.
  Presence later;
  ASSERT_TRUE(DecodePresence("C\tn\tn\nZQ\tanything\tat all\nX\t4\n", &later));
  EXPECT_EQ(later.gone, std::vector<int>{4});
  // A batch of positions reads back in order, each datagram byte for byte (line breaks and all);
  // a word weighed under other steps reads as another rule's.
  const std::string rule = RuleDigest("changes: up to 10 km 40/s", true);
  EXPECT_NE(RuleDigest("changes: up to 10 km 30/s", true), rule);
  const std::vector<SharedPosition> sent{{7, 1765000000123456, 5, "7|LOC|1|2"},
                                         {2147483647, 1, -1, "x\n 9 9\ny"}};
  std::string batch;
  for (const SharedPosition &sp : sent) AppendPosition(&batch, "a1b2c3", rule, sp);
  std::string_view node_of, rule_of, rest;
  ASSERT_TRUE(DecodePositionsHead(batch, &node_of, &rule_of, &rest));
  std::string again;
  for (SharedPosition got; NextPosition(&rest, &got);) AppendPosition(&again, node_of, rule_of, got);
  EXPECT_EQ(again, batch);
  EXPECT_TRUE(rest.empty());
  std::string node, text;
  ASSERT_TRUE(DecodeChat(EncodeChat("a1b2c3", "Falcon: 1+1= 2 | ok"), &node, &text));
  EXPECT_EQ(node, "a1b2c3");
  EXPECT_EQ(text, "Falcon: 1+1= 2 | ok");
}

TEST(ClusterWire, WhatAStrangerWritesIsRefusedOrCleaned) {
  Presence out;
  out.name = "kept";
  for (const char *bad :
       {"", "Q\tn\tn\n", "S\tn\n", "S\tn n\tname\n", "S\tn\tna|me\n", "S\tn\tn\nP\t1\tov\t0\t0\t\t\n",
        "S\tn\tn\nP\t1\tvv\t0\t0\t\t\n", "S\tn\tn\nP\t1\tx\t0\t0\t\t\n", "S\tn\tn\nP\t1\t-o\t0\t0\t\t\n",
        "S\tn\tn\nP\t1\tv\t91\t0\t\t\n", "S\tn\tn\nP\t1\tv\t0\tnan\t\t\n", "S\tn\tn\nP\t1\tv\t0\t1e999\t\t\n",
        "S\tn\tn\nP\t-4\tv\t0\t0\t\t\n", "S\tn\tn\nP\t1\tv\t 0\t0\t\t\n", "S\tn\tn\n\nX\t1\n",
        "S\tn\tn\nX\tone\n"}) {
    EXPECT_FALSE(DecodePresence(bad, &out)) << bad;
  }
  EXPECT_EQ(out.name, "kept");

  // A batch cut short or broken keeps the positions before the break and reads nothing after it.
  std::string_view bnode, brule, rest;
  for (const char *bad : {"", "Q\tn\n", "Q\tn n\tr\n", "P\tn\tr\n", "Q\tn\t\n1 2 3 1\nx"})
    EXPECT_FALSE(DecodePositionsHead(bad, &bnode, &brule, &rest)) << bad;
  SharedPosition sp;
  for (const char *bad :
       {"7 1 - 4\nab", "7 1 - 0\n", "7 1 -  2\nab", "-7 1 - 2\nab", "7 1 256 2\nab", "2147483648 1 - 2\nab",
        "7 1 x 2\nab", "7 1 - 2ab", "7  1 - 2\nab", "7 1 - 123456\nab"}) {
    const std::string text = std::string("Q\tn\tr\n3 1 - 2\nok") + bad;
    ASSERT_TRUE(DecodePositionsHead(text, &bnode, &brule, &rest));
    ASSERT_TRUE(NextPosition(&rest, &sp) && sp.datagram == "ok") << bad;
    EXPECT_TRUE(!NextPosition(&rest, &sp) && !rest.empty()) << bad;
  }

  // Texts are cleaned as a client's are: no line breaks, no "====", capped; unsafe models dropped.
  Presence p;
  ASSERT_TRUE(DecodePresence("C\tn\tn\nP\t1\tv\t1\t2\tA\rB====C" + std::string(40, 'x') +
                                 "\t../../etc/passwd.acf\nP\t2\tv\t1\t2\tx\tC:\\Aircraft\\a.acf\n",
                             &p));
  ASSERT_EQ(p.pilots.size(), 2u);
  EXPECT_EQ(p.pilots[0].callsign.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(p.pilots[0].callsign.find("===="), std::string::npos);
  EXPECT_LE(p.pilots[0].callsign.size(), 31u);
  EXPECT_EQ(p.pilots[0].model, "");
  EXPECT_EQ(p.pilots[1].model, "Aircraft/a.acf");
  std::string node, text;
  ASSERT_TRUE(DecodeChat("n\tx: a\nb====" + std::string(400, 'y'), &node, &text));
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(text.find("===="), std::string::npos);
  EXPECT_LE(text.size(), 233u);
  EXPECT_FALSE(DecodeChat("no tab", &node, &text));
  EXPECT_FALSE(DecodeChat("bad node\tx", &node, &text));

  // An operator's action: read back as given (a user ID with blanks and tabs too); a forged one
  // that names no known action, both a uniqueID and a user, or neither, is refused.
  AdminAction ban;
  ban.kind = AdminAction::Kind::kBan;
  ban.user = "ann\t%50 lee";
  ban.seconds = 7200;
  ban.reason = "a\nb";
  ban.by = "one/ops";
  AdminAction back;
  ASSERT_TRUE(DecodeAdmin(EncodeAdmin("n1", ban), &node, &back));
  EXPECT_EQ(node, "n1");
  EXPECT_EQ(back.user, ban.user);
  EXPECT_EQ(back.seconds, 7200);
  EXPECT_EQ(back.reason, "ab");
  EXPECT_EQ(back.by, "one/ops");
  for (const char *bad : {"n\tshoot\tops\t1\t-\t0\t", "n\tkick\tops\t1\tann\t0\t", "n\tkick\tops\t-\t-\t0\t",
                          "n\tban\tops\t-\tann\tsoon\t", "n n\tkick\tops\t1\t-\t0\t", "n\tkick\t\t1\t-\t0\t"})
    EXPECT_FALSE(DecodeAdmin(bad, &node, &back)) << bad;
}

}  // namespace
}  // namespace skytether
