#include <gtest/gtest.h>

#include "aircraft/cell.h"

TEST(WholeDegree, DigitsBeforeTheFirstPointAfterADigit) {
  EXPECT_EQ(WholeDegreeText("47.4502258"), "47");
  EXPECT_EQ(WholeDegreeText("-122.309998"), "-122");
  EXPECT_EQ(WholeDegreeText("-0.5"), "-0");
  EXPECT_EQ(WholeDegreeText("0.5"), "0");
  EXPECT_EQ(WholeDegreeText("1.5e-05"), "1");
  EXPECT_EQ(WholeDegreeText("47"), "");
  EXPECT_EQ(WholeDegreeText("5e-05"), "");
  EXPECT_EQ(WholeDegreeText(""), "");
  // Leading characters that are not digits stay in the text.
  EXPECT_EQ(WholeDegreeText("x.5 7.2"), "x.5 7");
  EXPECT_EQ(WholeDegreeText(" 8.01"), " 8");
}
