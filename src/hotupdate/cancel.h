// Abandoning a job on its owner's word.
#pragma once

#include <string>

#include "caller/request_context.h"
#include "platform/sync.h"

namespace vovu {

// "hot-update-cancel": under `jobLock` (JobQueueLock, held from the first read of the record
// to the end), reads the caller's protected job record afresh and, unless the job is in an
// operation status, marks it "cancelled" (protected copy, then the user's mirror as the
// user; both results ignored) and removes the job directory with its package and payload.
// Touches no installed file. Only the context's userSid is used. Failures, nothing changed:
// "cannot derive protected hot-update job id", "protected state mismatch" (no record, an
// unreadable one, or another caller's or path's), "job cannot be cancelled in status <s>", "job
// cannot be cancelled while installed files await their backups" (the job ended with swapped files
// whose ".bak" the next start restores; its record is what names them).
[[nodiscard]] bool HotUpdateCancel(const std::u16string& jobFile, const RequestContext& context,
                                   platform::CriticalSection& jobLock, std::u16string* failure);

}  // namespace vovu
