#include <gtest/gtest.h>

#include "util/text_numbers.h"

using zavrin::TextToInt32;
using zavrin::TextToUInt32;

TEST(TextToUInt32, AutomaticBase) {
  EXPECT_EQ(16u, TextToUInt32("0x10"));
  EXPECT_EQ(16u, TextToUInt32("0X10"));
  EXPECT_EQ(8u, TextToUInt32("010"));
  EXPECT_EQ(10u, TextToUInt32("10"));
  EXPECT_EQ(10u, TextToUInt32("  +10xyz"));
  EXPECT_EQ(0u, TextToUInt32("0"));
}

TEST(TextToUInt32, BehavesAsA32BitUnsignedLong) {
  EXPECT_EQ(0xFFFFFFFFu, TextToUInt32("4294967295"));
  EXPECT_EQ(0xFFFFFFFFu, TextToUInt32("4294967296"));
  EXPECT_EQ(0xFFFFFFFFu, TextToUInt32("99999999999999999999999"));
  EXPECT_EQ(0xFFFFFFFFu, TextToUInt32("-1"));
  EXPECT_EQ(0x80000000u, TextToUInt32("-2147483648"));
  EXPECT_EQ(1u, TextToUInt32("-4294967295"));
  EXPECT_EQ(0xFFFFFFFFu, TextToUInt32("-4294967296"));
}

TEST(TextToUInt32, NoDigitsGiveZero) {
  EXPECT_EQ(0u, TextToUInt32(""));
  EXPECT_EQ(0u, TextToUInt32("abc"));
  EXPECT_EQ(0u, TextToUInt32("--5"));
  EXPECT_EQ(0u, TextToUInt32("- 5"));
  EXPECT_EQ(0u, TextToUInt32("+-5"));
}

TEST(TextToInt32, SaturatesAt32Bits) {
  EXPECT_EQ(2147483647, TextToInt32("2147483647"));
  EXPECT_EQ(2147483647, TextToInt32("2147483648"));
  EXPECT_EQ(2147483647, TextToInt32("0xFFFFFFFF"));
  EXPECT_EQ(INT32_MIN, TextToInt32("-2147483648"));
  EXPECT_EQ(INT32_MIN, TextToInt32("-2147483649"));
  EXPECT_EQ(-2, TextToInt32("-2"));
  EXPECT_EQ(2, TextToInt32("0x2"));
  EXPECT_EQ(0, TextToInt32("x"));
}
