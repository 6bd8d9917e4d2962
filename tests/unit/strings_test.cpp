#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>
#include <limits>

#include "support/strings.h"

TEST(NumberText, IntsAndFloatsAppendWithPrefix) {
  std::string s = "42";
  AddIntToString(s, "|", -7);
  AddFloatToString(s, "|", 47.4502258f);
  AddFloatToString(s, "|", 0.1f);
  AddFloatToString(s, "|", 1.5e-5f);
  AddFloatToString(s, "", 1e20f);
  EXPECT_EQ(s, "42|-7|47.4502258|0.100000001|1.49999996e-051.00000002e+20");
}

TEST(NumberText, FloatFormsOfSpecialValues) {
  std::string s;
  AddFloatToString(s, "|", -0.0f);
  AddFloatToString(s, "|", std::numeric_limits<float>::infinity());
  AddFloatToString(s, "|", -std::numeric_limits<float>::infinity());
  AddFloatToString(s, "|", std::numeric_limits<float>::denorm_min());
  AddFloatToString(s, "|", std::numeric_limits<float>::max());
  EXPECT_EQ(s, "|-0|inf|-inf|1.40129846e-45|3.40282347e+38");
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

TEST(NumberText, PrintfHelperHandlesLongOutput) {
  EXPECT_EQ(StringPrintf("%d|%s", 5, "ab"), "5|ab");
  std::string longText(1000, 'z');
  EXPECT_EQ(StringPrintf("<%s>", longText.c_str()), "<" + longText + ">");
}

TEST(NumberText, FloatTextMatchesPrintfForEveryKindOfFloat) {
  auto printf9g = [](float v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", double(v));
    return std::string(buf);
  };
  auto ours = [](float v) {
    std::string s;
    AddFloatToString(s, "", v);
    return s;
  };
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

TEST(NumberText, IntTextMatchesPrintf) {
  for (int v : {0, -1, 7, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
    std::string s;
    AddIntToString(s, "", v);
    EXPECT_EQ(s, StringPrintf("%d", v));
  }
}
