// The executable's entry: the service itself when started without arguments, otherwise its
// own command-line tool. Prints nothing, ever: the results are the exit code and, on
// failure, one debugger-output line.
#pragma once

#include <string>
#include <vector>

namespace vovu {

// `args` is the whole argument vector, program name first. Returns the exit code: 0 on
// success, 1 on failure; with no argument 0 also when the process was not started by the
// service control manager (1063).
[[nodiscard]] int RunCommandLine(const std::vector<std::u16string>& args);

// The request text for a forwarded verb: the normalised verb, then LF + each further
// argument exactly as given; no LF after the last.
[[nodiscard]] std::u16string BuildPipeRequest(const std::u16string& verb,
                                              const std::vector<std::u16string>& args);

}  // namespace vovu
