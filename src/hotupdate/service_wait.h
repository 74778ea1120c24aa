// The hot-update steps' waits: each ends early when the service is told to stop.
#pragma once

#include <cstdint>

namespace vovu {

// Waits up to `milliseconds` on ServiceStopEvent. True when the time ran out (the service
// keeps running), false when the service is stopping or the wait failed. Outside a service
// run (no stop event) it simply sleeps and answers true.
[[nodiscard]] bool WaitWhileServiceRuns(std::uint32_t milliseconds);

}  // namespace vovu
