// The hand-written matchers against the regular expressions that define the messages: the same
// texts accepted, the same fields captured.
#include <gtest/gtest.h>

#include <random>

#include "net/wire.h"
#include "prefs/prefs_text.h"
#include "reference_patterns.h"

namespace {

// Texts built from the characters that matter to the patterns, with real reports among them.
class TextMaker {
 public:
  explicit TextMaker(unsigned start) : rng_(start) {}
  std::string Noise(size_t maxLength) {
    static const char alphabet[] = "0123456789||||||..--e+\n\r=\0xL_ ";
    std::uniform_int_distribution<size_t> len(0, maxLength), pick(0, sizeof alphabet - 2);
    std::string s(len(rng_), ' ');
    for (char &c : s) c = alphabet[pick(rng_)];
    return s;
  }
  std::string Field() {
    switch (Pick(6)) {
      case 0: return "";
      case 1: return std::to_string(Pick(100));
      case 2: return "-" + std::to_string(Pick(1000)) + "." + std::to_string(Pick(1000));
      case 3: return "1.5e-05";
      case 4: return Noise(4);
      default: return "47.4502258";
    }
  }
  std::string Report() {
    std::string s;
    for (int i = 0; i < 27; ++i) s += Field() + "|";
    for (int i = 0; i < 5; ++i) s += (Pick(10) == 0 ? Field() : std::to_string(Pick(10))) + "|";
    for (int i = 0; i < 8; ++i) s += Field() + (i < 7 ? "|" : "");
    switch (Pick(5)) {
      case 0: s += "|" + Field() + "|" + Field(); break;
      case 1: s += "\n"; break;
      case 2: s += Noise(3); break;
      default: break;
    }
    // Now and then damage it.
    if (Pick(4) == 0 && !s.empty()) {
      size_t at = Pick(unsigned(s.size()));
      s.erase(at, Pick(3));
    }
    return s;
  }
  unsigned Pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }

 private:
  std::mt19937 rng_;
};

void ExpectSameReport(const std::string &rest) {
  std::string expected[40];
  ReportFields got;
  bool want = reference::MatchPositionReport(rest, expected);
  ASSERT_EQ(MatchPositionReport(rest, got), want) << rest;
  if (!want) return;
  for (int i = 0; i < 40; ++i) ASSERT_EQ(std::string(got.field[i]), expected[i]) << i << " in " << rest;
}

void ExpectSameHeader(const std::string &text) {
  int wantSlot = 0, gotSlot = 0;
  std::string wantLetter, wantRest;
  char gotLetter = 0;
  size_t length = 0;
  bool want = reference::MatchDatagramHeader(text, wantSlot, wantLetter, wantRest);
  ASSERT_EQ(MatchDatagramHeader(text, gotSlot, gotLetter, length), want) << text;
  if (!want) return;
  EXPECT_EQ(gotSlot, wantSlot);
  EXPECT_EQ(std::string(1, gotLetter), wantLetter);
  EXPECT_EQ(text.substr(length), wantRest);
}

}  // namespace

TEST(MatcherAgreement, PositionReports) {
  TextMaker make(12345);
  for (int i = 0; i < 20000; ++i) ExpectSameReport(make.Report());
  for (int i = 0; i < 5000; ++i) ExpectSameReport(make.Noise(120));
  for (const char *edge : {"", "|", "\n", "||||||||||||||||||||||||||||0|0|0|0|0|||||||\n",
                           "||||||||||||||||||||||||||||0|0|0|0|0|||||||\nx",
                           "||||||||||||||||||||||||||||0|0|0|0|0|||||||\n\n",
                           "|||||||||||||||||||||||||||\n0|0|0|0|0|||||||", "||||||||||||||||||||||||||||0|0|0|0|0|\n",
                           "||||||||||||||||||||||||||||0|0|0|0|0||||||1\n2", "|||||||||||||||||||||||||||0|0|0|0|0|"})
    ExpectSameReport(edge);
}

TEST(MatcherAgreement, Headers) {
  TextMaker make(777);
  for (int i = 0; i < 20000; ++i) ExpectSameHeader(make.Noise(12));
  for (const char *edge : {"0|l|", "2147483647|l|", "2147483648|l|", "00000000000000000000000000000000000001|l|x",
                           "1|_|", "1|é|", "-1|l|", "1|l", "12|ab|", "99999999999999999999999|l|"})
    ExpectSameHeader(edge);
}

TEST(MatcherAgreement, StreamMessagesAndLineBreaks) {
  TextMaker make(4242);
  for (int i = 0; i < 20000; ++i) {
    std::string raw = make.Noise(40);
    std::string marked = reference::MarkLineBreaks(reference::WithoutNulTails(raw));
    std::string buffer;
    AppendStreamText(buffer, raw.data(), raw.size());
    ASSERT_EQ(buffer, marked);

    int wantNumber = 0;
    std::string wantLetter, wantBody, wantRest;
    bool want = reference::MatchStreamMessage(marked, wantNumber, wantLetter, wantBody, wantRest);
    StreamMessage got;
    size_t next = wire_detail::MatchStreamMessage(marked, 0, got);
    ASSERT_EQ(next != std::string::npos, want) << marked;
    if (!want) continue;
    EXPECT_EQ(got.number, wantNumber);
    EXPECT_EQ(std::string(1, got.letter), wantLetter);
    EXPECT_EQ(got.text, wantBody);
    EXPECT_EQ(marked.substr(next), wantRest);
  }
}

TEST(MatcherAgreement, PreferencePairs) {
  std::mt19937 rng(5150);
  static const char alphabet[] = "ab==;;;\n\r x";
  for (int i = 0; i < 50000; ++i) {
    std::string text(rng() % 20, ' ');
    for (char &c : text) c = alphabet[rng() % (sizeof alphabet - 1)];
    std::vector<std::pair<std::string, std::string>> got;
    size_t pos = 0;
    for (std::string key, value; NextPreferencePair(text, pos, key, value);) got.emplace_back(key, value);
    ASSERT_EQ(got, reference::PreferencePairs(text)) << text;
  }
}

TEST(MatcherAgreement, ModelDisplayNames) {
  std::mt19937 rng(31337);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  static const char *const pieces[] = {"/", ".", ".acf", ".ACF", ".aCf", ".ac", "acf",
                                       "a", "C", "f",    "x",    "\n",   "\r",  " "};
  for (int i = 0; i < 50000; ++i) {
    std::string path;
    for (size_t k = pick(12); k > 0; --k) path += pieces[pick(sizeof pieces / sizeof *pieces)];
    ASSERT_EQ(ModelDisplayName(path), reference::ModelDisplayName(path)) << path;
  }
  for (const char *edge : {"", "/", ".acf", "/.acf", "a/.acf/", "a/b.acf/c", "a/b.acf/c.acf", "x/a.acf.acf",
                           "a/b\nc/d.acf", "a/b.ac\nf", "/\n/.acf", "Aircraft/Heavy/B744/B744.acf"})
    EXPECT_EQ(ModelDisplayName(edge), reference::ModelDisplayName(edge)) << edge;
}
