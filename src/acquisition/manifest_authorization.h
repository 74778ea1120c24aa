// Manifest authorization: a job may go ahead only when the official manifest offers exactly
// its package, the job's claim of the installed version agrees with the protected record,
// the move is forward and inside the manifest's version range, and this machine lies in the
// manifest's rollout cohort.
#pragma once

#include <functional>
#include <string>

#include "state/hot_update_job.h"

namespace vovu {

// What the manifest's win32 entry says about who may take the update.
struct ManifestApplicability {
  std::u16string minAppVersion;  // empty: no lower bound
  std::u16string maxAppVersion;  // empty: no upper bound
  double rolloutPercent = 100;   // 100 when the manifest gives none
};

// Fetches the official manifest and checks the job's version, packageUrl, packageSha256,
// packageSize and currentVersion against it, the protected installed version and the
// rollout cohort. Changes nothing in the job; may rewrite installed-version.json when it is
// missing or stale. Failure: the fetch's message, the installed version's or the cohort's
// message unchanged, or one of those of MatchOfficialManifest and CheckApplicability.
[[nodiscard]] bool AuthorizeHotUpdate(const HotUpdateJob& job, std::u16string* error);

// Parses the manifest text and matches the job against its win32 entry. Failures, in this
// order: "official manifest parse failed", "official manifest missing win32 entry",
// "request metadata does not match official hot-update manifest", "official manifest has
// invalid applicability field types".
[[nodiscard]] bool MatchOfficialManifest(const HotUpdateJob& job, const std::u16string& manifest,
                                         ManifestApplicability* applicability,
                                         std::u16string* error);

// The machine's rollout bucket for the job's version, in [0, 100); asked only when the
// percentage lies strictly between 0 and 100.
using RolloutBucketSource = std::function<bool(double* bucket, std::u16string* error)>;

// Checks the job against the protected installed version and the applicability. Failures,
// in this order: "request currentVersion does not match protected installed version",
// "official manifest contains an invalid semantic version", "hot-update target is not newer
// than protected installed version", "protected installed version is below minAppVersion",
// "protected installed version is above maxAppVersion", "official manifest rolloutPercent
// must be between 0 and 100", "machine is excluded by rolloutPercent=0", the bucket source's
// message, "machine is outside the hot-update rollout cohort".
[[nodiscard]] bool CheckApplicability(const HotUpdateJob& job,
                                      const ManifestApplicability& applicability,
                                      const std::u16string& installed,
                                      const RolloutBucketSource& bucketSource,
                                      std::u16string* error);

}  // namespace vovu
