// Files and directories by handle on the host: descriptors opened with O_NOFOLLOW.
//
// An entry is looked up once with O_PATH | O_NOFOLLOW. A link stays that O_PATH descriptor
// (the link itself, as FILE_FLAG_OPEN_REPARSE_POINT opens a reparse point); anything else
// is reopened through /proc/self/fd, which reaches the very inode looked up, never a name.
// Linux has no rename or delete by descriptor: both take the path the kernel keeps for the
// descriptor (it follows renames), open its parent, and act only when the name there still
// leads to the same inode, with renameat2(RENAME_NOREPLACE) and unlinkat, which never
// follow the last component.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault_injection.h"
#include "platform/file_handles.h"
#include "platform/host/core/host_util.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/core/unique_fd.h"
#include "platform/text_codec.h"

namespace vovu::platform {
namespace {

using host::UniqueFd;

std::string DescriptorPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

FileHandle Failed(Win32Error code) {
  SetLastErrorCode(code);
  return FileHandle();
}

// The descriptor of what `lookup` (an O_PATH | O_NOFOLLOW descriptor) names: the link itself
// for a link, else the same inode opened for reading.
FileHandle ReopenLookedUp(int lookup, const std::string& hostPath) {
  UniqueFd path(host::AboveStdio(lookup));
  if (!path.valid())
    return Failed(host::Win32ErrorFromErrno(errno, hostPath));
  struct stat st;
  if (fstat(path.get(), &st) != 0)
    return Failed(host::Win32ErrorFromErrno(errno, hostPath));
  if (S_ISLNK(st.st_mode) || S_ISSOCK(st.st_mode))
    return FileHandle(path.release());
  const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0);
  // What cannot be opened for reading (no read right) stays the looked-up descriptor, which
  // still checks, renames and deletes.
  const int fd = host::AboveStdio(open(DescriptorPath(path.get()).c_str(), flags));
  if (fd < 0)
    return FileHandle(path.release());
  return FileHandle(fd);
}

std::uint32_t AttributesOfStat(const struct stat& st, bool linkToDirectory) {
  std::uint32_t attributes = 0;
  if (S_ISLNK(st.st_mode)) {
    attributes = kFileAttributeReparsePoint | (linkToDirectory ? kFileAttributeDirectory : 0);
  } else if (S_ISDIR(st.st_mode)) {
    attributes = kFileAttributeDirectory;
  } else if ((st.st_mode & 0222) == 0) {
    attributes = kFileAttributeReadOnly;
  }
  return attributes == 0 ? kFileAttributeNormal : attributes;
}

// The entry's parent directory (opened without following its last component) and its name
// there, checked to still be the entry behind `fd`. False with the last error otherwise.
bool LocateEntry(int fd, UniqueFd* parent, std::string* name, struct stat* st) {
  if (fstat(fd, st) != 0) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  char buffer[PATH_MAX + 1];
  const ssize_t length = readlink(DescriptorPath(fd).c_str(), buffer, PATH_MAX);
  if (length <= 0 || buffer[0] != '/') {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  const std::string current(buffer, static_cast<std::size_t>(length));
  const std::size_t slash = current.find_last_of('/');
  *name = current.substr(slash + 1);
  const std::string directory = slash == 0 ? "/" : current.substr(0, slash);
  parent->reset(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat there;
  if (!parent->valid() || name->empty() ||
      fstatat(parent->get(), name->c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      there.st_dev != st->st_dev || there.st_ino != st->st_ino) {
    SetLastErrorCode(kErrorFileNotFound);  // deleted, or its name now leads elsewhere
    return false;
  }
  return true;
}

bool ValidComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

FileHandle OpenEntryNoFollow(const std::u16string& path) {
  std::string hostPath;
  if (!host::ToHostPath(path, &hostPath))
    return FileHandle();
  return ReopenLookedUp(open(hostPath.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC), hostPath);
}

FileHandle OpenDirectoryForNames(const std::u16string& path) {
  std::string hostPath;
  if (!host::ToHostPath(path, &hostPath))
    return FileHandle();
  const int fd = host::AboveStdio(open(hostPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd < 0)
    return Failed(errno == ENOTDIR ? kErrorDirectory : host::Win32ErrorFromErrno(errno, hostPath));
  return FileHandle(fd);
}

FileHandle OpenChildNoFollow(const FileHandle& directory, const std::u16string& name) {
  const std::string hostName = WideToMultiByteUtf8(name);
  if (name.find_first_of(u"\\/") != std::u16string::npos || !ValidComponent(hostName))
    return Failed(kErrorInvalidName);
  return ReopenLookedUp(
      openat(static_cast<int>(directory.get()), hostName.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC),
      hostName);
}

std::uint32_t GetHandleAttributes(const FileHandle& entry) {
  struct stat st;
  if (!entry.valid() || fstat(static_cast<int>(entry.get()), &st) != 0) {
    SetLastErrorCode(kErrorInvalidHandle);
    return kInvalidFileAttributes;
  }
  struct stat target;
  const bool linkToDirectory =
      S_ISLNK(st.st_mode) &&
      stat(DescriptorPath(static_cast<int>(entry.get())).c_str(), &target) == 0 &&
      S_ISDIR(target.st_mode);
  return AttributesOfStat(st, linkToDirectory);
}

bool ListDirectoryByHandle(const FileHandle& directory, std::vector<FindData>* entries) {
  entries->clear();
  const int fd = host::AboveStdio(
      openat(static_cast<int>(directory.get()), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd < 0) {
    SetLastErrorCode(errno == ENOTDIR ? kErrorDirectory : kErrorAccessDenied);
    return false;
  }
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    SetLastErrorCode(kErrorAccessDenied);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* d = readdir(dir);
    if (d == nullptr)
      break;
    const std::string name = d->d_name;
    if (name == "." || name == "..")
      continue;
    struct stat st;
    struct stat target;
    std::uint32_t attributes = kFileAttributeNormal;
    if (fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      const bool linkToDirectory = S_ISLNK(st.st_mode) &&
                                   fstatat(dirfd(dir), d->d_name, &target, 0) == 0 &&
                                   S_ISDIR(target.st_mode);
      attributes = AttributesOfStat(st, linkToDirectory);
    }
    entries->push_back({MultiByteUtf8ToWide(name.data(), name.size()), attributes});
  }
  const int err = errno;
  closedir(dir);
  if (err != 0) {
    SetLastErrorCode(kErrorReadFault);
    return false;
  }
  return true;
}

bool RenameByHandle(const FileHandle& entry, const FileHandle& parent,
                    const std::u16string& newName) {
  if (FaultDue(FaultPoint::kMoveFile, newName))
    return false;
  const std::string hostName = WideToMultiByteUtf8(newName);
  if (newName.find_first_of(u"\\/") != std::u16string::npos || !ValidComponent(hostName)) {
    SetLastErrorCode(kErrorInvalidName);
    return false;
  }
  UniqueFd current;
  std::string name;
  struct stat st;
  if (!LocateEntry(static_cast<int>(entry.get()), &current, &name, &st))
    return false;
  if (renameat2(current.get(), name.c_str(), static_cast<int>(parent.get()), hostName.c_str(),
                RENAME_NOREPLACE) != 0) {
    SetLastErrorCode(errno == EEXIST ? kErrorAlreadyExists
                                     : host::Win32ErrorFromErrno(errno, name));
    return false;
  }
  return true;
}

bool DeleteByHandle(const FileHandle& entry, const std::u16string& label) {
  struct stat st;
  if (!entry.valid() || fstat(static_cast<int>(entry.get()), &st) != 0) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  const bool directory = S_ISDIR(st.st_mode);
  if (FaultDue(directory ? FaultPoint::kRemoveDirectory : FaultPoint::kDeleteFile, label))
    return false;
  if (!directory && !S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0) {
    SetLastErrorCode(kErrorAccessDenied);  // the read-only attribute protects the file
    return false;
  }
  UniqueFd parent;
  std::string name;
  if (!LocateEntry(static_cast<int>(entry.get()), &parent, &name, &st))
    return false;
  if (unlinkat(parent.get(), name.c_str(), directory ? AT_REMOVEDIR : 0) != 0) {
    SetLastErrorCode(errno == ENOTEMPTY || errno == EEXIST
                         ? kErrorDirNotEmpty
                         : host::Win32ErrorFromErrno(errno, name));
    return false;
  }
  return true;
}

}  // namespace vovu::platform
