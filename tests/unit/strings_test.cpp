#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "platform/c_numbers.h"
#include "support/strings.h"

namespace {

std::string FloatText(float v) {
  char buf[kNumberTextMax];
  return std::string(buf, WriteFloatText(buf, v));
}

}  // namespace

TEST(NumberText, FloatFormsOfOrdinaryAndSpecialValues) {
  std::string s;
  for (float v : {47.4502258f, 0.1f, 1.5e-5f, 1e20f, -0.0f, std::numeric_limits<float>::infinity(),
                  -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::denorm_min(),
                  std::numeric_limits<float>::max()})
    s += "|" + FloatText(v);
  EXPECT_EQ(s, "|47.4502258|0.100000001|1.49999996e-05|1.00000002e+20|-0|inf|-inf|1.40129846e-45|3.40282347e+38");
}

TEST(NumberText, LeadingNumbersAreRead) {
  EXPECT_EQ(stringtoi("42"), 42);
  EXPECT_EQ(stringtoi("3;rest"), 3);
  EXPECT_EQ(stringtoi("-12x"), -12);
  EXPECT_EQ(stringtoi("abc"), 0);
  EXPECT_EQ(stringtoi(""), 0);
  EXPECT_EQ(stringtoi("99999999999999"), std::numeric_limits<int>::max());  // clamped, not undefined
  EXPECT_FLOAT_EQ(stringtof("47.5abc"), 47.5f);
  EXPECT_FLOAT_EQ(stringtof("-1.5e-05"), -1.5e-05f);
  EXPECT_EQ(stringtof("x1"), 0.0f);
  EXPECT_EQ(stringtof(""), 0.0f);
}

TEST(NumberText, FloatTextMatchesPrintfForEveryKindOfFloat) {
  auto printf9g = [](float v) {
    if (v != v) return std::string(std::signbit(v) ? "-nan" : "nan");  // some C libraries drop the sign
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", double(v));
    return std::string(buf);
  };
  auto ours = FloatText;
  std::vector<float> special = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                                -std::numeric_limits<float>::infinity(), std::nanf(""), -std::nanf(""),
                                std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::min(),
                                std::numeric_limits<float>::max(), 1e-5f, 1e-4f, 123456789.0f, 1e9f, 0.5f};
  for (float v : special) ASSERT_EQ(ours(v), printf9g(v));
  // Every kind of bit pattern: normals, denormals, NaNs with payloads.
  uint32_t bits = 0x9e3779b9u;
  for (int i = 0; i < (1 << 20); ++i) {
    bits = bits * 1664525u + 1013904223u;
    float v;
    std::memcpy(&v, &bits, sizeof v);
    ASSERT_EQ(ours(v), printf9g(v)) << std::hex << bits;
  }
  for (int i = -100000; i <= 100000; ++i) ASSERT_EQ(ours(float(i) / 64.0f), printf9g(float(i) / 64.0f));
}

TEST(NumberText, IntTextMatchesPrintfAfterItsPrefix) {
  for (int v : {0, -1, 7, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
    std::string s = "42";
    AddIntToString(s, "|", v);
    char want[32];
    std::snprintf(want, sizeof want, "42|%d", v);
    EXPECT_EQ(s, want);
  }
}

namespace {

std::string Printf9g(float v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", double(v));
  return buf;
}

// Same bits, or both not numbers.
bool SameFloat(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b); }

// Ours, and the reader for systems whose C library cannot read in the C locale on demand, against
// the C library's own.
::testing::AssertionResult ReadsLikeStrtof(const std::string &text) {
  char *end = nullptr;
  float theirs = std::strtof(text.c_str(), &end);
  // Where it reads no number, 0 (one C library gives -0 after a lone "-").
  if (end == text.c_str()) theirs = 0.0f;
  for (float ours : {ReadFloatText(text), platform::ReadFloatLocaleFree(text.c_str())})
    if (!SameFloat(ours, theirs))
      return ::testing::AssertionFailure() << "\"" << text << "\": " << ours << " against strtof's " << theirs;
  const long theirsLong = std::strtol(text.c_str(), nullptr, 10);
  if (platform::ReadLongLocaleFree(text.c_str()) != theirsLong)
    return ::testing::AssertionFailure() << "\"" << text << "\" as an integer";
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(NumberText, FloatTextAtTiesCarriesAndEveryExponent) {
  // Values with exactly ten significant digits, the last a 5: n / 2^j with j fraction digits.
  std::mt19937 rng(3);
  for (int j = 3; j <= 9; ++j) {
    const double low = std::pow(10.0, 9 - j) * std::ldexp(1.0, j), high = std::min(low * 10, std::ldexp(1.0, 24));
    for (int i = 0; i < 2000; ++i) {
      const float v = std::ldexp(float(uint32_t(low + double(rng() % uint32_t(high - low))) | 1u), -j);
      ASSERT_EQ(FloatText(v), Printf9g(v)) << j;
    }
  }
  // Just below each power of ten (rounding adds a digit), and a sweep over every exponent.
  for (int k = -45; k <= 38; ++k) {
    const float p = float(std::pow(10.0, k));
    for (float v : {p, std::nextafter(p, 0.0f), std::nextafter(p, std::numeric_limits<float>::infinity()), -p}) ASSERT_EQ(FloatText(v), Printf9g(v));
  }
  for (uint32_t bits = 0; bits < 0x7f800000u; bits += 0x1fffu) {
    float v;
    std::memcpy(&v, &bits, sizeof v);
    ASSERT_EQ(FloatText(v), Printf9g(v)) << std::hex << bits;
  }
}

TEST(NumberText, FloatReadingMatchesStrtof) {
  for (const char *text :
       {"", "-", "+", ".", "-.5", ".5", "5.", "-0", "+0.0", "0x1p3", "-0X10", " 1", "1 ", "1e", "1e+", "1.5e-", "1e-50",
        "1e50", "3.40282357e+38", "1.40129846e-45", "1.17549435e-38", "nan", "-inf", "Infinity", "16777217",
        "16777219", "1.6777217e7", "0.0000000000000000000001", "123456789012345678901234", "9007199254740993",
        "1,5", "1|2", "47.4502258", "-12345.6787", "1.73361600e+09", "00000000000000000000000001",
        // Forms only some C libraries read: hexadecimal, the names of the special values, signs
        // and blanks in odd places, values a float cannot hold, integers past any long.
        "0x", "0x.", "0xg", "0x.8", "-0x1.8p1", "0X1P-149", "0x1p-150", "0x1.000001p0", "0x1p128", "0xinf",
        "\t\n+7", "+-1", "-+1", "- 1", "inf", "INF", "-Infinity", "infinit", "nan", "-NaN", "nan(", "nan(12ab_)",
        "nan()x", "1e-46", "7e-46", "8e-46", "3.4028235e38", "3.4028236e38", "1e99999999999", "1e-99999999999",
        ".0000000000000000000000000000000000000000000000001e100", "99999999999999999999", "-99999999999999999999",
        "2147483648", "-2147483649"})
    EXPECT_TRUE(ReadsLikeStrtof(text));
  // Texts from the characters of numbers, and the text of every kind of float read back.
  std::mt19937 rng(11);
  const char alphabet[] = "0123456789012345678901234567890123456789..--+eE x";
  for (int i = 0; i < 200000; ++i) {
    std::string text(rng() % 24, ' ');
    for (char &c : text) c = alphabet[rng() % (sizeof alphabet - 1)];
    ASSERT_TRUE(ReadsLikeStrtof(text));
  }
  const char hexAlphabet[] = "0123456789abcdefABCDEFxXpP..--++ ninfat()";
  for (int i = 0; i < 100000; ++i) {
    std::string text = rng() % 2 ? "0x" : "";
    text.resize(text.size() + rng() % 16);
    for (size_t k = text.empty() ? 0 : (text[0] == '0' ? 2 : 0); k < text.size(); ++k)
      text[k] = hexAlphabet[rng() % (sizeof hexAlphabet - 1)];
    ASSERT_TRUE(ReadsLikeStrtof(text));
  }
  for (int i = 0; i < 200000; ++i) {
    uint32_t bits = uint32_t(rng());
    float v;
    std::memcpy(&v, &bits, sizeof v);
    ASSERT_TRUE(ReadsLikeStrtof(Printf9g(v)));
    ASSERT_TRUE(ReadsLikeStrtof(std::to_string(rng() % 100000) + "." + std::to_string(rng()) + "e-" +
                                std::to_string(rng() % 30)));
  }
}

// A host process may set a locale whose decimal point is a comma: protocol numbers stay C text.
TEST(NumberText, NumbersIgnoreTheProcessLocale) {
  const std::vector<std::string> texts = {"47.5", "47,5", "-0.25e3", "-0,25e3",
                                          "1.5",  "12",   "0x1.8p1", "1e39"};
  std::vector<float> read;
  for (const std::string &text : texts) read.push_back(ReadFloatText(text));
  struct Restore {
    ~Restore() { std::setlocale(LC_NUMERIC, "C"); }
  } restore;
  const char *found = nullptr;
  for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8", "German_Germany.1252", "de-DE"})
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      found = name;
      break;
    }
  if (found == nullptr) GTEST_SKIP() << "no locale with a decimal comma installed";
  ASSERT_EQ(std::strtof("1,5", nullptr), 1.5f) << "the locale should read a comma";
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_TRUE(SameFloat(ReadFloatText(texts[i]), read[i])) << texts[i];
    EXPECT_TRUE(SameFloat(stringtof(texts[i]), read[i])) << texts[i];
  }
  EXPECT_EQ(ReadFloatText("1.5"), 1.5f);
  EXPECT_EQ(stringtoi("1.234"), 1);
  EXPECT_EQ(FloatText(47.4502258f) + "|" + FloatText(1e-7f), "47.4502258|1.00000001e-07");
}
