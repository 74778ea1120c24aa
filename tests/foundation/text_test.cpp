#include "foundation/text.h"

#include <gtest/gtest.h>

namespace vovu {
namespace {

using Lines = std::vector<std::u16string>;

TEST(PathHelpers, JoinQuoteAndSplitAtTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(JoinPath(u"", u"a.txt"), u"a.txt");
  EXPECT_EQ(JoinPath(u"C:\\dir", u"a.txt"), u"C:\\dir\\a.txt");
  EXPECT_EQ(JoinPath(u"C:\\dir\\", u"a.txt"), u"C:\\dir\\a.txt");
  EXPECT_EQ(JoinPath(u"C:/dir/", u"a.txt"), u"C:/dir/a.txt");

  EXPECT_EQ(QuoteIfNeeded(u"C:\\a b\\x.exe"), u"\"C:\\a b\\x.exe\"");
  EXPECT_EQ(QuoteIfNeeded(u"\"C:\\x.exe\""), u"\"C:\\x.exe\"");
  EXPECT_EQ(QuoteIfNeeded(u""), u"\"\"");
  // A lone quote both begins and ends the text.
  EXPECT_EQ(QuoteIfNeeded(u"\""), u"\"");
  EXPECT_EQ(QuoteIfNeeded(u"\"open"), u"\"\"open\"");

  EXPECT_EQ(FileNameOf(u"C:\\a/b\\c.txt"), u"c.txt");
  EXPECT_EQ(FileNameOf(u"plain"), u"plain");
  EXPECT_EQ(FileNameOf(u"dir\\"), u"");
  EXPECT_EQ(DirectoryOf(u"C:\\a/b\\c.txt"), u"C:\\a/b");
  EXPECT_EQ(DirectoryOf(u"plain"), u"");
}

TEST(Lines, SplitAtLfDroppingOneTrailingCr) {
  EXPECT_EQ(SplitLines(u""), Lines({u""}));
  EXPECT_EQ(SplitLines(u"a\r\nb\n"), Lines({u"a", u"b", u""}));
  EXPECT_EQ(SplitLines(u"a\r\r\nb"), Lines({u"a\r", u"b"}));
  EXPECT_EQ(SplitLines(u"\n\n"), Lines({u"", u"", u""}));
  EXPECT_EQ(SplitLines(u"cr\ronly"), Lines({u"cr\ronly"}));
}

TEST(CommandWords, LeadingSlashesAndDashesGoAndOnlyAsciiIsLowered) {
  EXPECT_EQ(NormalizeCommandWord(u"/INSTALL"), u"install");
  EXPECT_EQ(NormalizeCommandWord(u"--Install"), u"install");
  EXPECT_EQ(NormalizeCommandWord(u"-/-hot-update-Prepare"), u"hot-update-prepare");
  EXPECT_EQ(NormalizeCommandWord(u"//"), u"");
  EXPECT_EQ(NormalizeCommandWord(u"\u00C9T\u0130"), u"\u00C9t\u0130");
  EXPECT_TRUE(EqualsIgnoringCase(u"Korvadesk.EXE", u"korvadesk.exe"));
  EXPECT_FALSE(EqualsIgnoringCase(u"\u00C9", u"\u00E9"));
}

TEST(Utf8, RoundTripsEveryPlaneAndReplacesWhatIsNotUtf8) {
  const std::u16string text = u"a\u00E9\u20AC\U0001F600";
  EXPECT_EQ(WideToUtf8(text), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
  EXPECT_EQ(Utf8ToWide(nullptr, 4), u"");
  EXPECT_EQ(Utf8ToWide("abc", 0), u"");
  EXPECT_EQ(WideToUtf8(u""), "");
  // A BOM is content, not a marker.
  EXPECT_EQ(Utf8ToWide("\xEF\xBB\xBF{"), u"\uFEFF{");
  // Invalid bytes are replaced, never dropped and never an error.
  EXPECT_EQ(Utf8ToWide(std::string("a\xFF") + "b"), u"a\uFFFDb");
  // A lone surrogate cannot be encoded and becomes U+FFFD.
  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Decimal, SignedAndUnsignedExtremes) {
  EXPECT_EQ(ToDecimal(0ULL), u"0");
  EXPECT_EQ(ToDecimal(18446744073709551615ULL), u"18446744073709551615");
  EXPECT_EQ(ToDecimal(-9223372036854775807LL - 1), u"-9223372036854775808");
}

}  // namespace
}  // namespace vovu
