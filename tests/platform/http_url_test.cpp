// URL splitting as WinHttpCrackUrl does it, on both targets.
#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/http.h"

namespace vovu::platform {
namespace {

TEST(CrackUrl, PartsOfAUrl) {
  UrlParts parts;
  ASSERT_TRUE(CrackUrl(u"https://user:pw@Cdn.Example.test:8443/a/b.zip?x=1#frag", nullptr, &parts));
  EXPECT_EQ(parts.scheme, UrlScheme::kHttps);
  EXPECT_EQ(parts.userName, u"user");
  EXPECT_EQ(parts.password, u"pw");
  EXPECT_EQ(parts.host, u"Cdn.Example.test");
  EXPECT_EQ(parts.port, 8443);
  EXPECT_EQ(parts.path, u"/a/b.zip");
  EXPECT_EQ(parts.extraInfo, u"?x=1#frag");

  ASSERT_TRUE(CrackUrl(u"HTTP://example.test/p", nullptr, &parts));
  EXPECT_EQ(parts.scheme, UrlScheme::kHttp);
  EXPECT_EQ(parts.port, 80);
  EXPECT_EQ(parts.extraInfo, u"");
  ASSERT_TRUE(CrackUrl(u"https://example.test/p", nullptr, &parts));
  EXPECT_EQ(parts.port, 443);
}

TEST(CrackUrl, BuffersBoundTheComponents) {
  const UrlBufferSizes sizes{256, 2048, 2048};
  UrlParts parts;
  const std::u16string host255(255, u'h');
  EXPECT_TRUE(CrackUrl(u"https://" + host255 + u"/p", &sizes, &parts));
  EXPECT_EQ(parts.host, host255);
  EXPECT_FALSE(CrackUrl(u"https://" + host255 + u"h/p", &sizes, &parts));
  EXPECT_EQ(LastError(), kErrorInsufficientBuffer);
  EXPECT_FALSE(CrackUrl(u"https://h/" + std::u16string(2047, u'p'), &sizes, &parts));
  EXPECT_EQ(LastError(), kErrorInsufficientBuffer);
  EXPECT_TRUE(CrackUrl(u"https://h/" + std::u16string(2046, u'p'), &sizes, &parts));
}

TEST(CrackUrl, WhatDoesNotSplit) {
  UrlParts parts;
  EXPECT_FALSE(CrackUrl(u"ftp://h/p", nullptr, &parts));
  EXPECT_EQ(LastError(), kErrorHttpUnrecognizedScheme);
  EXPECT_FALSE(CrackUrl(u"no scheme at all", nullptr, &parts));
  EXPECT_EQ(LastError(), kErrorHttpUnrecognizedScheme);
  EXPECT_FALSE(CrackUrl(u"https://h:99999/p", nullptr, &parts));
  EXPECT_EQ(LastError(), kErrorHttpInvalidUrl);
}

}  // namespace
}  // namespace vovu::platform
