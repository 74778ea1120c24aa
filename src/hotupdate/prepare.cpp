#include "hotupdate/prepare.h"

#include "acquisition/manifest_authorization.h"
#include "acquisition/package_archive.h"
#include "acquisition/package_download.h"
#include "foundation/diagnostics.h"
#include "foundation/sha256.h"
#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "hotupdate/package_contents.h"
#include "hotupdate/prepare_claim.h"
#include "platform/files.h"

namespace vovu {
namespace {

void Fail(ClaimedJob* claimed, const std::u16string& message) {
  SetJobStatus(&claimed->job, claimed->serviceJobFile, kStatusFailed, message);
}

void Advance(ClaimedJob* claimed, const char16_t* status, const std::u16string& message) {
  SetJobStatus(&claimed->job, claimed->serviceJobFile, status, message);
}

}  // namespace

void HotUpdatePrepare(const std::u16string& jobFile, const std::u16string& callerSid,
                      std::uint32_t sessionId,
                      std::shared_ptr<const platform::TokenHandle> callerToken,
                      platform::CriticalSection& jobLock) {
  ClaimedJob claimed;
  if (!ClaimJobForPrepare(jobFile, callerSid, sessionId, callerToken, jobLock, &claimed))
    return;
  HotUpdateJob& job = claimed.job;
  std::u16string reason;

  if (!AuthorizeHotUpdate(job, &reason))
    return Fail(&claimed, u"manifest authorization failed: " + reason);

  Advance(&claimed, kStatusDownloading, u"");
  // The metadata check has made packageSize a whole number in (0, 2 GiB].
  const auto expectedSize = static_cast<std::uint64_t>(job.packageSize);
  if (!DownloadPackage(job.packageUrl, claimed.packageFile, expectedSize, &reason))
    return Fail(&claimed, u"download failed: " + reason);

  Advance(&claimed, kStatusVerifying, u"package sha256");
  std::u16string digest;
  if (!FileSha256Hex(claimed.packageFile, &digest, &reason))
    return Fail(&claimed, u"sha failed: " + reason);
  if (ToLower(digest) != ToLower(job.packageSha256))
    return Fail(&claimed, u"package sha256 mismatch");

  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  if (!platform::GetAttributesAndSize(claimed.packageFile, &attributes, &size))
    return Fail(&claimed, u"cannot read package size");
  if (size != expectedSize)
    return Fail(&claimed, u"package size mismatch");

  if (!ExtractPackage(claimed.packageFile, job.dir, &reason))
    return Fail(&claimed, u"extract failed: " + reason);
  if (!VerifyPackageContents(job, &reason))
    return Fail(&claimed, reason);

  Advance(&claimed, kStatusStaged, u"");
  LogDebug(u"hot-update staged: " + job.version);
}

}  // namespace vovu
