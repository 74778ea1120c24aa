// Undoing a hot update whose new version was not confirmed: the rollback timer that commit
// queues, and the restore of the installed files that the timer and start-up recovery share.
#pragma once

#include <functional>
#include <mutex>
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

// How a restore of the installed files ended.
enum class RollbackOutcome {
  kRestored,         // every row the job swapped has its old file back
  kNotRestored,      // processes kept running, or a ".bak" could not be moved back
  kServiceStopping,  // the service is stopping: the rest is the next start's
};

// Stops the session's korvaCF.exe, ends the relaunched application (see
// TerminateRelaunchedApplication), polls every 500 ms until no process of the installation
// directory runs (giving up once more than 15 s were waited), then puts back the rows the job
// of `jobDir` swapped (swap_record.h) and records `currentVersion` as the installed version
// (a failure there is logged as `logPrefix` + reason and does not change the outcome).
[[nodiscard]] RollbackOutcome RollBackInstalledFiles(const HotUpdateJob& job,
                                                     const std::u16string& jobDir,
                                                     const std::u16string& logPrefix);

// Ends the process `job.pidHint` (exit code 1223, waiting up to 10 s for it) only when it is
// still the desktop application the relaunch started: its image is the installed desktop
// application, it runs in the job's session and it started no earlier than the relaunch
// (`startedAt`). A process id from an earlier life, another program or another session is
// left alone, whatever the job file says. False when nothing was ended.
bool TerminateRelaunchedApplication(const HotUpdateJob& job);

// Under `jobLock`: reads the protected record afresh and, only when it is readable and
// `switchable` accepts it, sets "rollingback" with `message`, stamps updatedAt and persists
// it (protected copy, then the user's mirror); `*job` then holds the record as switched.
// Whoever wins the lock first decides: a confirm that got there first leaves no "relaunching"
// to switch from, and one that comes later finds "rollingback" and is refused. When the
// switch cannot be written the record still reads as before, so the lock stays held in
// `*held` until the caller's rollback is over and no confirm can win meanwhile.
enum class SwitchResult { kNotSwitchable, kSwitched, kSwitchedUnwritten };
[[nodiscard]] SwitchResult SwitchToRollingBack(
    const std::u16string& serviceJobFile,
    const std::function<bool(const HotUpdateJob&)>& switchable, const std::u16string& message,
    std::unique_lock<platform::CriticalSection>* held, HotUpdateJob* job);

// The end every rollback shares: RollBackInstalledFiles, then "rolledback" with
// `restoredMessage` (starting the desktop application with "--hot-update-rolledback" in the
// job's session first when `relaunch`), or "failed" with `failedMessage`. When the service
// stops meanwhile nothing is written: the record still names a state the next start rolls
// back, and that start finishes the restore.
void FinishRollback(HotUpdateJob* job, const std::u16string& serviceJobFile,
                    const std::u16string& logPrefix, const std::u16string& restoredMessage,
                    const std::u16string& failedMessage, bool relaunch);

// The job commit queues after a relaunch. Waits 90 times 1000 ms on ServiceStopEvent,
// re-reading the record after each wait; ends without writing when the service stops or the
// record is gone or no longer "relaunching". Then switches the job to "rollingback"
// ("confirmation timeout") under `jobLock`, logs "hot-update rollback timer fired" and
// finishes the rollback: "rolledback" ("rollback timer", the application started with
// "--hot-update-rolledback") or "failed" ("rollback failed because files remained locked").
void HotUpdateRollbackTimer(const std::u16string& serviceJobFile,
                            platform::CriticalSection& jobLock);

}  // namespace vovu
