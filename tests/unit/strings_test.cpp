#include <gtest/gtest.h>

#include <cmath>
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
