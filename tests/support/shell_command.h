// A short command of the system's shell, for the process tests of both targets.
#pragma once

#include <string>

namespace vovu::testing {

// The command line and what it writes to its standard output.
struct ShellCommand {
  std::u16string commandLine;
  std::string output;
};

// A command line that writes "listed" and a line end to its standard output and exits with
// code 3.
[[nodiscard]] ShellCommand ListedThenExit3();

}  // namespace vovu::testing
