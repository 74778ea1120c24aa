// Undoing a hot update whose new version was not confirmed: the rollback timer that commit
// queues, and the restore of the installed files that the timer and start-up recovery share.
#pragma once

#include <initializer_list>
#include <string>

#include "platform/sync.h"
#include "state/hot_update_job.h"

namespace vovu {

inline constexpr int kConfirmationWaits = 90;  // of kConfirmationWaitMs each
inline constexpr std::uint32_t kConfirmationWaitMs = 1000;
inline constexpr std::uint32_t kRolledBackExitCode = 1223;  // given to the relaunched app
inline constexpr std::uint32_t kTerminatedExitWaitMs = 10000;
inline constexpr std::uint32_t kRollbackPollMs = 500;
inline constexpr std::uint32_t kRollbackGiveUpMs = 15000;

// Stops the session's korvaCF.exe, terminates the relaunched application (`pidHint`, exit
// code 1223, waiting up to 10 s for it), polls every 500 ms until no process of the
// installation directory runs (giving up once more than 15 s were waited, or when the
// service stops), then moves the three ".bak" files back and records `currentVersion` as
// the installed version (a failure there is logged as `logPrefix` + reason and does not
// change the result). True when the files were restored.
[[nodiscard]] bool RollBackInstalledFiles(const HotUpdateJob& job, const std::u16string& logPrefix);

// Under `jobLock`: reads the protected record afresh and, only when it is readable and its
// status is one of `from`, sets "rollingback" with `message`, stamps updatedAt and persists
// it (protected copy, then the user's mirror). True when the switch was made and its
// protected write succeeded; `*job` then holds the record as written. Whoever wins the lock
// first decides: a confirm that got there first leaves no "relaunching" to switch from, and
// one that comes later finds "rollingback" and is refused.
[[nodiscard]] bool SwitchToRollingBack(const std::u16string& serviceJobFile,
                                       std::initializer_list<const char16_t*> from,
                                       const std::u16string& message,
                                       platform::CriticalSection& jobLock, HotUpdateJob* job);

// The job commit queues after a relaunch. Waits 90 times 1000 ms on ServiceStopEvent,
// re-reading the record after each wait; ends without writing when the service stops or the
// record is gone or no longer "relaunching". Then switches the job to "rollingback"
// ("confirmation timeout") under `jobLock`, logs "hot-update rollback timer fired", rolls
// back, relaunches the desktop application with "--hot-update-rolledback" in the job's
// session when the files are back, and persists "rolledback" ("rollback timer") or "failed"
// ("rollback failed because files remained locked").
void HotUpdateRollbackTimer(const std::u16string& serviceJobFile,
                            platform::CriticalSection& jobLock);

}  // namespace vovu
