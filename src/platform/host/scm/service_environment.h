// The environment the emulated service manager gives a service's process. Host-only.
#pragma once

#include <string>
#include <vector>

namespace vovu::platform::host {

// The machine's environment block for a service, whoever asked the manager to start it, as
// Windows gives every service the system's block and never the starter's:
//   ALLUSERSPROFILE, ProgramData   C:\ProgramData
//   ComSpec                        C:\Windows\system32\cmd.exe
//   OS                             Windows_NT
//   PATH                           the host's system directories (the machine's tar.exe is a
//                                  host program and finds its helpers there)
//   ProgramFiles                   C:\Program Files
//   SystemDrive                    C:
//   SystemRoot, windir             C:\Windows
//   USERNAME, USERPROFILE          SYSTEM, C:\Windows\system32\config\systemprofile
//   VOVU_SESSION                   0 (services run in session 0)
//   VOVU_MACHINE_ROOT              the manager's own machine root
//   VOVU_SCM_SERVICE               `serviceName` (the manager's word to the process)
// and, taken from `starter` (the starter's environment, null-terminated), only the host's
// own plumbing that no Windows machine has: the emulation's test seams (every variable whose
// name starts with VOVU_TEST_) and the sanitizer runtimes' options (ASAN_OPTIONS,
// LSAN_OPTIONS, UBSAN_OPTIONS). Starting a service needs the manager's start right, which
// only administrators hold, so a seam passed on here is an administrator's choice.
// TEMP and TMP are left out: nothing in the service reads them, and the host programs it
// starts would take a Windows path there for a relative host one; they use /tmp.
[[nodiscard]] std::vector<std::string> ServiceEnvironment(const std::string& serviceName,
                                                          char* const* starter);

}  // namespace vovu::platform::host
