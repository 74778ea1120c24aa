#include "state/semantic_version.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/text.h"

namespace vovu {
namespace {

SemanticVersion Parsed(const std::u16string& text) {
  SemanticVersion version;
  EXPECT_TRUE(ParseSemanticVersion(text, &version)) << WideToUtf8(text);
  return version;
}

bool Parses(const std::u16string& text) {
  SemanticVersion version;
  return ParseSemanticVersion(text, &version);
}

int Compare(const std::u16string& a, const std::u16string& b) {
  return CompareSemanticVersions(Parsed(a), Parsed(b));
}

TEST(SemanticVersionTest, ParsesCoreAndPrereleaseIdentifiers) {
  const SemanticVersion plain = Parsed(u"2.10.0");
  EXPECT_EQ(plain.major, 2u);
  EXPECT_EQ(plain.minor, 10u);
  EXPECT_EQ(plain.patch, 0u);
  EXPECT_TRUE(plain.prerelease.empty());

  // Dashes after the first belong to the identifiers.
  const SemanticVersion pre = Parsed(u"1.2.3-rc-1.x.7+build.5");
  EXPECT_EQ(pre.prerelease, (std::vector<std::u16string>{u"rc-1", u"x", u"7"}));
}

TEST(SemanticVersionTest, PrecedenceFollowsTheReleaseChain) {
  const std::vector<std::u16string> chain = {u"1.0.0-alpha", u"1.0.0-alpha.1", u"1.0.0-alpha.beta",
                                             u"1.0.0-beta",  u"1.0.0-beta.2",  u"1.0.0-beta.11",
                                             u"1.0.0-rc.1",  u"1.0.0",         u"1.0.1",
                                             u"1.1.0",       u"2.0.0",         u"10.0.0"};
  for (std::size_t i = 0; i < chain.size(); ++i) {
    for (std::size_t j = 0; j < chain.size(); ++j) {
      const int expected = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ(Compare(chain[i], chain[j]), expected)
          << WideToUtf8(chain[i]) << " vs " << WideToUtf8(chain[j]);
    }
  }
  // Alphanumeric identifiers compare by code unit: upper case sorts before lower case.
  EXPECT_EQ(Compare(u"1.0.0-Beta", u"1.0.0-alpha"), -1);
  EXPECT_EQ(Compare(u"1.0.0-a-b", u"1.0.0-a"), 1);
}

TEST(SemanticVersionTest, RefusesMalformedTextAndChecksButIgnoresBuildMetadata) {
  for (const std::u16string bad : {
           u"",          u"v1.2.3",       u" 1.2.3",     u"1.2.3 ",    u"1.2",      u"1.2.3.4",
           u"1..3",      u"1.2.",         u".1.2",       u"01.2.3",    u"1.02.3",   u"1.2.03",
           u"1.2.3-007", u"1.2.3-",       u"1.2.3-a..b", u"1.2.3-a.",  u"1.2.x",    u"-1.2.3",
           u"1.2.3-a$",  u"1.2.3-\u00e9", u"1.2.3+",     u"1.2.3+a+b", u"1.2.3+.a", u"1.2.3+a.",
           u"1.2.3+a_b", u"1.2.3+a..b",   u"1.2.3-+a",
       }) {
    EXPECT_FALSE(Parses(bad)) << WideToUtf8(bad);
  }
  for (const std::u16string good :
       {u"0.0.0", u"1.2.3-0a", u"1.2.3-0.00a", u"1.2.3+007", u"1.2.3-rc+0-x.Y"}) {
    EXPECT_TRUE(Parses(good)) << WideToUtf8(good);
  }
  EXPECT_EQ(Compare(u"1.2.3+build.5", u"1.2.3"), 0);
  EXPECT_EQ(Compare(u"1.2.3-rc.1+a", u"1.2.3-rc.1+b"), 0);
  // The whole text is at most 128 units.
  const std::u16string at128 = u"1.2.3-" + std::u16string(122, u'a');
  EXPECT_TRUE(Parses(at128));
  EXPECT_FALSE(Parses(at128 + u"a"));
}

TEST(SemanticVersionTest, NumbersSpanUnsigned64Bits) {
  const SemanticVersion max = Parsed(u"18446744073709551615.0.0");
  EXPECT_EQ(max.major, UINT64_MAX);
  EXPECT_FALSE(Parses(u"18446744073709551616.0.0"));
  EXPECT_EQ(Compare(u"18446744073709551615.0.0", u"18446744073709551614.9.9"), 1);

  std::uint64_t value = 7;
  EXPECT_TRUE(ParseVersionNumber(u"0", &value));
  EXPECT_EQ(value, 0u);
  EXPECT_FALSE(ParseVersionNumber(u"", &value));
  EXPECT_FALSE(ParseVersionNumber(u"00", &value));
  // An overflowing number leaves the value read before the digit that overflowed.
  EXPECT_FALSE(ParseVersionNumber(u"18446744073709551616", &value));
  EXPECT_EQ(value, 1844674407370955161u);
  // So oversized numeric identifiers compare by that prefix: these two tie, and a bigger
  // fitting number still wins over a smaller one.
  EXPECT_EQ(Compare(u"1.0.0-18446744073709551616", u"1.0.0-18446744073709551619"), 0);
  EXPECT_EQ(Compare(u"1.0.0-18446744073709551616", u"1.0.0-1844674407370955160"), 1);
  EXPECT_EQ(Compare(u"1.0.0-99999999999999999999", u"1.0.0-a"), -1);
}

}  // namespace
}  // namespace vovu
