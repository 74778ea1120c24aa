// The user's copy of a job record (the mirror), written as the user, off the service's
// threads, never under the job lock.
//
// PostJobMirror only hands the text over and returns: the job lock may be held around it.
// Each job-file path has one writer at a time, a background thread that writes the newest
// text posted for that path (a text posted while an earlier one is being written replaces
// any text still waiting, so statuses that follow each other fast can be skipped, and the
// last one is always the last written). Each write runs within kUserFileLimitMs (see
// state/user_file_access.h); one that cannot finish is given up and logged, and the
// protected record stays the truth. The writer waits for a write it gave up to end before it
// writes that path again, so an older text never lands after a newer one.
//
// A write, as the user logged on to the job's session (only when that user's SID is the
// job's): the ".tmp" beside the file is deleted and made anew (never opened as it was found:
// a FIFO or a link left there is removed, not followed), written whole, and renamed over the
// file. A rename refused because a reader holds the file (5 or 32, a reader that did not
// share delete) is tried again kMirrorReplaceTries times in all, within kMirrorRetrySpanMs.
#pragma once

#include <cstdint>
#include <string>

#include "state/hot_update_job.h"

namespace vovu {

inline constexpr int kMirrorReplaceTries = 5;
inline constexpr std::uint32_t kMirrorRetrySpanMs = 300;

// How long the pipe thread waits for a mirror before it answers anyway.
inline constexpr std::uint32_t kMirrorReplyWaitMs = 500;

// Hands the job's text to the writer of job.jobFile. Nothing when the job has no job file
// or no session.
void PostJobMirror(const HotUpdateJob& job);

// PostJobMirror for a job at rest whose copy is written again at start-up (the service may
// have ended between the record and the copy). The text is written only where the user's
// file, read as the user just before the write, still holds this job's request (its request
// fields and createdAt): a new request the application wrote into the file meanwhile is never
// replaced by the old job's status, and a file the user removed is not made again.
void RepostJobMirrorOverItsRequest(const HotUpdateJob& job);

// Waits until everything posted for `jobFile` so far has been written or given up, at most
// `limitMs` and never past the service's stop. True when it has.
bool AwaitJobMirror(const std::u16string& jobFile, std::uint32_t limitMs);

}  // namespace vovu
