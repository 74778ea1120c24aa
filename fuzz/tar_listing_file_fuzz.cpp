// Fuzzes the reading of tar's listing file, the step between the system's tar (fed by the
// package) and the entry rules: arbitrary bytes as the listing file in the job directory.
//
// Invariants: the file is gone afterwards, whatever happened; the answer is one of the
// reader's or the rules' own messages; a listing passes only when its meaningful lines are
// the four required names, each once; and the 64 KiB bound holds exactly: an input ending in
// the byte 0x01 (and, at every start, a valid listing) is written (without that byte) padded with
// line breaks to exactly 64 KiB, which must be judged as the unpadded text is, and to one byte
// more, which must be refused as too large.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "acquisition/package_archive.h"
#include "foundation/text.h"
#include "support/fuzz_machine.h"

namespace {

using vovu::fuzzing::Broken;

constexpr char16_t kListingFile[] = u"C:\\scratch\\package.zip.entries";
std::string gHostListingFile;

bool IsOwnMessage(const std::u16string& error) {
  return error == u"package contains unsafe path" ||
         error == u"package contains unexpected or duplicate entry" ||
         error == u"package is missing a required entry" ||
         error == u"tar entry list is too large" || error == u"cannot read tar entry list";
}

// The listing's lines with "./" prefixes and a trailing CR removed and blanks dropped, lowered;
// true when they are exactly the required names, each once.
bool NamesExactlyTheRequired(const std::vector<std::uint8_t>& bytes) {
  const std::u16string text =
      vovu::Utf8ToWide(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::vector<std::u16string> names;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos)
      end = text.size();
    std::u16string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == u'\r')
      line.pop_back();
    while (line.size() >= 2 && line[0] == u'.' && line[1] == u'/')
      line.erase(0, 2);
    if (!line.empty())
      names.push_back(vovu::ToLower(line));
    start = end + 1;
  }
  if (names.size() != vovu::RequiredPackageEntries.size())
    return false;
  for (std::u16string_view required : vovu::RequiredPackageEntries) {
    std::size_t seen = 0;
    for (const std::u16string& name : names)
      seen += name == required ? 1 : 0;
    if (seen != 1)
      return false;
  }
  return true;
}

// Writes the listing file and has it checked; the answer and its message.
bool Check(const std::vector<std::uint8_t>& bytes, std::u16string* error) {
  vovu::fuzzing::WriteHostFile(gHostListingFile, bytes);
  error->clear();
  const bool passed = vovu::CheckListingFile(kListingFile, error);
  if (vovu::fuzzing::HostEntryExists(gHostListingFile))
    Broken("the listing file was left behind");
  if (!passed && !IsOwnMessage(*error))
    Broken("a refusal with a message of no rule");
  if (passed && !NamesExactlyTheRequired(bytes))
    Broken("a listing passed that does not name exactly the required entries");
  return passed;
}

// The bound: `bytes` padded with line breaks to exactly the limit must be judged as `bytes`
// were (`passed`, `error`), one byte more must be refused as too large.
void CheckLimit(std::vector<std::uint8_t> bytes, bool passed, const std::u16string& error) {
  if (bytes.size() > vovu::kMaxTarListingBytes)
    return;
  std::u16string paddedError;
  bytes.resize(vovu::kMaxTarListingBytes, '\n');
  if (Check(bytes, &paddedError) != passed || paddedError != error)
    Broken("a listing of exactly 64 KiB judged otherwise than its unpadded text");
  bytes.push_back('\n');
  if (Check(bytes, &paddedError) || paddedError != u"tar entry list is too large")
    Broken("a listing of 64 KiB + 1 byte not refused as too large");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vovu::fuzzing::UseFreshMachine();
  gHostListingFile = vovu::fuzzing::HostPathOf(kListingFile);
  // The bound on a valid listing at every start, since padded inputs are rare.
  const std::string text = "manifest.json\napp.asar\naddon.node\nkorvaCF.exe";
  std::u16string error;
  if (!Check(std::vector<std::uint8_t>(text.begin(), text.end()), &error))
    Broken("a valid listing was refused");
  CheckLimit(std::vector<std::uint8_t>(text.begin(), text.end()), true, error);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const bool padded = size > 0 && data[size - 1] == 0x01;
  const std::vector<std::uint8_t> bytes(data, data + (padded ? size - 1 : size));
  std::u16string error;
  const bool passed = Check(bytes, &error);
  if (padded)
    CheckLimit(bytes, passed, error);
  return 0;
}
