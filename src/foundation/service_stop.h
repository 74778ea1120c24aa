// ServiceStopEvent: the one process-wide signal that the service is stopping. Every long
// wait of the service watches it: the pipe server's, the worker's, and those of the
// hot-update steps in the layers below the service (HTTP reads, tar runs, process waits).
// The service's run (service/service_state.h) creates and closes it; everything else only
// tests it or waits on it.
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

// Installs `event` as ServiceStopEvent, or closes and empties it when `event` is null. Only
// the owner of the service's run calls this.
void ReplaceServiceStopEvent(std::unique_ptr<platform::Event> event);

}  // namespace vovu
