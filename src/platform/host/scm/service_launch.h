// How the emulated service control manager starts a service's program. Host-only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vovu::platform::host {

// Splits a Windows command line as CommandLineToArgvW does: the program is the text between
// the first pair of double quotes when the line starts with one, else up to the first blank;
// the arguments follow the C runtime's rules (2n backslashes and a quote: n backslashes and
// the quote toggles quoting; 2n+1: n backslashes and a literal quote; "" inside quotes: a
// literal quote). An empty line gives no words.
[[nodiscard]] std::vector<std::u16string> SplitCommandLine(const std::u16string& commandLine);

// Starts the program of `binaryPath` (a Windows command line; the program's path is mapped
// into the machine) as a detached process: a new session, not a child of the caller, the
// standard handles on /dev/null, the machine's environment for services (ServiceEnvironment,
// never the caller's), the current directory C:\Windows\System32 when it exists (else "/").
// `recordStart` is called with the new process's id and start time after the process exists
// and before it runs the program; when it fails the process ends without running anything.
// False with the Win32 error of the failure (2 or 3 for a missing program, 5 for one that
// may not be run, 193 for one that is not a program) when the program was not started.
[[nodiscard]] bool StartDetachedProcess(
    const std::u16string& binaryPath, const std::string& serviceName,
    const std::function<bool(pid_t pid, std::uint64_t startTime)>& recordStart, pid_t* pid);

}  // namespace vovu::platform::host
