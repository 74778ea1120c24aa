// The service's own registration with the service control manager. Each operation returns
// false with the reason in `message` (a fixed prefix naming the failed call and the error
// text).
#pragma once

#include <string>

namespace vovu {

// Registers this executable as an automatic, own-process LocalSystem service (or rewrites
// an existing registration), sets its description and restart-on-failure actions, and
// resets the protected installed-version record. The service is not started. Refused first,
// with CheckInstallationFolder's message, when the executable's folder is open to
// non-administrators (service/installation_folder.h).
[[nodiscard]] bool InstallService(std::u16string* message);

// Stops the service (waiting up to 15 s) and deletes its registration. A missing service
// counts as uninstalled.
[[nodiscard]] bool UninstallService(std::u16string* message);

// Starts the service; an already running one counts as started. Does not wait.
[[nodiscard]] bool StartOwnService(std::u16string* message);

// Asks the service to stop and polls up to 15 s for the stopped state; a missing or stopped
// service counts as stopped, and so does one still stopping after the 15 s.
[[nodiscard]] bool StopOwnService(std::u16string* message);

}  // namespace vovu
