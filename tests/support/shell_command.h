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

// A command line that writes the file at `path` (a path of the emulated machine, passed as an
// argument) to its standard output and then "err" to its standard error; `output` is what
// both streams give when they share one file.
[[nodiscard]] ShellCommand TypesFileThenErr(const std::u16string& path);

}  // namespace vovu::testing
