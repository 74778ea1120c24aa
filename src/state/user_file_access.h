// Touching a user's files from the service: as the user, on a thread of its own, and never
// for longer than a bound.
//
// An open of a file in a user's profile can wait for as long as that user likes (an oplock,
// a lease on the host, a FIFO or a pipe in the file's place, a stalled network path). So every
// read and write of a user's file runs as the user on a background thread, and the service's
// own thread waits for it at most kUserFileLimitMs, or until the service stops. Past that the
// thread is asked to give up its blocking call and left to end on its own; the operation
// counts as failed. A user whose abandoned operations have not ended yet gets no new thread
// beyond kMaxAbandonedPerUser: their further operations fail at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/background_thread.h"
#include "platform/identity.h"

namespace vovu {

// The longest any one read or write of a user's file may keep a service thread waiting.
inline constexpr std::uint32_t kUserFileLimitMs = 3000;

// How many of one user's file operations may be abandoned and still running.
inline constexpr int kMaxAbandonedPerUser = 4;

enum class BoundedOutcome {
  kFinished,    // `work` ran to its end
  kTimedOut,    // the bound ran out first; the thread was asked to give up
  kStopped,     // the service is stopping; the thread was asked to give up
  kNotStarted,  // no thread: too many of the user's operations abandoned, or none could start
};

// Runs `work` on a background thread and waits for it up to `limitMs` or the service's
// stop. `owner` (the user's SID) is what the abandoned operations are counted by. `work` must
// own everything it uses (it may outlive this call); when it ends after the wait gave up, it
// still runs to its end unseen. A cancel can miss a thread that had not yet entered its
// blocking call: a caller that waits on for the work's end gets the thread in `*abandoned`
// (when not null) to cancel again.
[[nodiscard]] BoundedOutcome RunWithinBound(const std::u16string& owner, std::uint32_t limitMs,
                                            std::function<void()> work,
                                            platform::BackgroundThread* abandoned = nullptr);

// The outcome as the end of a failure text: "timed out", "service stopping", ...
[[nodiscard]] std::u16string DescribeOutcome(BoundedOutcome outcome);

}  // namespace vovu
