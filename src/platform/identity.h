// Security tokens: impersonating a pipe client, opening the thread's or the process's token,
// and reading a token's user SID, session and Administrators membership.
//
// Windows: ImpersonateNamedPipeClient, RevertToSelf, OpenThreadToken, OpenProcessToken,
// GetTokenInformation (TokenUser, TokenSessionId), ConvertSidToStringSidW,
// AllocateAndInitializeSid and CheckTokenMembership.
//
// Host: a token is a Linux identity: uid, gid, supplementary groups and a session.
//   - A pipe client's token is the identity of the client process when it connected
//     (SO_PEERCRED, the Groups line of /proc/<pid>/status), its session is getsid(pid).
//     Impersonating it also switches the calling thread's file-system uid and gid to the
//     client's (setfsuid/setfsgid act on the calling thread only); reverting restores them.
//   - The process token is the process's own effective uid, gid, groups and getsid(0).
//   - User SID: uid 0 is LocalSystem, "S-1-5-18"; any other uid is
//     "S-1-5-21-1000-1000-1000-<uid>" (one fixed machine prefix for every user).
//   - Administrators (BUILTIN\Administrators, S-1-5-32-544): the token's uid is 0, or gid 0
//     (the root group) is its primary or one of its supplementary groups.
//   - As on Windows, the membership test takes an impersonation token only: asked of a
//     primary (process) token it fails with 1309.
// Tests reach every failure through the fault points kImpersonatePipeClient,
// kOpenThreadToken, kOpenProcessToken, kQueryTokenInformation and kCheckTokenMembership.
#pragma once

#include <cstdint>
#include <string>

#include "platform/native_handle.h"
#include "platform/pipe.h"

namespace vovu::platform {

// The session id that means none or unknown, everywhere.
inline constexpr std::uint32_t kNoSession = 0xFFFFFFFFu;

inline constexpr Win32Error kErrorNoToken = 1008;
inline constexpr Win32Error kErrorNoImpersonationToken = 1309;
inline constexpr Win32Error kErrorCannotImpersonate = 1368;

// The SID string of LocalSystem.
inline constexpr char16_t kLocalSystemSid[] = u"S-1-5-18";

struct TokenHandleTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return 0; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);
};
// An open token, closed when the owner goes.
using TokenHandle = UniqueHandle<TokenHandleTraits>;

// The calling thread takes the identity of the client connected to the server `instance`
// until RevertToSelfIdentity. Fails with 1368 before a message has been read from the
// client (the system allows it only then), and with 233/230 without a connected client.
[[nodiscard]] bool ImpersonatePipeClient(const PipeHandle& instance);

// RevertToSelf: the calling thread is itself again. Harmless without impersonation.
bool RevertToSelfIdentity();

// The calling thread's impersonation token, opened for query and duplicate access with the
// access check made against the process's own identity (OpenAsSelf). Invalid with 1008
// when the thread is not impersonating.
[[nodiscard]] TokenHandle OpenCurrentThreadToken();

// The process's primary token, opened for query and duplicate access.
[[nodiscard]] TokenHandle OpenCurrentProcessToken();

// The TokenUser query: with `buffer` null or `size` too small it fails with 122 and sets
// `*needed` to the size required; with enough room it fills `buffer` (opaque contents,
// only for ConvertTokenUserToSidString) and sets `*needed` to the size used.
[[nodiscard]] bool QueryTokenUser(const TokenHandle& token, void* buffer, std::uint32_t size,
                                  std::uint32_t* needed);

// The string form ("S-1-5-...") of the user SID in a buffer filled by QueryTokenUser.
[[nodiscard]] bool ConvertTokenUserToSidString(const void* tokenUser, std::u16string* sid);

// Both steps at once: the token user's SID string.
[[nodiscard]] bool GetTokenUserSidString(const TokenHandle& token, std::u16string* sid);

// The token's session id (TokenSessionId).
[[nodiscard]] bool GetTokenSessionId(const TokenHandle& token, std::uint32_t* sessionId);

// CheckTokenMembership for BUILTIN\Administrators on `token` as it is (not duplicated).
// True with `*member` set when the test could be made; false (and `*member` untouched)
// when it was refused, e.g. 1309 for a primary token.
[[nodiscard]] bool CheckAdministratorsMembership(const TokenHandle& token, bool* member);

}  // namespace vovu::platform
