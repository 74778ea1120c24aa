// Waiting for the service's pipe, for suites that run a pipe server on a thread of their own.
#pragma once

#include <thread>

#include "platform/pipe.h"
#include "service/pipe_client.h"
#include "service/service_names.h"

namespace vovu::testing {

// Waits until an instance of the service's pipe listens. The server makes its first instance
// on its own thread, and between two exchanges the name briefly has none, when a client's
// wait ends at once; so the wait is tried again, a bounded number of times.
[[nodiscard]] inline bool WaitUntilPipeListens() {
  for (int attempt = 0; attempt < 5000; ++attempt) {
    if (platform::WaitForPipeInstance(kPipeName, kPipeClientWaitMs))
      return true;
    std::this_thread::yield();
  }
  return false;
}

}  // namespace vovu::testing
