// Security descriptors for files and directories.
//
// Windows: ConvertStringSecurityDescriptorToSecurityDescriptorW and SetFileSecurityW.
// Host: the SDDL is parsed into an ownership-and-mode equivalent (docs/host-platform.md):
// SY is the owner root (uid 0), BA the root group (gid 0, the host's Administrators),
// BU/AU/WD the others; a protected DACL also drops any POSIX ACL. A link is never followed.
#pragma once

#include <memory>
#include <string>

#include "platform/error.h"

namespace vovu::platform {

class SecurityDescriptor {
 public:
  SecurityDescriptor();
  ~SecurityDescriptor();
  SecurityDescriptor(SecurityDescriptor&&) noexcept;
  SecurityDescriptor& operator=(SecurityDescriptor&&) noexcept;

  struct Impl;
  [[nodiscard]] const Impl* impl() const { return impl_.get(); }

 private:
  friend bool ConvertSddlToSecurityDescriptor(const std::u16string&, SecurityDescriptor*);
  std::unique_ptr<Impl> impl_;
};

// Builds a self-relative descriptor from SDDL (revision 1).
[[nodiscard]] bool ConvertSddlToSecurityDescriptor(const std::u16string& sddl,
                                                   SecurityDescriptor* descriptor);

// Sets the descriptor's DACL on `path` as a protected DACL (DACL_SECURITY_INFORMATION |
// PROTECTED_DACL_SECURITY_INFORMATION); owner, group and SACL stay as they are on Windows.
[[nodiscard]] bool SetProtectedFileDacl(const std::u16string& path,
                                        const SecurityDescriptor& descriptor);

}  // namespace vovu::platform
