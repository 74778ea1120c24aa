// "hot-update-confirm": the relaunched application's word that the new version works.
#pragma once

#include <string>

#include "caller/request_context.h"
#include "platform/sync.h"

namespace vovu {

// Under `jobLock` (held from the first read of the record to the end): the caller's
// protected record must exist and be "relaunching"; the job's version is recorded as the
// installed version, the record becomes "done" (protected copy, then the user's mirror), the
// three ".bak" files are deleted and the job directory is removed; logs "hot-update
// confirmed done: <version>". Only the context's userSid is used. Failures: "cannot derive
// protected hot-update job id", "protected state mismatch", "not in relaunching state
// (=<status>)", "cannot persist confirmed installed version: <reason>" (the job stays
// "relaunching" and the rollback timer will undo it), "cannot persist confirmation" (the
// installed version is set back to currentVersion; the record still says "relaunching").
[[nodiscard]] bool HotUpdateConfirm(const std::u16string& jobFile, const RequestContext& context,
                                    platform::CriticalSection& jobLock, std::u16string* failure);

}  // namespace vovu
