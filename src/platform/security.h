// Security descriptors for files and directories, by path and by handle.
//
// Windows: ConvertStringSecurityDescriptorToSecurityDescriptorW, SetFileSecurityW,
// GetFileSecurityW, CreateDirectoryW with a descriptor, GetSecurityInfo and
// SetKernelObjectSecurity.
// Host: the SDDL is parsed into an ownership-and-mode equivalent (docs/host-platform.md):
// SY is root (uid 0), BA the root group (gid 0, the host's Administrators), BU/AU/WD/IU
// everybody; the owner of a file is its uid. A protected DACL also drops any POSIX ACL. The
// path calls follow links as Windows follows a junction; only a handle opened without
// following (platform/file_handles.h) acts on an entry that cannot have been swapped.
#pragma once

#include <memory>
#include <string>

#include "platform/error.h"
#include "platform/files.h"

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
// as they are, and so does the owner unless asked. Every link in the path is followed, the
// last component's too, as a junction is on Windows: what the path names when the call runs
// is what changes.
[[nodiscard]] bool SetProtectedFileSecurity(const std::u16string& path,
                                            const SecurityDescriptor& descriptor, bool setOwner);

// The string SID of the owner of `path` (GetFileSecurityW, OWNER_SECURITY_INFORMATION), links
// followed as above. False with the last error when it cannot be read.
[[nodiscard]] bool GetFileOwnerSid(const std::u16string& path, std::u16string* ownerSid);

// Creates the directory `path` with `descriptor` (owner and protected DACL) in the creation
// call itself, so it never exists with other security; 183 when something has the name.
[[nodiscard]] bool CreateDirectoryWithSecurity(const std::u16string& path,
                                               const SecurityDescriptor& descriptor);

// The string SID of the owner of the open entry.
[[nodiscard]] bool GetHandleOwnerSid(const FileHandle& entry, std::u16string* ownerSid);

// SetProtectedFileSecurity through an open handle (not a link's). `label` is the entry's
// path as the caller knows it, used only by the fault seam (kSetFileSecurity).
[[nodiscard]] bool SetHandleProtectedSecurity(const FileHandle& entry, const std::u16string& label,
                                              const SecurityDescriptor& descriptor, bool setOwner);

}  // namespace vovu::platform
