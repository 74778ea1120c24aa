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

bool SetProtectedFileDacl(const std::u16string& path, const SecurityDescriptor& descriptor) {
  if (FaultDue(FaultPoint::kSetFileSecurity, path))
    return false;
  if (descriptor.impl() == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return ::SetFileSecurityW(win32::W(path),
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            descriptor.impl()->descriptor) != 0;
}

}  // namespace vovu::platform
