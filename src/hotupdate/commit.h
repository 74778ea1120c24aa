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

// The message of "committing" once the new files lie beside the installed ones: from then on
// the application's exit is followed by the renames and the pause only.
inline constexpr char16_t kNewFilesReady[] =
    u"new files ready; waiting for the application to exit";

// Hands a job to the worker queue (EnqueueJob of the service's run).
using JobSink = std::function<void(std::function<void()>)>;

// Re-reads the protected record (it must be the caller's and "staged"), binds it to the
// caller's session (logging a rebinding), authorizes it against the official manifest again
// and re-verifies the payload. A failure of those checks is written ("failed") only while the
// record, read again under `jobLock`, is still the one checked: a cancel (or a new prepare)
// during the checks gets no later status. Then, under `jobLock`, claims it: the record must
// still be the one checked, and no other job may be "committing", "replacing", "relaunching"
// or "rollingback" or hold swapped files to restore (swap_record.h); otherwise the job stays
// "staged" with "another hot update is in progress" and nothing else is touched. The claim
// writes "committing". While the application still runs, removes any earlier ".new" copy,
// refuses when the installation volume cannot hold the new files (the job "staged" again
// with the refusal, nothing touched) and writes each staged file beside its installed file
// as a checked ".new" copy (new_copies.h; a failure: "failed", "cannot copy the new files:
// <reason>", no copy left), and writes "committing" with kNewFilesReady (when that cannot be
// written: "failed", "cannot persist committing", no copy left). Then stops the session's
// korvaCF.exe, waits for the application's processes to go (61 polls of 500 ms at most), persists
// "replacing" (when that cannot be written: "failed", "cannot persist replacing", nothing swapped),
// replaces korvaCF.exe, addon.node and app.asar in that order by two renames each (the installed
// file to its ".bak", the ".new" copy to its name), recording each before its swap, pauses 500 ms,
// relaunches the desktop application in the caller's session with
// "--hot-update-pending" and the quoted job-file path, records the relaunch (its time taken
// just before the launch) and "relaunching", and hands HotUpdateRollbackTimer to `enqueue`.
// When "relaunching" cannot be written the new files go back at once ("rolledback", "cannot
// persist relaunch"). Reports only through the job record and the debugger output.
void HotUpdateCommit(const std::u16string& jobFile, const std::u16string& callerSid,
                     std::uint32_t sessionId, platform::CriticalSection& jobLock,
                     const JobSink& enqueue);

}  // namespace vovu
