// The stand-in's own command line as the system gave it, so a test can see how the service
// quoted what it started: GetCommandLineW on Windows; on the host, whose emulation passes
// the command line already split, the words joined by blanks.
#pragma once

#include <string>

namespace vovu::standin {

[[nodiscard]] std::string OwnCommandLine();

}  // namespace vovu::standin
