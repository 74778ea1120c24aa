// Tokens and impersonation on Windows.
#include <vector>

#include "platform/fault_injection.h"
#include "platform/identity.h"
#include "platform/impersonation.h"
#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <sddl.h>

namespace vovu::platform {
namespace {

HANDLE H(const TokenHandle& token) {
  return win32::ToHandle(token.get());
}

}  // namespace

void TokenHandleTraits::Close(Type h) {
  ::CloseHandle(win32::ToHandle(h));
}

bool ImpersonatePipeClient(const PipeHandle& instance) {
  if (FaultDue(FaultPoint::kImpersonatePipeClient, u""))
    return false;
  return ::ImpersonateNamedPipeClient(win32::ToHandle(instance.get())) != 0;
}

bool RevertToSelfIdentity() {
  if (FaultDue(FaultPoint::kRevertToSelf, u""))
    return false;
  return ::RevertToSelf() != 0;
}

[[noreturn]] void EndProcessNow(std::uint32_t exitCode) {
  ::TerminateProcess(::GetCurrentProcess(), exitCode);
  ::ExitProcess(exitCode);  // not reached: TerminateProcess of the caller does not return
}

TokenHandle OpenCurrentThreadToken() {
  if (FaultDue(FaultPoint::kOpenThreadToken, u""))
    return TokenHandle();
  HANDLE token = nullptr;
  // TOKEN_IMPERSONATE: the token is what another thread takes to act as the caller later.
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE,
                         TRUE, &token)) {
    return TokenHandle();
  }
  return TokenHandle(win32::FromHandle(token));
}

TokenHandle OpenCurrentProcessToken() {
  if (FaultDue(FaultPoint::kOpenProcessToken, u""))
    return TokenHandle();
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token))
    return TokenHandle();
  return TokenHandle(win32::FromHandle(token));
}

bool QueryTokenUser(const TokenHandle& token, void* buffer, std::uint32_t size,
                    std::uint32_t* needed) {
  if (FaultDue(FaultPoint::kQueryTokenInformation, u""))
    return false;
  DWORD length = 0;
  const bool ok = ::GetTokenInformation(H(token), TokenUser, buffer, size, &length) != 0;
  const DWORD error = ::GetLastError();
  *needed = length;
  ::SetLastError(error);
  return ok;
}

bool ConvertTokenUserToSidString(const void* tokenUser, std::u16string* sid) {
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(static_cast<const TOKEN_USER*>(tokenUser)->User.Sid, &text))
    return false;
  *sid = win32::FromW(text, wcslen(text));
  ::LocalFree(text);
  return true;
}

bool GetTokenSessionId(const TokenHandle& token, std::uint32_t* sessionId) {
  if (FaultDue(FaultPoint::kQueryTokenInformation, u""))
    return false;
  DWORD session = 0;
  DWORD length = 0;
  if (!::GetTokenInformation(H(token), TokenSessionId, &session, sizeof session, &length))
    return false;
  *sessionId = session;
  return true;
}

bool CheckAdministratorsMembership(const TokenHandle& token, bool* member) {
  if (FaultDue(FaultPoint::kCheckTokenMembership, u""))
    return false;
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL isMember = FALSE;
  const bool ok = ::CheckTokenMembership(H(token), administrators, &isMember) != 0;
  const DWORD error = ::GetLastError();
  ::FreeSid(administrators);
  ::SetLastError(error);
  if (ok)
    *member = isMember != FALSE;
  return ok;
}

}  // namespace vovu::platform
