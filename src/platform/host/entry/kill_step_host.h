// A test seam of the host build only: the service process killed with SIGKILL the moment it
// reaches a named step of a hot update (foundation/step_hook.h), so that tests can crash the
// real installed service at every step and start it again. The Windows build has no such
// thing: this file is compiled into the host's executable alone.
#pragma once

namespace vovu::platform::host {

// The variable that names the step: "<step>:<index>", the step's number in HotUpdateStep and
// the index ReachStep reports with it. Read once, at the start of the program; a program
// started without it reaches every step as usual.
inline constexpr char kKillAtStepVariable[] = "VOVU_TEST_KILL_AT";

// Installs the hook when the variable is set to a valid value.
void InstallKillAtStepFromEnvironment();

}  // namespace vovu::platform::host
