// Who is asking: the caller's identity, captured once before a command is dispatched.
#pragma once

#include <cstdint>
#include <string>

#include "platform/identity.h"
#include "platform/pipe.h"

namespace vovu {

// The caller of one command. Owns its token: destroying the context closes it. Unknown
// values: empty userSid, sessionId 0xFFFFFFFF, no token.
struct RequestContext {
  std::u16string userSid;
  std::uint32_t sessionId = platform::kNoSession;
  platform::TokenHandle token;
  bool hasToken = false;
  bool isLocal = false;

  RequestContext() = default;
  RequestContext(RequestContext&&) noexcept = default;
  RequestContext& operator=(RequestContext&&) noexcept = default;
  ~RequestContext() { Release(); }

  // Closes the token and empties userSid.
  void Release();
};

// The pipe client's identity: impersonates it just long enough to open its token (access
// checked as the service itself) and read its SID and session. Never fails: what cannot be
// read stays unknown, and the commands refuse such a caller themselves.
[[nodiscard]] RequestContext BuildPipeCallerContext(const platform::PipeHandle& pipe);

// The current process's identity, for the command line's own run of a command.
[[nodiscard]] RequestContext BuildLocalContext();

// The token user's SID in string form. False when it cannot be read.
[[nodiscard]] bool GetTokenUserSid(const platform::TokenHandle& token, std::u16string* sid);

// The token's session id. False when it cannot be read.
[[nodiscard]] bool GetTokenSessionId(const platform::TokenHandle& token, std::uint32_t* session);

// LocalSystem by its SID, or a token that the system reports as a member of BUILTIN
// Administrators (tested on the token as opened; a refused test is "not a member").
[[nodiscard]] bool IsAdminCaller(const RequestContext& context);

}  // namespace vovu
