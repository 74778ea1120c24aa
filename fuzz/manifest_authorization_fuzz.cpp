// Fuzzes the authorization's handling of manifest text: arbitrary UTF-8 as the manifest,
// matched against a fixed job and, to reach the later rules, against a job made from the
// manifest's own win32 entry. Every answer must be one of the authorization's own messages,
// and an authorized job must really be newer than the installed version.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "acquisition/manifest_authorization.h"
#include "foundation/json.h"
#include "foundation/text.h"
#include "state/semantic_version.h"

namespace {

constexpr char16_t kInstalled[] = u"2.10.0";

bool IsOwnMessage(const std::u16string& error) {
  static const char16_t* const kMessages[] = {
      u"official manifest parse failed",
      u"official manifest missing win32 entry",
      u"request metadata does not match official hot-update manifest",
      u"official manifest has invalid applicability field types",
      u"request currentVersion does not match protected installed version",
      u"official manifest contains an invalid semantic version",
      u"hot-update target is not newer than protected installed version",
      u"protected installed version is below minAppVersion",
      u"protected installed version is above maxAppVersion",
      u"official manifest rolloutPercent must be between 0 and 100",
      u"machine is excluded by rolloutPercent=0",
      u"machine is outside the hot-update rollout cohort",
  };
  for (const char16_t* message : kMessages) {
    if (error == message)
      return true;
  }
  return false;
}

void Check(const vovu::HotUpdateJob& job, const std::u16string& manifest, double bucket) {
  vovu::ManifestApplicability applicability;
  std::u16string error;
  if (!vovu::MatchOfficialManifest(job, manifest, &applicability, &error)) {
    if (!IsOwnMessage(error))
      std::abort();
    return;
  }
  const bool authorized = vovu::CheckApplicability(
      job, applicability, kInstalled,
      [bucket](double* out, std::u16string*) {
        *out = bucket;
        return true;
      },
      &error);
  if (!authorized) {
    if (!IsOwnMessage(error))
      std::abort();
    return;
  }
  vovu::SemanticVersion target;
  vovu::SemanticVersion installed;
  if (!vovu::ParseSemanticVersion(job.version, &target) ||
      !vovu::ParseSemanticVersion(kInstalled, &installed) ||
      vovu::CompareSemanticVersions(target, installed) <= 0) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string manifest = vovu::Utf8ToWide(reinterpret_cast<const char*>(data), size);
  const double bucket = static_cast<double>(size % 100);

  vovu::HotUpdateJob fixed;
  fixed.version = u"2.11.0";
  fixed.packageUrl = u"https://cdn.korvasync.example/pkg/2.11.0.zip";
  fixed.packageSha256 = u"8f4c1e0a7b2d9c3e5f6a7b8c9d0e1f2a3b4c5d6e7f8091a2b3c4d5e6f708192a";
  fixed.packageSize = 4096;
  fixed.currentVersion = kInstalled;
  Check(fixed, manifest, bucket);

  vovu::JsonValue root;
  std::u16string error;
  if (vovu::ParseJson(manifest, &root, &error)) {
    if (const vovu::JsonValue* entry = vovu::FindMember(root, u"win32")) {
      vovu::HotUpdateJob mirrored = fixed;
      mirrored.version = vovu::GetStringMember(*entry, u"version");
      mirrored.packageUrl = vovu::GetStringMember(*entry, u"packageUrl");
      mirrored.packageSha256 = vovu::GetStringMember(*entry, u"packageSha256");
      mirrored.packageSize = vovu::GetNumberMember(*entry, u"packageSize", -1);
      Check(mirrored, manifest, bucket);
    }
  }
  return 0;
}
