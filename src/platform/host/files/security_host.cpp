// Security descriptors on the host: an SDDL owner and DACL become ownership and mode bits.
//
// SY (LocalSystem) is uid 0, BA (Administrators) the group gid 0, BU/AU/WD/IU everybody.
// FA/GA grant rwx, FR/GR/FX/GX r-x, FW/GW w; a number grants r for FILE_READ_DATA (0x1),
// w for FILE_WRITE_DATA (0x2) and x for FILE_EXECUTE (0x20). An entry for SY gives the owner
// class its bits only when the object's owner is root: a user who owns an object keeps only
// what everybody gets, and may still change the mode, as a Windows owner may always rewrite
// the DACL. The owner changes only when the descriptor names one ("O:SY" or "O:BA", both
// uid 0) and the caller asks for the owner to be set; an entry for BA makes gid 0 the group,
// the only way the host can grant Administrators a right. A protected DACL also drops
// POSIX ACLs, so nothing inherited from the parent remains. Anything else in the SDDL
// (deny entries, other SIDs, a group) is refused with 1336, as the host cannot express it.
// Without root rights (single-user mode) ownership cannot change and only the mode is set.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/fault_injection.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/core/unique_fd.h"
#include "platform/host/files/security_descriptor_impl.h"
#include "platform/host/registry/registry_paths.h"
#include "platform/security.h"

namespace vovu::platform {

inline constexpr Win32Error kErrorInvalidAcl = 1336;

SecurityDescriptor::SecurityDescriptor() = default;
SecurityDescriptor::~SecurityDescriptor() = default;
SecurityDescriptor::SecurityDescriptor(SecurityDescriptor&&) noexcept = default;
SecurityDescriptor& SecurityDescriptor::operator=(SecurityDescriptor&&) noexcept = default;

namespace {

// FILE_APPEND_DATA, which on a pipe is the right to create instances of it, and the generic
// rights that include it.
constexpr std::uint32_t kAppendRights = 0x4 | 0x10000000 | 0x40000000;

// The rwx bits of an access mask written as a number ("0x12019b"); `*appends`: whether it
// grants FILE_APPEND_DATA.
bool NumericRightsToBits(const std::u16string& rights, mode_t* bits, bool* appends) {
  std::uint32_t mask = 0;
  if (rights.size() < 3 || rights.size() > 10 || rights[0] != u'0' ||
      (rights[1] != u'x' && rights[1] != u'X')) {
    return false;
  }
  for (std::size_t i = 2; i < rights.size(); ++i) {
    const char16_t c = rights[i];
    const int digit = c >= u'0' && c <= u'9'   ? c - u'0'
                      : c >= u'a' && c <= u'f' ? c - u'a' + 10
                      : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                               : -1;
    if (digit < 0)
      return false;
    mask = mask << 4 | static_cast<std::uint32_t>(digit);
  }
  *bits = ((mask & 0x1) != 0 ? 4 : 0) | ((mask & 0x2) != 0 ? 2 : 0) | ((mask & 0x20) != 0 ? 1 : 0);
  *appends = (mask & kAppendRights) != 0;
  return true;
}

// The rwx bits granted by an SDDL rights field such as "FA" or "GRGX"; `*appends` as above
// (FA, GA, FW and GW all include FILE_APPEND_DATA).
bool RightsToBits(const std::u16string& rights, mode_t* bits, bool* appends) {
  *bits = 0;
  *appends = false;
  if (rights.size() > 2 && rights[0] == u'0')
    return NumericRightsToBits(rights, bits, appends);
  if (rights.size() % 2 != 0 || rights.empty())
    return false;
  for (std::size_t i = 0; i < rights.size(); i += 2) {
    const std::u16string r = rights.substr(i, 2);
    if (r == u"FA" || r == u"GA") {
      *bits |= 7;
      *appends = true;
    } else if (r == u"FR" || r == u"GR" || r == u"FX" || r == u"GX") {
      *bits |= 5;
    } else if (r == u"FW" || r == u"GW") {
      *bits |= 2;
      *appends = true;
    } else {
      return false;
    }
  }
  return true;
}

bool ParseAce(const std::u16string& ace, SecurityDescriptor::Impl* impl) {
  std::u16string fields[6];
  std::size_t field = 0;
  for (char16_t c : ace) {
    if (c == u';') {
      if (++field >= 6)
        return false;
    } else {
      fields[field].push_back(c);
    }
  }
  if (field != 5 || fields[0] != u"A" || !fields[3].empty() || !fields[4].empty())
    return false;
  mode_t bits = 0;
  bool appends = false;
  if (!RightsToBits(fields[2], &bits, &appends))
    return false;
  const std::u16string& sid = fields[5];
  if (sid == u"SY") {
    impl->systemBits |= bits;
  } else if (sid == u"BA") {
    impl->hasAdministrators = true;
    impl->administratorBits |= bits;
  } else if (sid == u"BU" || sid == u"AU" || sid == u"WD" || sid == u"IU") {
    impl->everyoneBits |= bits;
    impl->everyoneAppends = impl->everyoneAppends || appends;
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool ConvertSddlToSecurityDescriptor(const std::u16string& sddl, SecurityDescriptor* descriptor) {
  if (FaultDue(FaultPoint::kConvertSddl, u""))
    return false;
  auto impl = std::make_unique<SecurityDescriptor::Impl>();
  std::size_t i = 0;
  if (sddl.compare(0, 2, u"O:") == 0) {
    // The owner: SY or BA, both uid 0 on the host.
    const std::u16string owner = sddl.substr(2, 2);
    if (owner != u"SY" && owner != u"BA") {
      SetLastErrorCode(kErrorInvalidAcl);
      return false;
    }
    impl->ownerIsSystem = true;
    i = 4;
  }
  if (sddl.compare(i, 2, u"D:") != 0) {
    SetLastErrorCode(kErrorInvalidAcl);
    return false;
  }
  i += 2;
  while (i < sddl.size() && sddl[i] != u'(') {
    if (sddl[i] == u'P') {
      impl->protectedDacl = true;
    } else {
      SetLastErrorCode(kErrorInvalidAcl);
      return false;
    }
    ++i;
  }
  while (i < sddl.size()) {
    const std::size_t close = sddl.find(u')', i);
    if (sddl[i] != u'(' || close == std::u16string::npos ||
        !ParseAce(sddl.substr(i + 1, close - i - 1), impl.get())) {
      SetLastErrorCode(kErrorInvalidAcl);
      return false;
    }
    i = close + 1;
  }
  descriptor->impl_ = std::move(impl);
  return true;
}

namespace {

// Applies the descriptor to the object open as `fd` (reopened through /proc/self/fd, which
// reaches the same inode: fchmod and fchown refuse O_PATH descriptors).
bool ApplyDescriptor(int fd, const SecurityDescriptor::Impl& impl, bool setOwner,
                     const std::string& hostPath) {
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISLNK(st.st_mode)) {
    SetLastErrorCode(kErrorAccessDenied);  // a link's own rights mean nothing on the host
    return false;
  }
  if (setOwner && !impl.ownerIsSystem) {
    SetLastErrorCode(kErrorInvalidParameter);  // no owner in the descriptor
    return false;
  }
  const int flags = (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0) | O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  const host::UniqueFd object(open(("/proc/self/fd/" + std::to_string(fd)).c_str(), flags));
  if (!object.valid()) {
    SetLastErrorCode(host::Win32ErrorFromErrno(errno, hostPath));
    return false;
  }
  bool ok = true;
  uid_t owner = st.st_uid;
  gid_t group = st.st_gid;
  if (geteuid() == 0) {
    owner = setOwner ? 0 : owner;
    group = impl.hasAdministrators ? 0 : group;
    ok = fchown(object.get(), owner, group) == 0;
  }
  ok = ok && fchmod(object.get(), impl.ModeFor(owner, group)) == 0;
  const int err = errno;
  if (ok && impl.protectedDacl) {
    fremovexattr(object.get(), "system.posix_acl_access");
    if (S_ISDIR(st.st_mode))
      fremovexattr(object.get(), "system.posix_acl_default");
  }
  if (!ok) {
    SetLastErrorCode(host::Win32ErrorFromErrno(err, hostPath));
    return false;
  }
  return true;
}

const SecurityDescriptor::Impl* ImplOf(const SecurityDescriptor& descriptor) {
  if (descriptor.impl() == nullptr)
    SetLastErrorCode(kErrorInvalidParameter);
  return descriptor.impl();
}

}  // namespace

bool SetProtectedFileSecurity(const std::u16string& path, const SecurityDescriptor& descriptor,
                              bool setOwner) {
  if (FaultDue(FaultPoint::kSetFileSecurity, path))
    return false;
  const SecurityDescriptor::Impl* impl = ImplOf(descriptor);
  std::string hostPath;
  if (impl == nullptr || !host::ToHostPath(path, &hostPath))
    return false;
  // Links are followed, the last component's too: SetFileSecurityW walks through a junction,
  // and a hard link (what an ordinary user can make to a file) shares its target's
  // descriptor.
  const host::UniqueFd fd(open(hostPath.c_str(), O_PATH | O_CLOEXEC));
  if (!fd.valid()) {
    SetLastErrorCode(host::Win32ErrorFromErrno(errno, hostPath));
    return false;
  }
  return ApplyDescriptor(fd.get(), *impl, setOwner, hostPath);
}

bool GetFileOwnerSid(const std::u16string& path, std::u16string* ownerSid) {
  std::string hostPath;
  if (!host::ToHostPath(path, &hostPath))
    return false;
  struct stat st;
  if (stat(hostPath.c_str(), &st) != 0) {  // followed, as GetFileSecurityW through a junction
    SetLastErrorCode(host::Win32ErrorFromErrno(errno, hostPath));
    return false;
  }
  *ownerSid = host::SidOfUid(static_cast<std::uint32_t>(st.st_uid));
  return true;
}

bool CreateDirectoryWithSecurity(const std::u16string& path, const SecurityDescriptor& descriptor) {
  if (FaultDue(FaultPoint::kCreateDirectory, path))
    return false;
  const SecurityDescriptor::Impl* impl = ImplOf(descriptor);
  std::string hostPath;
  if (impl == nullptr || !host::ToHostPath(path, &hostPath))
    return false;
  // Made for its creator alone, then given the descriptor through its descriptor: nobody but
  // the creator (root, the service) can reach it in between, as on Windows nobody can reach
  // a directory created with its descriptor.
  if (mkdir(hostPath.c_str(), 0700) != 0) {
    SetLastErrorCode(errno == EEXIST ? kErrorAlreadyExists
                                     : host::Win32ErrorFromErrno(errno, hostPath));
    return false;
  }
  const host::UniqueFd fd(open(hostPath.c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    SetLastErrorCode(host::Win32ErrorFromErrno(errno, hostPath));
    return false;
  }
  return ApplyDescriptor(fd.get(), *impl, impl->ownerIsSystem, hostPath);
}

bool GetHandleOwnerSid(const FileHandle& entry, std::u16string* ownerSid) {
  struct stat st;
  if (!entry.valid() || fstat(static_cast<int>(entry.get()), &st) != 0) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  *ownerSid = host::SidOfUid(static_cast<std::uint32_t>(st.st_uid));
  return true;
}

bool SetHandleProtectedSecurity(const FileHandle& entry, const std::u16string& label,
                                const SecurityDescriptor& descriptor, bool setOwner) {
  if (FaultDue(FaultPoint::kSetFileSecurity, label))
    return false;
  const SecurityDescriptor::Impl* impl = ImplOf(descriptor);
  if (impl == nullptr)
    return false;
  if (!entry.valid()) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  return ApplyDescriptor(static_cast<int>(entry.get()), *impl, setOwner, std::string());
}

}  // namespace vovu::platform
