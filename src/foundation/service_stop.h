// ServiceStopEvent: the one process-wide signal that the service is stopping. Every long
// wait of the service watches it: the pipe server's, the worker's, and those of the
// hot-update steps in the layers below the service (HTTP reads, tar runs, process waits).
// The service's runtime (service/service_runtime.h) owns it and publishes it here for the
// length of its run; everything else only tests it, waits on it or signals it.
#pragma once

#include <memory>

#include "platform/sync.h"

namespace vovu {

// ServiceStopEvent: manual reset, signalled once and never reset. Null while the service is
// not running (for example in the command line's own process).
[[nodiscard]] const platform::Event* ServiceStopEvent();

// Signals the stop event if it exists. Safe from the control handler's thread at any time,
// also while ServiceMain closes the event.
void SignalServiceStop();

// True when the stop event exists and is signalled (tested without waiting).
[[nodiscard]] bool ServiceStopRequested();

// Publishes `event`, owned by the caller, as ServiceStopEvent until it is withdrawn with null.
// Only the service's runtime calls this, before its threads start and after they have ended.
void PublishServiceStopEvent(const platform::Event* event);

// Installs `event` as ServiceStopEvent and owns it, or closes and empties it when `event` is
// null: for processes and tests that have no runtime.
void ReplaceServiceStopEvent(std::unique_ptr<platform::Event> event);

}  // namespace vovu
