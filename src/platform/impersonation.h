// Acting as another identity on the calling thread for the length of one scope.
//
// The scope starts the impersonation (of a pipe client, or of a token's user) and its end
// reverts to the process's own identity, also when an exception leaves the scope. A revert
// that fails ends the process at once with kRevertFailedExitCode: a thread that cannot revert
// would go on as the user, and the service manager's failure actions restart the service.
//
// Windows: ImpersonateNamedPipeClient / ImpersonateLoggedOnUser, RevertToSelf,
// TerminateProcess of the process itself. Host: see platform/identity.h (the thread's
// file-system identity), _exit. Fault point kRevertToSelf makes the revert fail.
#pragma once

#include <cstdint>

#include "platform/identity.h"
#include "platform/pipe.h"

namespace vovu::platform {

// The exit code of a process that could not revert to its own identity.
inline constexpr std::uint32_t kRevertFailedExitCode = 84;

class ImpersonationScope {
 public:
  // Acts as the client of the server `instance` (ImpersonatePipeClient's rules).
  explicit ImpersonationScope(const PipeHandle& instance);
  // Acts as the token's user (ImpersonateLoggedOnUserToken's rules).
  explicit ImpersonationScope(const TokenHandle& token);
  ~ImpersonationScope();
  ImpersonationScope(const ImpersonationScope&) = delete;
  ImpersonationScope& operator=(const ImpersonationScope&) = delete;

  // Whether the impersonation started; when false the thread is itself and the last error
  // says why.
  [[nodiscard]] bool active() const { return active_; }

 private:
  bool active_ = false;
};

// Ends the process at once with `exitCode`: no handler, no destructor, no flush.
[[noreturn]] void EndProcessNow(std::uint32_t exitCode);

}  // namespace vovu::platform
