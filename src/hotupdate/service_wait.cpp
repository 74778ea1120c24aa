#include "hotupdate/service_wait.h"

#include "foundation/service_stop.h"
#include "platform/sync.h"

namespace vovu {

bool WaitWhileServiceRuns(std::uint32_t milliseconds) {
  const platform::Event* stop = ServiceStopEvent();
  if (stop == nullptr) {
    platform::SleepMilliseconds(milliseconds);
    return true;
  }
  return stop->Wait(milliseconds) == platform::WaitResult::kTimeout;
}

}  // namespace vovu
