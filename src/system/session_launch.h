// Starting programs for the logged-on user: the cloud-files helper korvaCF.exe in a caller's
// session (at most one per session), any program as a token's user, and the helper's stop
// request.
//
// Every start as a user uses a primary duplicate of the user's token, the user's own
// environment block (the service's environment when it cannot be built), no window, the
// desktop "winsta0\default", no inherited handles; nothing waits for the started process.
#pragma once

#include <cstdint>
#include <string>

#include "caller/request_context.h"
#include "platform/identity.h"

namespace vovu {

// The "start-korvacf" work for `context`: in the command line's own process a direct start;
// otherwise in the caller's session as that session's user, then (when that fails and the
// caller has a token) with the caller's own token, then (without a token) in the active
// console session. False with the last attempt's message ("no active console session",
// "WTSQueryUserToken failed: ...", "korvaCF.exe not found: <path>", "DuplicateTokenEx
// failed: ...", "CreateProcessAsUser failed: ...", "CreateProcess failed: ...").
[[nodiscard]] bool StartKorvaCfForCaller(const RequestContext& context, std::u16string* error);

// Starts korvaCF.exe directly as this process, whether or not one runs already.
[[nodiscard]] bool StartKorvaCfInCurrentContext(std::u16string* error);

// Starts korvaCF.exe as the user logged on to `sessionId`, unless one runs there already.
[[nodiscard]] bool StartKorvaCfInSession(std::uint32_t sessionId, std::u16string* error);

// Starts korvaCF.exe as `userToken`'s user, unless a process named korvaCF.exe (any letter
// case) already runs in `sessionId` (0xFFFFFFFF matches none); true without starting
// anything in that case. The token stays the caller's.
[[nodiscard]] bool StartKorvaCfWithToken(const platform::TokenHandle& userToken,
                                         std::uint32_t sessionId, std::u16string* error);

// Starts `exePath` as `userToken`'s user with the command line QuoteIfNeeded(exePath), then a
// blank and `arguments` when there are any, in the directory of `exePath`. Stores the new
// process's id in `*processId` when it is not null. False with "DuplicateTokenEx failed: ..."
// or "CreateProcessAsUser failed: ...".
[[nodiscard]] bool LaunchAsUser(const std::u16string& exePath,
                                const platform::TokenHandle& userToken,
                                const std::u16string& arguments, std::uint32_t* processId,
                                std::u16string* error);

// Asks the helper running in `sessionId` to stop by starting korvaCF.exe "/Stop" as the
// session's user; does not wait. Nothing happens for 0xFFFFFFFF or a session without a
// user; a failed start is only logged ("korvaCF /Stop failed: ...").
void StopKorvaCfInSession(std::uint32_t sessionId);

}  // namespace vovu
