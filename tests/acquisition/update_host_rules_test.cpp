// The update host and domain constants and which hosts a package may come from.
#include <gtest/gtest.h>

#include "acquisition/package_download.h"
#include "acquisition/update_host.h"
#include "foundation/text.h"

namespace vovu {
namespace {

std::u16string Upper(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z')
      c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return text;
}

TEST(UpdateHost, ManifestAddressIsBuiltFromTheHostInsideTheDomain) {
  EXPECT_EQ(OfficialManifestUrl(),
            u"https://" + UpdateHostName() + u"/client/new/clientHotUpdateInfo.json");
  EXPECT_EQ(UpdateHostName(), ToLower(UpdateHostName()));
  EXPECT_TRUE(IsAllowedUpdateHost(UpdateHostName()));
}

TEST(UpdateHost, AllowedHostsAreNamesBelowTheDomain) {
  const std::u16string domain = UpdateDomain();
  struct {
    std::u16string host;
    bool allowed;
  } const cases[] = {
      {u"cdn." + domain, true},
      {u"a.b.c." + domain, true},
      {Upper(u"cdn." + domain), true},
      {u"x." + domain, true},
      {domain, false},            // the bare domain
      {u"." + domain, false},     // the suffix alone
      {u"evil" + domain, false},  // ends in the domain's letters without the dot
      {u"cdn." + domain + u".attacker.example", false},
      {u"127.0.0.1", false},
      {u"[::1]", false},
      {u"", false},
      {u"evil.test" + std::u16string(1, u'\0') + u"." + domain, false},  // a NUL inside
      {u"cdn%2e." + domain, false},  // only letters, digits, '-' and '.'
      {u"cdn_x." + domain, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsAllowedUpdateHost(c.host), c.allowed) << WideToUtf8(c.host);
}

}  // namespace
}  // namespace vovu
