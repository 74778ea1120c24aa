#include "foundation/wide_number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

namespace vovu {
namespace {

double ToDouble(const std::u16string& text) {
  return WideToDouble(text.data(), text.size());
}

// The scanned value, or 0xDEADBEEF when nothing converts.
std::uint32_t Hex(const std::u16string& text) {
  std::uint32_t value = 0xDEADBEEF;
  return ScanWideHex(text.c_str(), &value) ? value : 0xDEADBEEF;
}

TEST(WideToDouble, ReadsTheLongestDecimalPrefix) {
  EXPECT_EQ(ToDouble(u"12.5e1xyz"), 125.0);
  EXPECT_EQ(ToDouble(u"1.2.3"), 1.2);
  EXPECT_EQ(ToDouble(u"1.e2"), 100.0);
  EXPECT_EQ(ToDouble(u".5"), 0.5);
  EXPECT_EQ(ToDouble(u"-.5e-1"), -0.05);
  EXPECT_EQ(ToDouble(u"+7"), 7.0);
  EXPECT_EQ(ToDouble(u"1e"), 1.0);
  EXPECT_EQ(ToDouble(u"1E+"), 1.0);
  EXPECT_EQ(ToDouble(u"2e-+1"), 2.0);
  EXPECT_EQ(ToDouble(u"1e--1"), 1.0);
  EXPECT_EQ(ToDouble(u"0x10"), 0.0);
  // Leading wide white space is skipped, white space after a sign is not.
  EXPECT_EQ(ToDouble(u" \t\u3000\u00A042"), 42.0);
  EXPECT_EQ(ToDouble(u"- 1"), 0.0);
  // The length bounds the text; no terminator is needed.
  EXPECT_EQ(WideToDouble(u"12345", 2), 12.0);
  EXPECT_EQ(WideToDouble(u"1e5", 2), 1.0);
  // No number gives positive zero; a negative zero keeps its sign.
  for (const std::u16string text : {u"", u"-", u"+", u".", u"-.", u".e1", u"e5", u"inf", u"nan"}) {
    const double value = ToDouble(text);
    EXPECT_EQ(value, 0.0);
    EXPECT_FALSE(std::signbit(value)) << std::string(text.begin(), text.end());
  }
  EXPECT_TRUE(std::signbit(ToDouble(u"-0")));
  EXPECT_TRUE(std::signbit(ToDouble(u"-0.0e7")));
}

TEST(WideToDouble, RoundsCorrectlyAndSaturatesOutOfRange) {
  EXPECT_EQ(ToDouble(u"0.1"), 0.1);
  EXPECT_EQ(ToDouble(u"2.2250738585072011e-308"), 2.2250738585072011e-308);
  EXPECT_EQ(ToDouble(u"4.9e-324"), 4.9406564584124654e-324);
  EXPECT_EQ(ToDouble(u"1.7976931348623157e308"), 1.7976931348623157e308);
  EXPECT_EQ(ToDouble(u"123456789012345678901234567890"), 1.2345678901234568e29);
  EXPECT_EQ(ToDouble(u"0.0001e310"), 1e306);
  EXPECT_EQ(ToDouble(u"1e999"), HUGE_VAL);
  EXPECT_EQ(ToDouble(u"-1e999"), -HUGE_VAL);
  EXPECT_EQ(ToDouble(u"1.7976931348623159e308"), HUGE_VAL);
  EXPECT_EQ(ToDouble(u"1e99999999999999999999999"), HUGE_VAL);
  EXPECT_EQ(ToDouble(u"0.00000000001e320"), HUGE_VAL);
  EXPECT_EQ(ToDouble(u"0e99999"), 0.0);
  EXPECT_EQ(ToDouble(u"2e-324"), 0.0);
  EXPECT_EQ(ToDouble(u"1000e-330"), 0.0);
  EXPECT_EQ(ToDouble(u"1e-99999999999999999999999"), 0.0);
  EXPECT_TRUE(std::signbit(ToDouble(u"-1e-999")));
}

TEST(ScanWideHex, ReadsSignPrefixAndDigitsUpToTheFirstOtherUnitOrFailsWithoutADigit) {
  EXPECT_EQ(Hex(u"0041"), 0x41u);
  EXPECT_EQ(Hex(u"FfeE"), 0xFFEEu);
  EXPECT_EQ(Hex(u"12zz"), 0x12u);
  EXPECT_EQ(Hex(u" \t\u200341"), 0x41u);
  EXPECT_EQ(Hex(u"+1f"), 0x1Fu);
  EXPECT_EQ(Hex(u"-1"), 0xFFFFFFFFu);
  EXPECT_EQ(Hex(u"-0x10"), 0xFFFFFFF0u);
  EXPECT_EQ(Hex(u"0X1F"), 0x1Fu);
  EXPECT_EQ(Hex(u"00x1"), 0u);
  EXPECT_EQ(Hex(u"123456789"), 0x23456789u);
  EXPECT_EQ(Hex(std::u16string(u"1\0002", 3)), 1u);
  // Without a digit the value is kept.
  for (const std::u16string text :
       {u"", u"   ", u"zz", u"-", u"+ 1", u"- 1", u"0x", u"0xzz", u"x1"}) {
    EXPECT_EQ(Hex(text), 0xDEADBEEFu) << std::string(text.begin(), text.end());
  }
}

}  // namespace
}  // namespace vovu
