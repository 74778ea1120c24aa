// The impersonation scope, the same on both targets over the platform's impersonation calls.
#include "platform/impersonation.h"

#include "platform/session_user.h"

namespace vovu::platform {

ImpersonationScope::ImpersonationScope(const PipeHandle& instance)
    : active_(ImpersonatePipeClient(instance)) {}

ImpersonationScope::ImpersonationScope(const TokenHandle& token)
    : active_(ImpersonateLoggedOnUserToken(token)) {}

ImpersonationScope::~ImpersonationScope() {
  if (active_ && !RevertToSelfIdentity())
    EndProcessNow(kRevertFailedExitCode);
}

}  // namespace vovu::platform
