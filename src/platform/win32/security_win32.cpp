#include <vector>

#include "platform/fault_injection.h"
#include "platform/win32/privilege_scope.h"
#include "platform/win32/security_descriptor_impl.h"
#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <aclapi.h>
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
    const win32::FileAdminPrivileges privileges;
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

namespace {

bool OwnerToString(PSID owner, std::u16string* ownerSid) {
  LPWSTR text = nullptr;
  if (owner == nullptr || !::ConvertSidToStringSidW(owner, &text))
    return false;
  *ownerSid = win32::FromW(text, ::wcslen(text));
  ::LocalFree(text);
  return true;
}

}  // namespace

bool CreateDirectoryWithSecurity(const std::u16string& path, const SecurityDescriptor& descriptor) {
  if (FaultDue(FaultPoint::kCreateDirectory, path))
    return false;
  if (descriptor.impl() == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = descriptor.impl()->descriptor;
  attributes.bInheritHandle = FALSE;
  // An owner other than the caller's own user (LocalSystem, when an administrator's command
  // line creates it) needs the restore privilege.
  const win32::FileAdminPrivileges privileges;
  return ::CreateDirectoryW(win32::W(path), &attributes) != 0;
}

bool GetHandleOwnerSid(const FileHandle& entry, std::u16string* ownerSid) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR buffer = nullptr;
  const DWORD status =
      ::GetSecurityInfo(win32::ToHandle(entry.get()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                        &owner, nullptr, nullptr, nullptr, &buffer);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(status);
    return false;
  }
  const bool ok = OwnerToString(owner, ownerSid);
  const DWORD error = ::GetLastError();
  ::LocalFree(buffer);
  ::SetLastError(error);
  return ok;
}

bool SetHandleProtectedSecurity(const FileHandle& entry, const std::u16string& label,
                                const SecurityDescriptor& descriptor, bool setOwner) {
  if (FaultDue(FaultPoint::kSetFileSecurity, label))
    return false;
  if (descriptor.impl() == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // The handle was opened with WRITE_DAC and WRITE_OWNER; the owner first, as above.
  PSECURITY_DESCRIPTOR native = descriptor.impl()->descriptor;
  const HANDLE handle = win32::ToHandle(entry.get());
  if (setOwner && !::SetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, native))
    return false;
  return ::SetKernelObjectSecurity(
             handle, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, native) != 0;
}

}  // namespace vovu::platform
