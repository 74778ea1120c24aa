// Security descriptors for files and directories.
//
// Windows: ConvertStringSecurityDescriptorToSecurityDescriptorW, SetFileSecurityW and
// GetFileSecurityW.
// Host: the SDDL is parsed into an ownership-and-mode equivalent (docs/host-platform.md):
// SY is root (uid 0), BA the root group (gid 0, the host's Administrators), BU/AU/WD/IU
// everybody; the owner of a file is its uid. A protected DACL also drops any POSIX ACL. A
// link is never followed.
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
// PROTECTED_DACL_SECURITY_INFORMATION) and, when `setOwner`, its owner as well
// (OWNER_SECURITY_INFORMATION; the descriptor must name one, else 87). Group and SACL stay
// as they are, and so does the owner unless asked. A link is refused (5), never followed.
[[nodiscard]] bool SetProtectedFileSecurity(const std::u16string& path,
                                            const SecurityDescriptor& descriptor, bool setOwner);

// The string SID of the owner of `path` (GetFileSecurityW, OWNER_SECURITY_INFORMATION), the
// link itself for a link. False with the last error when it cannot be read.
[[nodiscard]] bool GetFileOwnerSid(const std::u16string& path, std::u16string* ownerSid);

}  // namespace vovu::platform
