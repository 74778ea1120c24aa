// The real vovudidavuda executable, installed into the current test machine and driven
// through its own command line as an administrator would, for end-to-end and load tests.
// Host-only. The machine root is the one TestMachine set up; the caller runs as root.
//
// Waits follow what the other processes leave in the machine root (inotify on the service's
// record directory and on the pipes directory), bounded by a deadline; nothing sleeps.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/service_control.h"

namespace vovu::testing {

// Where the executable is installed, with Korvadesk.exe beside it.
inline constexpr char16_t kServiceInstallDirectory[] = u"C:\\Program Files\\Korva";

// How long a wait for another process may take before the test gives up.
inline constexpr std::chrono::seconds kServicePatience{30};

// Copies the built executable to kServiceInstallDirectory\vovudidavuda.exe and places a
// stand-in Korvadesk.exe stamped with kStandinProductVersion beside it, so that "install"
// can reset the installed-version record. Reports failures through gtest assertions.
void PlaceServiceExecutable();

// PlaceServiceExecutable, then "install" and, with `start`, StartInstalledService. Reports
// failures through gtest assertions. The running service's process id; 0 when not started.
pid_t InstallService(bool start);

// "start", then a wait until the installed service reports running; `*status` (when given)
// holds the last status read. Reports failures through gtest assertions. The running
// service's process id.
pid_t StartInstalledService(platform::ServiceStatus* status = nullptr);

// Ends whatever of the service a test leaves behind, when the test ends early on a failed
// assertion: declared after the TestMachine, it runs "uninstall" (which stops the service
// and waits for it) and kills a process that still runs, before the machine root goes.
class ServiceCleanup {
 public:
  ServiceCleanup() = default;
  ~ServiceCleanup();
  ServiceCleanup(const ServiceCleanup&) = delete;
  ServiceCleanup& operator=(const ServiceCleanup&) = delete;
};

// Runs the installed executable with `args` (after the program name) as a child of this
// process, with this process's environment, and waits for it. Its exit code, or -1 when it
// could not be started or did not exit normally.
[[nodiscard]] int RunServiceTool(const std::vector<std::string>& args);

// The service's current status. False with the Win32 error of the failed call (1060 when
// the service is not registered) in `*error`.
[[nodiscard]] bool QueryInstalledService(platform::ServiceStatus* status, std::uint32_t* error);

// Waits until the service reports `state`; `*status` holds the last status read.
[[nodiscard]] bool WaitForServiceState(std::uint32_t state, platform::ServiceStatus* status);

// Waits until `done` holds, checking it again whenever something changes in one of
// `directories` (those that do not exist yet are watched once they appear), for at most
// kServicePatience.
[[nodiscard]] bool WaitForChangeIn(const std::vector<std::string>& directories,
                                   const std::function<bool()>& done);

// Waits until the service's pipe answers a request of `word`; `*reply` is that answer.
[[nodiscard]] bool WaitForPipeAnswer(const std::u16string& word, std::u16string* reply);

// Waits until an instance of the service's pipe listens. Between two exchanges the pipe
// briefly does not exist, and a client's wait then ends at once with 2.
[[nodiscard]] bool WaitForListeningInstance();

// Waits until process `pid` (not necessarily a child) has ended.
[[nodiscard]] bool WaitForProcessExit(pid_t pid);

// The number of entries in /proc/<pid>/<what> ("task": threads, "fd": open descriptors);
// -1 when the directory cannot be read.
[[nodiscard]] int CountProcEntries(pid_t pid, const char* what);

}  // namespace vovu::testing
