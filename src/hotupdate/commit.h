// "hot-update-commit" on the worker: from a staged package to the new files in place and the
// application relaunched, with the rollback timer armed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/sync.h"

namespace vovu {

inline constexpr std::uint32_t kProcessExitPollMs = 500;
inline constexpr std::uint32_t kProcessExitGiveUpMs = 30000;
inline constexpr std::uint32_t kRelaunchPauseMs = 500;
inline constexpr std::int64_t kConfirmationWindowMs = 90000;

// Hands a job to the worker queue (EnqueueJob of the service's run).
using JobSink = std::function<void(std::function<void()>)>;

// Re-reads the protected record (it must be the caller's and "staged"), binds it to the
// caller's session (logging a rebinding), authorizes it against the official manifest again
// and re-verifies the payload. Then, under `jobLock`, claims it: the record is read once more
// and switched to "committing" only while it is still the caller's and "staged", so a
// cancel that came in during the checks leaves commit nothing to install. Stops the
// session's korvaCF.exe, waits for the application's processes to go (61 polls of 500 ms at
// most), persists "replacing", replaces korvaCF.exe, addon.node and app.asar in that order
// keeping ".bak" copies, pauses 500 ms, relaunches the desktop application in the caller's
// session with "--hot-update-pending" and the quoted job-file path, records the relaunch and
// "relaunching", and hands HotUpdateRollbackTimer to `enqueue`. Reports only through the
// job record and the debugger output.
void HotUpdateCommit(const std::u16string& jobFile, const std::u16string& callerSid,
                     std::uint32_t sessionId, platform::CriticalSection& jobLock,
                     const JobSink& enqueue);

}  // namespace vovu
