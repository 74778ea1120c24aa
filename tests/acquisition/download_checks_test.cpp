// What DownloadPackage refuses before anything goes on the network: sizes, schemes, hosts
// and ports. No server runs here, so a refusal that came later would read differently.
#include <gtest/gtest.h>

#include <string>

#include "acquisition/package_download.h"
#include "acquisition/update_host.h"
#include "foundation/text.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

TEST(DownloadChecks, RefusedBeforeAnyConnection) {
  TestMachine machine;
  const std::u16string dest = machine.Path(u"package.zip");
  const std::u16string domain = UpdateDomain();
  const std::u16string good = u"https://cdn." + domain + u"/pkg/a.zip";
  struct {
    const char* name;
    std::u16string url;
    std::uint64_t size;
    std::string expected;  // the message, or its beginning when it ends in "..."
  } const cases[] = {
      {"size 0", good, 0, "invalid expected package size"},
      {"2 GiB and one byte", good, 2147483649ull, "invalid expected package size"},
      {"size before address", u"ftp://x", 0, "invalid expected package size"},
      {"http", u"http://cdn." + domain + u"/pkg/a.zip", 10, "hot-update package must be https"},
      {"another scheme", u"ftp://cdn." + domain + u"/a.zip", 10,
       "WinHttpCrackUrl failed: error=12006..."},
      {"not a URL", u"cdn." + domain, 10, "WinHttpCrackUrl failed: error=12006..."},
      {"port 8443", u"https://cdn." + domain + u":8443/pkg/a.zip", 10,
       "hot-update package host is not allowed"},
      {"another port", u"https://cdn." + domain + u":444/pkg/a.zip", 10,
       "hot-update package host is not allowed"},
      {"the bare domain", u"https://" + domain + u"/pkg/a.zip", 10,
       "hot-update package host is not allowed"},
      {"the domain's letters without the dot", u"https://evil" + domain + u"/pkg/a.zip", 10,
       "hot-update package host is not allowed"},
      {"outside", u"https://cdn.other.example/pkg/a.zip", 10,
       "hot-update package host is not allowed"},
      {"an IP address", u"https://127.0.0.1/pkg/a.zip", 10,
       "hot-update package host is not allowed"},
      {"a host too long for its buffer",
       u"https://" + std::u16string(260, u'a') + u"." + domain + u"/a.zip", 10,
       "WinHttpCrackUrl failed: error=122..."},
  };
  for (const auto& c : cases) {
    std::u16string error;
    EXPECT_FALSE(DownloadPackage(c.url, dest, c.size, &error)) << c.name;
    const std::string text = WideToUtf8(error);
    if (c.expected.size() > 3 && c.expected.compare(c.expected.size() - 3, 3, "...") == 0) {
      EXPECT_EQ(text.substr(0, c.expected.size() - 3), c.expected.substr(0, c.expected.size() - 3))
          << c.name;
    } else {
      EXPECT_EQ(text, c.expected) << c.name;
    }
    EXPECT_FALSE(TestMachine::Exists(dest)) << c.name;
    EXPECT_FALSE(TestMachine::Exists(dest + u".part")) << c.name;
  }
}

}  // namespace
}  // namespace vovu
