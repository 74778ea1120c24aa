#include "foundation/service_stop.h"

#include <mutex>
#include <utility>

namespace vovu {
namespace {

struct StopState {
  std::mutex mutex;  // between the control handler's signal and the event's replacement
  std::unique_ptr<platform::Event> event;
};

StopState& TheStopState() {
  static StopState state;
  return state;
}

}  // namespace

const platform::Event* ServiceStopEvent() {
  return TheStopState().event.get();
}

void SignalServiceStop() {
  std::lock_guard lock(TheStopState().mutex);
  if (TheStopState().event)
    TheStopState().event->Set();
}

bool ServiceStopRequested() {
  const platform::Event* stop = ServiceStopEvent();
  return stop != nullptr && stop->Wait(0) == platform::WaitResult::kSignalled;
}

void ReplaceServiceStopEvent(std::unique_ptr<platform::Event> event) {
  std::unique_ptr<platform::Event> old;
  {
    std::lock_guard lock(TheStopState().mutex);
    old = std::exchange(TheStopState().event, std::move(event));
  }
}

}  // namespace vovu
