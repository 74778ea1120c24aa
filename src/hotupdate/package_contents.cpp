#include "hotupdate/package_contents.h"

#include <map>

#include "foundation/diagnostics.h"
#include "foundation/file_io.h"
#include "foundation/json.h"
#include "foundation/sha256.h"
#include "foundation/text.h"
#include "platform/files.h"
#include "state/authenticode_verify.h"

namespace vovu {
namespace {

// The replaceable files in the order their package copies are checked: the installed path
// relative to the installation directory, and whether the file must carry the signature.
struct PackageFile {
  const char16_t* installedPath;
  bool signatureChecked;
};
constexpr PackageFile kPackageFiles[] = {
    {u"korvaCF.exe", true},
    {u"resources\\app.asar.unpacked\\Release\\addon.node", true},
    {u"resources\\app.asar", false},
};

constexpr std::uint64_t kFourGiB = 0x100000000ull;

bool Fail(std::u16string* failure, const std::u16string& message) {
  *failure = message;
  return false;
}

bool IsHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// True when the path names an existing entry that is not a directory.
bool IsPresentFile(const std::u16string& path) {
  const std::uint32_t attributes = platform::GetAttributes(path);
  return attributes != platform::kInvalidFileAttributes &&
         (attributes & platform::kFileAttributeDirectory) == 0;
}

bool IsKnownPackageName(const std::u16string& lowerName) {
  for (const PackageFile& file : kPackageFiles) {
    if (lowerName == ToLower(FileNameOf(file.installedPath)))
      return true;
  }
  return false;
}

// The manifest's per-file digests and sizes, keyed by lower-cased package file name.
struct ManifestTables {
  std::map<std::u16string, std::u16string> sha256;
  std::map<std::u16string, std::uint64_t> size;
};

bool ReadManifest(const HotUpdateJob& job, ManifestTables* tables, std::u16string* failure) {
  const std::u16string path = JoinPath(job.dir, u"manifest.json");
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  if (!platform::GetAttributesAndSize(path, &attributes, &size) ||
      (attributes & (platform::kFileAttributeDirectory | platform::kFileAttributeReparsePoint)) !=
          0 ||
      size >= kFourGiB || size > kMaxPackageManifestBytes) {
    return Fail(failure, u"manifest missing or too large");
  }
  std::vector<char> bytes;
  if (!ReadFileBytes(path, &bytes))
    return Fail(failure, u"manifest missing or too large");
  JsonValue root;
  std::u16string parseError;
  if (!ParseJson(Utf8ToWide(bytes.data(), bytes.size()), &root, &parseError))
    return Fail(failure, u"manifest parse failed");

  if (GetStringMember(root, u"version") != job.version)
    return Fail(failure, u"manifest version mismatch");
  const JsonValue* files = FindMember(root, u"files");
  if (files == nullptr || files->kind != JsonKind::Array || files->elements.size() != 3)
    return Fail(failure, u"manifest must describe exactly three files");

  for (const JsonValue& element : files->elements) {
    // An element that is not an object reads as an empty name, which no rule accepts.
    const std::u16string name = GetStringMember(element, u"name");
    const std::u16string sha256 = GetStringMember(element, u"sha256");
    const double size = GetNumberMember(element, u"size", -1);
    const std::u16string lowerName = ToLower(name);
    if (!IsKnownPackageName(lowerName) || FileNameOf(name) != name || !IsSha256Hex(sha256) ||
        !IsWholeSizeUpTo2GiB(size) || tables->size.count(lowerName) != 0) {
      return Fail(failure, u"invalid or duplicate manifest file metadata");
    }
    tables->sha256[lowerName] = ToLower(sha256);
    tables->size[lowerName] = static_cast<std::uint64_t>(size);
  }
  return true;
}

// The installed korvaCF.exe's signer thumbprint, lower-cased: the publisher every signed
// package file must match.
bool ReadExpectedSigner(std::u16string* signer, std::u16string* failure) {
  const std::u16string installed = KorvaCfPath();
  if (!IsPresentFile(installed))
    return Fail(failure, u"installed korvaCF.exe not found: " + installed);
  bool trusted = false;
  std::u16string thumbprint;
  std::u16string reason;
  VerifyAuthenticode(installed, &trusted, &thumbprint, &reason);
  if (!trusted || thumbprint.empty())
    return Fail(failure, u"cannot read installed korvaCF signer: " + reason);
  *signer = ToLower(thumbprint);
  return true;
}

bool VerifyPackageFile(const HotUpdateJob& job, const PackageFile& file,
                       const ManifestTables& tables, const std::u16string& signer,
                       std::u16string* failure) {
  const std::u16string name = FileNameOf(file.installedPath);
  const std::u16string lowerName = ToLower(name);
  const std::u16string path = JoinPath(job.dir, name);
  if (!IsPresentFile(path))
    return Fail(failure, u"missing in package: " + name);
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  if (!platform::GetAttributesAndSize(path, &attributes, &size))
    return Fail(failure, u"cannot read file metadata: " + name);
  if ((attributes & (platform::kFileAttributeDirectory | platform::kFileAttributeReparsePoint)) !=
      0) {
    return Fail(failure, u"package entry is not a regular file: " + name);
  }
  const auto described = tables.size.find(lowerName);
  if (described == tables.size.end() || described->second != size)
    return Fail(failure, u"file size mismatch: " + name);
  std::u16string digest;
  std::u16string digestError;
  if (!FileSha256Hex(path, &digest, &digestError))
    return Fail(failure, u"sha failed: " + name);
  const auto expected = tables.sha256.find(lowerName);
  if (expected == tables.sha256.end() || ToLower(digest) != expected->second)
    return Fail(failure, u"file sha mismatch: " + name);
  if (!file.signatureChecked)
    return true;
  bool trusted = false;
  std::u16string thumbprint;
  std::u16string reason;
  VerifyAuthenticode(path, &trusted, &thumbprint, &reason);
  if (!trusted)
    return Fail(failure, u"signature invalid: " + name + u": " + reason);
  if (ToLower(thumbprint) != signer)
    return Fail(failure, u"publisher mismatch (thumbprint): " + name);
  return true;
}

}  // namespace

bool IsSha256Hex(const std::u16string& text) {
  if (text.size() != 64)
    return false;
  for (char16_t c : text) {
    if (!IsHexDigit(c))
      return false;
  }
  return true;
}

bool IsWholeSizeUpTo2GiB(double value) {
  // The range test comes first, so the conversion below is always defined.
  if (!(value > 0) || !(value <= kMaxPackageFileSize))
    return false;
  return static_cast<double>(static_cast<std::uint64_t>(value)) == value;
}

bool VerifyPackageContents(const HotUpdateJob& job, std::u16string* failure) {
  ManifestTables tables;
  if (!ReadManifest(job, &tables, failure))
    return false;
  std::u16string signer;
  if (!ReadExpectedSigner(&signer, failure))
    return false;
  for (const PackageFile& file : kPackageFiles) {
    if (!VerifyPackageFile(job, file, tables, signer, failure))
      return false;
  }
  return true;
}

bool DescribedPackageFile(const HotUpdateJob& job, const std::u16string& name, std::uint64_t* size,
                          std::u16string* sha256, std::u16string* failure) {
  ManifestTables tables;
  if (!ReadManifest(job, &tables, failure))
    return false;
  const std::u16string lowerName = ToLower(name);
  const auto described = tables.size.find(lowerName);
  if (described == tables.size.end())
    return Fail(failure, u"not described in manifest: " + name);
  *size = described->second;
  *sha256 = tables.sha256.at(lowerName);
  return true;
}

}  // namespace vovu
