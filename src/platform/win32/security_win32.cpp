#include <vector>

#include "platform/fault_injection.h"
#include "platform/win32/security_descriptor_impl.h"
#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <sddl.h>

namespace vovu::platform {

SecurityDescriptor::SecurityDescriptor() = default;
SecurityDescriptor::~SecurityDescriptor() = default;
SecurityDescriptor::SecurityDescriptor(SecurityDescriptor&&) noexcept = default;
SecurityDescriptor& SecurityDescriptor::operator=(SecurityDescriptor&&) noexcept = default;

bool ConvertSddlToSecurityDescriptor(const std::u16string& sddl, SecurityDescriptor* descriptor) {
  if (FaultDue(FaultPoint::kConvertSddl, u""))
    return false;
  auto impl = std::make_unique<SecurityDescriptor::Impl>();
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(win32::W(sddl), SDDL_REVISION_1,
                                                              &impl->descriptor, nullptr)) {
    return false;
  }
  descriptor->impl_ = std::move(impl);
  return true;
}

namespace {

// SeTakeOwnershipPrivilege lets the service take a directory whose DACL leaves it out. It is
// enabled only for the one call that sets an owner and put back as it was afterwards, so no
// other call of the process runs with it. Best effort: without it, setting the owner fails
// with the system's own error.
class TakeOwnershipScope {
 public:
  TakeOwnershipScope() {
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token_))
      return;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueW(nullptr, SE_TAKE_OWNERSHIP_NAME, &privileges.Privileges[0].Luid))
      return;
    DWORD size = sizeof previous_;
    // ERROR_NOT_ALL_ASSIGNED: the token lacks the privilege, and nothing changed.
    adjusted_ = ::AdjustTokenPrivileges(token_, FALSE, &privileges, sizeof previous_, &previous_,
                                        &size) != 0 &&
                ::GetLastError() == ERROR_SUCCESS;
  }
  ~TakeOwnershipScope() {
    const DWORD error = ::GetLastError();
    if (adjusted_)
      ::AdjustTokenPrivileges(token_, FALSE, &previous_, 0, nullptr, nullptr);
    if (token_ != nullptr)
      ::CloseHandle(token_);
    ::SetLastError(error);
  }
  TakeOwnershipScope(const TakeOwnershipScope&) = delete;
  TakeOwnershipScope& operator=(const TakeOwnershipScope&) = delete;

 private:
  HANDLE token_ = nullptr;
  TOKEN_PRIVILEGES previous_{};
  bool adjusted_ = false;
};

}  // namespace

bool SetProtectedFileSecurity(const std::u16string& path, const SecurityDescriptor& descriptor,
                              bool setOwner) {
  if (FaultDue(FaultPoint::kSetFileSecurity, path))
    return false;
  if (descriptor.impl() == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  PSECURITY_DESCRIPTOR native = descriptor.impl()->descriptor;
  if (setOwner) {
    // The owner first: once the service owns the object it may always rewrite its DACL.
    const TakeOwnershipScope privilege;
    if (!::SetFileSecurityW(win32::W(path), OWNER_SECURITY_INFORMATION, native))
      return false;
  }
  return ::SetFileSecurityW(win32::W(path),
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            native) != 0;
}

bool GetFileOwnerSid(const std::u16string& path, std::u16string* ownerSid) {
  DWORD needed = 0;
  ::GetFileSecurityW(win32::W(path), OWNER_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return false;
  std::vector<BYTE> buffer(needed);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  LPWSTR text = nullptr;
  if (!::GetFileSecurityW(win32::W(path), OWNER_SECURITY_INFORMATION, buffer.data(), needed,
                          &needed) ||
      !::GetSecurityDescriptorOwner(buffer.data(), &owner, &defaulted) || owner == nullptr ||
      !::ConvertSidToStringSidW(owner, &text)) {
    return false;
  }
  *ownerSid = win32::FromW(text, ::wcslen(text));
  ::LocalFree(text);
  return true;
}

}  // namespace vovu::platform
