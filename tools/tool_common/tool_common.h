// The conventions every developer tool keeps: `--help` (and `-h`, `/?`) prints the usage on
// standard output and exits 0; a usage error prints the problem and the usage on standard
// error and exits 2; a failure of the work itself exits 1 with its reason on standard error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vovu::tools {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// "--help", "-h", "-?", "/?", "/h" and "/help" (the slash forms in any case).
[[nodiscard]] bool IsHelpArgument(std::string_view argument);

// An argument a person most likely meant as a switch, not as a path or a name: it starts
// with '-', contains '?', is '/' and one character, or is "/help" in any case.
[[nodiscard]] bool LooksLikeOption(std::string_view argument);

// Prints `usage` (which ends in a line break) on standard output; returns kExitSuccess.
int ShowUsage(std::string_view usage);

// Prints "<tool>: <problem>" and then `usage` on standard error; returns kExitUsage.
int UsageError(std::string_view tool, std::string_view problem, std::string_view usage);

// "error=<code>" and, when the system has a text for the code, one blank and that text
// without its trailing line break: what a person needs instead of a bare number.
[[nodiscard]] std::string ErrorText(std::uint32_t code);

// On the host, when VOVU_MACHINE_ROOT is not set, says on standard error which machine root
// the tool works on (the default one), so that nobody wonders where its results went. On
// Windows the tools work on the real machine and nothing is printed.
void NoteMachineRoot(std::string_view tool);

}  // namespace vovu::tools
