// The authorization rules in the order that decides which message a job with several faults
// gets: the manifest's form, the package match, the field types, the installed version,
// the versions' grammar, the direction and range of the move, then the rollout cohort.
#include "acquisition/manifest_authorization.h"

#include <cmath>

#include "acquisition/manifest_fetch.h"
#include "foundation/json.h"
#include "foundation/text.h"
#include "state/installed_version.h"
#include "state/rollout_cohort.h"
#include "state/semantic_version.h"

namespace vovu {
namespace {

constexpr char16_t kMismatch[] = u"request metadata does not match official hot-update manifest";

bool Fail(std::u16string* error, const std::u16string& message) {
  *error = message;
  return false;
}

// ASCII letters lowered, every other unit kept (digests compare in any letter case).
std::u16string LowerAscii(const std::u16string& text) {
  std::u16string lowered = text;
  for (char16_t& c : lowered) {
    if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return lowered;
}

// The package the entry offers is exactly the job's, and the entry is not disabled.
bool EntryMatches(const JsonValue& entry, const HotUpdateJob& job) {
  const JsonValue* disabled = FindMember(entry, u"disabled");
  if (disabled != nullptr && !(disabled->kind == JsonKind::Bool && !disabled->boolValue))
    return false;
  return GetStringMember(entry, u"version") == job.version &&
         GetStringMember(entry, u"packageUrl") == job.packageUrl &&
         LowerAscii(GetStringMember(entry, u"packageSha256")) == LowerAscii(job.packageSha256) &&
         GetNumberMember(entry, u"packageSize", -1) == job.packageSize;
}

bool IsOptionalOfKind(const JsonValue& entry, const std::u16string& key, JsonKind kind) {
  const JsonValue* value = FindMember(entry, key);
  return value == nullptr || value->kind == kind;
}

}  // namespace

bool MatchOfficialManifest(const HotUpdateJob& job, const std::u16string& manifest,
                           ManifestApplicability* applicability, std::u16string* error) {
  JsonValue root;
  std::u16string parseError;
  if (!ParseJson(manifest, &root, &parseError))
    return Fail(error, u"official manifest parse failed");
  const JsonValue* entry = root.kind == JsonKind::Object ? FindMember(root, u"win32") : nullptr;
  if (entry == nullptr || entry->kind != JsonKind::Object)
    return Fail(error, u"official manifest missing win32 entry");
  if (!EntryMatches(*entry, job))
    return Fail(error, kMismatch);
  if (!IsOptionalOfKind(*entry, u"minAppVersion", JsonKind::String) ||
      !IsOptionalOfKind(*entry, u"maxAppVersion", JsonKind::String) ||
      !IsOptionalOfKind(*entry, u"rolloutPercent", JsonKind::Number)) {
    return Fail(error, u"official manifest has invalid applicability field types");
  }
  applicability->minAppVersion = GetStringMember(*entry, u"minAppVersion");
  applicability->maxAppVersion = GetStringMember(*entry, u"maxAppVersion");
  const JsonValue* percent = FindMember(*entry, u"rolloutPercent");
  applicability->rolloutPercent = percent != nullptr ? percent->number : 100;
  return true;
}

bool CheckApplicability(const HotUpdateJob& job, const ManifestApplicability& applicability,
                        const std::u16string& installed, const RolloutBucketSource& bucketSource,
                        std::u16string* error) {
  if (job.currentVersion != installed)
    return Fail(error, u"request currentVersion does not match protected installed version");

  SemanticVersion target;
  SemanticVersion current;
  SemanticVersion minimum;
  SemanticVersion maximum;
  const bool hasMinimum = !applicability.minAppVersion.empty();
  const bool hasMaximum = !applicability.maxAppVersion.empty();
  if (!ParseSemanticVersion(job.version, &target) || !ParseSemanticVersion(installed, &current) ||
      (hasMinimum && !ParseSemanticVersion(applicability.minAppVersion, &minimum)) ||
      (hasMaximum && !ParseSemanticVersion(applicability.maxAppVersion, &maximum))) {
    return Fail(error, u"official manifest contains an invalid semantic version");
  }
  if (CompareSemanticVersions(target, current) <= 0)
    return Fail(error, u"hot-update target is not newer than protected installed version");
  if (hasMinimum && CompareSemanticVersions(current, minimum) < 0)
    return Fail(error, u"protected installed version is below minAppVersion");
  if (hasMaximum && CompareSemanticVersions(current, maximum) > 0)
    return Fail(error, u"protected installed version is above maxAppVersion");

  const double percent = applicability.rolloutPercent;
  if (!std::isfinite(percent) || percent < 0 || percent > 100)
    return Fail(error, u"official manifest rolloutPercent must be between 0 and 100");
  if (percent <= 0)
    return Fail(error, u"machine is excluded by rolloutPercent=0");
  if (percent < 100) {
    double bucket = 0;
    if (!bucketSource(&bucket, error))
      return false;
    if (bucket >= percent)
      return Fail(error, u"machine is outside the hot-update rollout cohort");
  }
  return true;
}

bool AuthorizeHotUpdate(const HotUpdateJob& job, std::u16string* error) {
  std::u16string manifest;
  if (!FetchOfficialManifest(&manifest, error))
    return false;
  ManifestApplicability applicability;
  if (!MatchOfficialManifest(job, manifest, &applicability, error))
    return false;
  std::u16string installed;
  if (!LoadInstalledVersion(&installed, error, /*reset=*/false))
    return false;
  return CheckApplicability(
      job, applicability, installed,
      [&job](double* bucket, std::u16string* bucketError) {
        return ComputeRolloutBucket(job.version, bucket, bucketError);
      },
      error);
}

}  // namespace vovu
