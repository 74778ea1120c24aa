// Untrusted rights on the host: the owner uid and the mode bits (docs/host-platform.md).
//
// A file's w bit lets its class write and append to it; a directory's w bit (with x) lets
// its class add files and folders and remove or rename any entry, except, with the sticky
// bit, the entries it does not own. Removing an object itself is a right of its parent
// directory, so deleteSelf stays empty: the caller asks the parent. Only the owner may
// change the mode, as only a Windows owner may always rewrite a DACL.
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/error.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/registry/registry_paths.h"
#include "platform/object_rights.h"

namespace vovu::platform {
namespace {

// Root, and the machine root's owner in single-user mode, are the machine's administrators.
bool TrustedUid(uid_t uid) {
  if (uid == 0)
    return true;
  struct stat root;
  return stat(host::MachineRoot().c_str(), &root) == 0 && root.st_uid != 0 && root.st_uid == uid;
}

// A group other than the administrators': named by its number, as it has no SID.
std::u16string GroupName(gid_t gid) {
  const std::string digits = std::to_string(gid);
  return u"group " + std::u16string(digits.begin(), digits.end());
}

void Grant(const std::u16string& who, bool directory, bool sticky, UntrustedRights* rights) {
  if (rights->writeData.empty())
    rights->writeData = who;
  if (rights->appendData.empty())
    rights->appendData = who;
  if (directory && !sticky && rights->deleteChild.empty())
    rights->deleteChild = who;
}

}  // namespace

bool ReadUntrustedRights(const std::u16string& path, UntrustedRights* rights) {
  *rights = UntrustedRights();
  std::string hostPath;
  if (!host::ToHostPath(path, &hostPath))
    return false;
  struct stat st;
  if (stat(hostPath.c_str(), &st) != 0) {
    SetLastErrorCode(host::Win32ErrorFromErrno(errno, hostPath));
    return false;
  }
  const bool directory = S_ISDIR(st.st_mode);
  const bool sticky = (st.st_mode & S_ISVTX) != 0;
  if (!TrustedUid(st.st_uid)) {
    rights->owner = host::SidOfUid(st.st_uid);
    rights->changeSecurity = rights->owner;
  }
  if (st.st_gid != 0 && (st.st_mode & S_IWGRP) != 0)
    Grant(GroupName(st.st_gid), directory, sticky, rights);
  // Everybody else: the Users group of the machine.
  if ((st.st_mode & S_IWOTH) != 0)
    Grant(u"S-1-5-32-545", directory, sticky, rights);
  return true;
}

}  // namespace vovu::platform
