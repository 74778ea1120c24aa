// The names a person reads in place of the service control manager's numbers.
#pragma once

#include <cstdint>
#include <string>

namespace vovu::tools {

// "RUNNING", "STOPPED", ...; "UNKNOWN" for a value without a name.
[[nodiscard]] std::string ServiceStateName(std::uint32_t state);
// "SERVICE_WIN32_OWN_PROCESS", ...; several flags joined with " | ".
[[nodiscard]] std::string ServiceTypeName(std::uint32_t type);
// "AUTO_START", "DEMAND_START", ...
[[nodiscard]] std::string StartTypeName(std::uint32_t startType);
// "NORMAL", "IGNORE", ...
[[nodiscard]] std::string ErrorControlName(std::uint32_t errorControl);
// "(STOPPABLE, ACCEPTS_SHUTDOWN)", or "(NOT_STOPPABLE)".
[[nodiscard]] std::string ControlsAcceptedText(std::uint32_t controlsAccepted);
// "RESTART", "REBOOT", "RUN_COMMAND", "NONE".
[[nodiscard]] std::string FailureActionName(std::uint32_t type);

}  // namespace vovu::tools
