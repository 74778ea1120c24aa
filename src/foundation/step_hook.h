// A test seam at the observable steps of a hot update: a test may run code (a competing
// request, a kill of the process) exactly when the service reaches a step, so that races and
// crashes are reached by order, not by timing. Production code only reports steps; nothing
// runs unless a test installed a hook.
#pragma once

#include <functional>

namespace vovu {

enum class HotUpdateStep {
  kCommitAuthorized,        // commit's manifest check passed, before the payload is re-verified
  kCommitChecked,           // commit's checks passed, before the record is claimed
  kCommitCommitting,        // "committing" persisted, before the new copies are written
  kNewCopyPlaced,           // a checked ".new" copy lies beside an installed file, before the
                            // next one (index: table row); the application still runs
  kCommitNewFilesReady,     // "committing" with the new files ready persisted, before the
                            // application is stopped
  kCommitReplacing,         // "replacing" persisted, before the first backup
  kFileBackedUp,            // an installed file was moved to its ".bak" (index: table row)
  kFileReplaced,            // a staged file is in place (index: table row)
  kCommitFilesReplaced,     // all three replaced, before the relaunch and its record
  kCommitRelaunching,       // "relaunching" persisted, before the timer is queued
  kTimerChecksDone,         // the timer's waits are over, before it takes the lock
  kRollbackSwitched,        // "rollingback" written (timer or recovery), before the restore
  kFileRestored,            // a ".bak" moved back (index: position in the installed files)
  kRollbackFilesRestored,   // the files are back and the version recorded, before the record
  kRecoveryJobFound,        // recovery read a job it will roll back, before taking the lock
  kConfirmChecked,          // confirm holds the lock and found "relaunching"
  kConfirmVersionRecorded,  // confirm recorded the new version, before writing "done"
  kConfirmDone,             // "done" written, before the ".bak" files are deleted
  // The protected tree (state/protected_storage.h).
  kProtectedDirectoryOpened,      // an existing directory opened, before it is checked
                                  // (index: attempt, from 0)
  kProtectedDirectoryMovedAside,  // a directory of another owner renamed aside, before its
                                  // removal and the fresh directory
  kTreeDirectoryListed,           // RemoveTree listed a directory, before removing its entries
                                  // (index: depth below the tree's top, from 0)
};

using HotUpdateStepHook = std::function<void(HotUpdateStep step, int index)>;

// Installs `hook` (an empty one removes it). Tests only; not synchronised with ReachStep,
// so install it before the operation starts.
void SetHotUpdateStepHook(HotUpdateStepHook hook);

// Reports that `step` has been reached; runs the hook when one is installed.
void ReachStep(HotUpdateStep step, int index = 0);

}  // namespace vovu
