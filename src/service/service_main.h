// The service's run under the service control manager.
#pragma once

#include <cstdint>

namespace vovu {

// Registers the control handler, reports start pending, makes the run's ServiceRuntime
// (stop event, queue, worker, pipe thread) with the start-up recovery as its first job,
// reports running and waits for the stop event; then lets the runtime go (pipe thread and
// worker joined) and reports stopped. A failing start-up step reports stopped with that
// step's own error.
void ServiceMain(std::uint32_t argc, char16_t** argv);

// Stop and shutdown report stop pending and signal the running service's stop event (0);
// session change is accepted and ignored (0), interrogate answered with 0 (the manager
// answers it from the last report); any other control answers 120. Safe at any
// time, also while a run is being set up or torn down.
std::uint32_t ServiceCtrlHandler(std::uint32_t control, std::uint32_t eventType, void* eventData,
                                 void* context);

}  // namespace vovu
