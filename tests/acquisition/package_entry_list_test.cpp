// The entry rules of a package listing, applied to listing texts as tar prints them.
#include <gtest/gtest.h>

#include "acquisition/package_archive.h"
#include "foundation/text.h"

namespace vovu {
namespace {

constexpr char16_t kGood[] = u"manifest.json\napp.asar\naddon.node\nkorvaCF.exe\n";

struct ListingCase {
  const char* name;
  std::u16string listing;
  const char16_t* error;  // null: the listing passes
};

TEST(PackageEntryList, RulesDecideByTheFirstOffendingLine) {
  const ListingCase cases[] = {
      {"plain", kGood, nullptr},
      {"dot slash prefixes and the root entry",
       u"./\n./manifest.json\n./app.asar\n./addon.node\n./korvaCF.exe\n", nullptr},
      {"repeated dot slash", u"././manifest.json\napp.asar\naddon.node\nkorvaCF.exe", nullptr},
      {"upper case and CR LF", u"MANIFEST.JSON\r\nApp.Asar\r\naddon.node\r\nKORVACF.EXE\r\n",
       nullptr},
      {"blank lines", u"\n\nmanifest.json\n\napp.asar\naddon.node\nkorvaCF.exe\n\n", nullptr},
      {"forward slash path", u"manifest.json\nresources/app.asar\naddon.node\nkorvaCF.exe\n",
       u"package contains unsafe path"},
      {"backslash path", u"manifest.json\nresources\\app.asar\naddon.node\nkorvaCF.exe\n",
       u"package contains unsafe path"},
      {"directory", u"sub/\nmanifest.json\napp.asar\naddon.node\nkorvaCF.exe\n",
       u"package contains unsafe path"},
      {"dot", u".\nmanifest.json\n", u"package contains unsafe path"},
      {"dot dot", u"..\nmanifest.json\n", u"package contains unsafe path"},
      {"parent path", u"../korvaCF.exe\n", u"package contains unsafe path"},
      {"fifth file", std::u16string(kGood) + u"readme.txt\n",
       u"package contains unexpected or duplicate entry"},
      {"duplicate", std::u16string(kGood) + u"app.asar\n",
       u"package contains unexpected or duplicate entry"},
      {"duplicate in another case", std::u16string(kGood) + u"KORVACF.EXE\n",
       u"package contains unexpected or duplicate entry"},
      {"tar warning line",
       u"tar: Ignoring unknown extended header keyword\n" + std::u16string(kGood),
       u"package contains unexpected or duplicate entry"},
      {"unexpected before unsafe", u"readme.txt\nsub/x\n",
       u"package contains unexpected or duplicate entry"},
      {"unsafe before unexpected", u"sub/x\nreadme.txt\n", u"package contains unsafe path"},
      {"missing addon.node", u"manifest.json\napp.asar\nkorvaCF.exe\n",
       u"package is missing a required entry"},
      {"empty listing", u"", u"package is missing a required entry"},
      {"non-ASCII letters are not folded",
       u"manifest.json\napp.asar\naddon.node\nkorvaCF.ex\u00C9\n",
       u"package contains unexpected or duplicate entry"},
  };
  for (const ListingCase& c : cases) {
    std::u16string error = u"untouched";
    const bool passed = CheckPackageEntryList(c.listing, &error);
    if (c.error == nullptr) {
      EXPECT_TRUE(passed) << c.name << ": " << WideToUtf8(error);
    } else {
      EXPECT_FALSE(passed) << c.name;
      EXPECT_EQ(WideToUtf8(error), WideToUtf8(c.error)) << c.name;
    }
  }
}

}  // namespace
}  // namespace vovu
