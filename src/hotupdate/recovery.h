// Settling, at every service start, the hot updates a stop, crash or reboot interrupted.
#pragma once

#include <string>

#include "platform/sync.h"

namespace vovu {

// The start-up job: makes sure the protected hot-update directory (and its parent) exist,
// then RecoverHotUpdateJobs on it. Nothing is logged when the directories cannot be made.
void RecoverHotUpdatesAtStartup(platform::CriticalSection& jobLock);

// Looks at every job directory's service-job.json, in enumeration order; entries that are
// not directories, or have no readable record, are skipped. A job caught while the installed
// files were being swapped, awaited confirmation or were being restored ("replacing",
// "relaunching", "rollingback"), and a job that ended with swapped rows still to restore
// (swap_record.h: a rollback that gave up, a swap that could not put everything back), is
// first switched to "rollingback" under `jobLock` (so a confirm arriving meanwhile is
// refused), then the rows it swapped are restored and it is persisted "rolledback" ("service
// restart") or "failed" ("service restart rollback failed", the rows left for the next start);
// the application is not started. A job caught before any installed file was touched
// ("committing", "downloading", "verifying") becomes "failed" ("service restarted
// mid-operation"). Every other job keeps its record, and the user's copy is written again
// from it (a crash between the record and the copy leaves the copy a status behind). Then
// the ".new" copies a commit left beside the installed files are removed. The
// user's copies are awaited, within kUserFileLimitMs in all, before it returns.
void RecoverHotUpdateJobs(const std::u16string& hotUpdateDir, platform::CriticalSection& jobLock);

}  // namespace vovu
