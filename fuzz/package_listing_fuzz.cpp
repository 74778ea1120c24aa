// Fuzzes the package listing rules with arbitrary listing bytes, as tar's output file would
// hold them (UTF-8, malformed sequences decoded as U+FFFD). The check must never crash, must
// answer with one of its own messages, and may pass only a listing that names each required
// entry exactly once and nothing else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "acquisition/package_archive.h"
#include "foundation/text.h"

namespace {

// The listing's meaningful lines as the rules see them: "./" prefixes removed, blanks
// skipped, ASCII lowered.
std::size_t CountRequiredLines(const std::u16string& listing, bool* onlyRequired) {
  std::size_t count = 0;
  *onlyRequired = true;
  for (std::u16string line : vovu::SplitLines(listing)) {
    while (line.compare(0, 2, u"./") == 0)
      line.erase(0, 2);
    if (line.empty())
      continue;
    bool required = false;
    for (std::u16string_view entry : vovu::RequiredPackageEntries)
      required = required || vovu::ToLower(line) == entry;
    *onlyRequired = *onlyRequired && required;
    ++count;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string listing = vovu::Utf8ToWide(reinterpret_cast<const char*>(data), size);
  std::u16string error;
  const bool passed = vovu::CheckPackageEntryList(listing, &error);
  if (passed) {
    bool onlyRequired = false;
    if (CountRequiredLines(listing, &onlyRequired) != vovu::RequiredPackageEntries.size() ||
        !onlyRequired) {
      std::abort();
    }
  } else if (error != u"package contains unsafe path" &&
             error != u"package contains unexpected or duplicate entry" &&
             error != u"package is missing a required entry") {
    std::abort();
  }
  return 0;
}
