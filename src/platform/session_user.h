// The user logged on to a session, and acting as that user on the calling thread.
//
// Windows: WTSQueryUserToken, WTSGetActiveConsoleSessionId and ImpersonateLoggedOnUser
// (RevertToSelf is RevertToSelfIdentity in identity.h).
// Host: a session is a Linux session; its user is the uid of the session's leader (the
// process whose id is the session id). Impersonation sets the calling thread's file-system
// uid, gid and groups to that user's, so file access is checked against the user's rights.
#pragma once

#include <cstdint>

#include "platform/identity.h"

namespace vovu::platform {

// The primary token of the user logged on to `sessionId`; invalid (with the last error, 1008
// when nobody is logged on there) on failure.
[[nodiscard]] TokenHandle QuerySessionUserToken(std::uint32_t sessionId);

// The session attached to the physical console, or 0xFFFFFFFF when there is none.
[[nodiscard]] std::uint32_t ActiveConsoleSessionId();

// The calling thread acts as the token's user until RevertToSelfIdentity.
[[nodiscard]] bool ImpersonateLoggedOnUserToken(const TokenHandle& token);

}  // namespace vovu::platform
