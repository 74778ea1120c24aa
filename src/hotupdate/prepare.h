// "hot-update-prepare" on the worker: from the user's job file to a staged, verified package.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/identity.h"
#include "platform/sync.h"

namespace vovu {

// Takes the job under protection (see prepare_claim.h), has the official manifest authorize
// it, downloads package.zip, checks its SHA-256 and size, extracts it into the payload
// directory and verifies the contents. Reports only through the job record, persisted at
// each step and mirrored to the user's file as the user: "verifying" ("official manifest"),
// "downloading", "verifying" ("package sha256"), then "staged", or "failed" with the
// failing step's message. Never touches the installed application. `jobLock` is
// JobQueueLock, held only while the job is claimed. `callerToken` is the caller's token, the
// identity the user's job file is read as.
void HotUpdatePrepare(const std::u16string& jobFile, const std::u16string& callerSid,
                      std::uint32_t sessionId,
                      std::shared_ptr<const platform::TokenHandle> callerToken,
                      platform::CriticalSection& jobLock);

}  // namespace vovu
