// The service's run under the service control manager.
#pragma once

#include <cstdint>

namespace vovu {

// Registers the control handler, reports start pending, creates the stop event and the
// queue, starts the worker, queues the start-up job, starts the pipe thread, reports running
// and waits for the stop event; then joins the pipe thread and the worker and reports
// stopped. A failing start-up step reports stopped with its last error.
void ServiceMain(std::uint32_t argc, char16_t** argv);

// Stop and shutdown report stop pending and signal the stop event (0); session change is
// accepted and ignored (0); any other control answers 120.
std::uint32_t ServiceCtrlHandler(std::uint32_t control, std::uint32_t eventType, void* eventData,
                                 void* context);

}  // namespace vovu
