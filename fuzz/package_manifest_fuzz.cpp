// Fuzzes the package's own manifest and the contents check built on it: arbitrary bytes as
// manifest.json in a payload folder that holds a real package (korvaCF.exe and addon.node
// signed by the seed signer, whose root the machine trusts, as the installed korvaCF.exe is,
// and an app.asar), verified for a job of version 2.11.0.
//
// Invariants: every refusal is one of the check's own messages; a manifest that gets past the
// manifest's own checks names exactly the three package files, each once, by bare name, with
// 64 hex digits and a whole size up to 2 GiB, and the job's version; a package that passes
// has each file's real size and SHA-256 as the manifest describes them; and the 1 MiB bound
// holds exactly: an input ending in the byte 0x01 (and, at every start, a manifest of another
// version) is written (without that byte) padded with
// blanks to exactly 1 MiB, which is judged as the unpadded text is, and to one byte more,
// which must be refused as too large.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <openssl/sha.h>

#include "foundation/json.h"
#include "foundation/text.h"
#include "hotupdate/package_contents.h"
#include "platform/host/image/root_store.h"
#include "support/fuzz_machine.h"

namespace {

using vovu::fuzzing::Broken;

constexpr char16_t kPayloadDir[] = u"C:\\scratch\\payload";
constexpr char16_t kVersion[] = u"2.11.0";

struct PackageFile {
  const char16_t* name;
  std::uint64_t size = 0;
  std::u16string sha256;  // lower-case hex
};
PackageFile gFiles[] = {{u"korvaCF.exe", 0, {}}, {u"addon.node", 0, {}}, {u"app.asar", 0, {}}};
std::string gHostManifest;

std::u16string Sha256Hex(const std::vector<std::uint8_t>& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(bytes.data(), bytes.size(), digest);
  std::u16string hex;
  for (unsigned char byte : digest) {
    hex.push_back(u"0123456789abcdef"[byte >> 4]);
    hex.push_back(u"0123456789abcdef"[byte & 15]);
  }
  return hex;
}

void PlaceFile(const char16_t* name, const std::vector<std::uint8_t>& bytes, PackageFile* file) {
  vovu::fuzzing::WriteHostFile(vovu::fuzzing::HostPathOf(vovu::JoinPath(kPayloadDir, name)), bytes);
  file->size = bytes.size();
  file->sha256 = Sha256Hex(bytes);
}

bool IsManifestRefusal(const std::u16string& failure) {
  return failure == u"manifest missing or too large" || failure == u"manifest parse failed" ||
         failure == u"manifest version mismatch" ||
         failure == u"manifest must describe exactly three files" ||
         failure == u"invalid or duplicate manifest file metadata";
}

bool IsOwnMessage(const std::u16string& failure) {
  if (IsManifestRefusal(failure))
    return true;
  static const char16_t* const kPrefixes[] = {u"installed korvaCF.exe not found: ",
                                              u"cannot read installed korvaCF signer: ",
                                              u"missing in package: ",
                                              u"cannot read file metadata: ",
                                              u"package entry is not a regular file: ",
                                              u"file size mismatch: ",
                                              u"sha failed: ",
                                              u"file sha mismatch: ",
                                              u"signature invalid: ",
                                              u"publisher mismatch (thumbprint): "};
  for (const char16_t* prefix : kPrefixes) {
    if (failure.rfind(prefix, 0) == 0)
      return true;
  }
  return false;
}

// The manifest's entry for `name` (ASCII case ignored); null when it has none.
const vovu::JsonValue* EntryFor(const vovu::JsonValue& files, const char16_t* name) {
  const vovu::JsonValue* found = nullptr;
  for (const vovu::JsonValue& entry : files.elements) {
    if (vovu::ToLower(vovu::GetStringMember(entry, u"name")) == vovu::ToLower(name)) {
      if (found != nullptr)
        Broken("an accepted manifest names a file twice");
      found = &entry;
    }
  }
  return found;
}

void CheckAcceptedManifest(const std::vector<std::uint8_t>& bytes, bool passed) {
  vovu::JsonValue root;
  std::u16string error;
  if (!vovu::ParseJson(vovu::Utf8ToWide(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                       &root, &error)) {
    Broken("a manifest accepted that is not JSON");
  }
  if (vovu::GetStringMember(root, u"version") != kVersion)
    Broken("a manifest accepted for another version");
  const vovu::JsonValue* files = vovu::FindMember(root, u"files");
  if (files == nullptr || files->kind != vovu::JsonKind::Array || files->elements.size() != 3)
    Broken("an accepted manifest does not list exactly three files");
  for (const PackageFile& file : gFiles) {
    const vovu::JsonValue* entry = EntryFor(*files, file.name);
    if (entry == nullptr)
      Broken("an accepted manifest lacks one of the package files");
    const std::u16string sha256 = vovu::GetStringMember(*entry, u"sha256");
    const double size = vovu::GetNumberMember(*entry, u"size", -1);
    if (sha256.size() != 64 || !(size >= 1) || !(size <= 2147483648.0) ||
        size != static_cast<double>(static_cast<std::uint64_t>(size))) {
      Broken("an accepted manifest entry with a bad digest or size");
    }
    if (passed && (vovu::ToLower(sha256) != file.sha256 || size != static_cast<double>(file.size)))
      Broken("a package passed whose file differs from its manifest entry");
  }
}

std::u16string Verify(const std::vector<std::uint8_t>& bytes, bool* passed) {
  vovu::fuzzing::WriteHostFile(gHostManifest, bytes);
  vovu::HotUpdateJob job;
  job.version = kVersion;
  job.dir = kPayloadDir;
  std::u16string failure;
  *passed = vovu::VerifyPackageContents(job, &failure);
  if (*passed) {
    CheckAcceptedManifest(bytes, true);
    return u"";
  }
  if (!IsOwnMessage(failure))
    Broken("a refusal with a message of no check");
  if (!IsManifestRefusal(failure))
    CheckAcceptedManifest(bytes, false);
  return failure;
}

// The bound: `bytes` padded with blanks to exactly the limit must be judged as `bytes` were
// (`passed`, `failure`), one byte more must be refused as too large.
void CheckLimit(std::vector<std::uint8_t> bytes, bool passed, const std::u16string& failure) {
  if (bytes.size() > vovu::kMaxPackageManifestBytes)
    return;
  bytes.resize(vovu::kMaxPackageManifestBytes, ' ');
  bool paddedPassed = false;
  if (Verify(bytes, &paddedPassed) != failure || paddedPassed != passed)
    Broken("a manifest of exactly 1 MiB judged otherwise than its unpadded text");
  bytes.push_back(' ');
  if (Verify(bytes, &paddedPassed) != u"manifest missing or too large")
    Broken("a manifest of 1 MiB + 1 byte not refused as too large");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vovu::fuzzing::UseFreshMachine();
  const std::vector<std::uint8_t> signedImage =
      vovu::fuzzing::ReadHostFile(vovu::fuzzing::FuzzDataPath("signed-korvacf.exe"));
  vovu::fuzzing::WriteHostFile(
      vovu::platform::host::RootStorePath() + "/signing-ca.pem",
      vovu::fuzzing::ReadHostFile(vovu::fuzzing::FuzzDataPath("signing-ca.pem")));
  vovu::fuzzing::WriteHostFile(vovu::fuzzing::HostPathOf(u"C:\\Program Files\\Korva\\korvaCF.exe"),
                               signedImage);
  const std::string asar = "asar archive of the fuzzed package\n";
  PlaceFile(gFiles[0].name, signedImage, &gFiles[0]);
  PlaceFile(gFiles[1].name, signedImage, &gFiles[1]);
  PlaceFile(gFiles[2].name, std::vector<std::uint8_t>(asar.begin(), asar.end()), &gFiles[2]);
  gHostManifest = vovu::fuzzing::HostPathOf(vovu::JoinPath(kPayloadDir, u"manifest.json"));
  // The bound on a manifest refused for its version at every start, since padded inputs are
  // rare (each costs a few reads of 1 MiB, so none is kept among the seeds).
  const std::string text = "{\"version\": \"0.0.1\", \"files\": []}";
  bool passed = false;
  const std::vector<std::uint8_t> bytes(text.begin(), text.end());
  CheckLimit(bytes, false, Verify(bytes, &passed));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const bool padded = size > 0 && data[size - 1] == 0x01;
  const std::vector<std::uint8_t> bytes(data, data + (padded ? size - 1 : size));
  bool passed = false;
  const std::u16string failure = Verify(bytes, &passed);
  if (padded)
    CheckLimit(bytes, passed, failure);
  return 0;
}
