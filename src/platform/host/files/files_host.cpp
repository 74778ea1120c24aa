// Files on the host: POSIX calls on the mapped path, with Win32 error codes.
//
// Share modes are approximated with advisory flock() locks between openers that use this
// layer: an opener that does not share writing takes a shared lock, one that shares
// nothing takes an exclusive lock; a lock that cannot be had is a sharing violation (32).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/files.h"
#include "platform/host/core/host_util.h"
#include "platform/host/core/machine_root.h"
#include "platform/sync.h"
#include "platform/text_codec.h"

namespace vovu::platform {
namespace {

using host::ToHostPath;
using host::Win32ErrorFromErrno;

bool Fail(int err, const std::string& hostPath) {
  SetLastErrorCode(Win32ErrorFromErrno(err, hostPath));
  return false;
}

bool Lock(int fd, int operation) {
  while (flock(fd, operation | LOCK_NB) != 0) {
    if (errno != EINTR)
      return false;
  }
  return true;
}

std::uint32_t AttributesOf(const std::string& hostPath, const struct stat& st) {
  std::uint32_t attributes = 0;
  if (S_ISLNK(st.st_mode)) {
    attributes |= kFileAttributeReparsePoint;
    struct stat target;
    if (stat(hostPath.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
      attributes |= kFileAttributeDirectory;
    }
  } else if (S_ISDIR(st.st_mode)) {
    attributes |= kFileAttributeDirectory;
  } else if ((st.st_mode & 0222) == 0) {
    attributes |= kFileAttributeReadOnly;
  }
  return attributes == 0 ? kFileAttributeNormal : attributes;
}

// The host path of `path` and lstat of it; false with the last error set when either fails.
bool StatPath(const std::u16string& path, std::string* hostPath, struct stat* st) {
  if (!ToHostPath(path, hostPath))
    return false;
  return lstat(hostPath->c_str(), st) == 0 || Fail(errno, *hostPath);
}

// An enumeration in progress; it closes its directory stream when it goes.
struct HostFind {
  HostFind() = default;
  HostFind(const HostFind&) = delete;
  HostFind& operator=(const HostFind&) = delete;
  ~HostFind() {
    if (dir != nullptr)
      closedir(dir);
  }

  DIR* dir = nullptr;
  std::string directory;
  std::string suffix;  // lower case, such as ".exe"; empty when every name matches
};

bool MatchesSuffix(const std::string& name, const std::string& suffix) {
  if (name.size() < suffix.size())
    return false;
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    char c = name[name.size() - suffix.size() + i];
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i])
      return false;
  }
  return true;
}

bool NextEntry(HostFind* find, FindData* entry) {
  dirent* d = nullptr;
  do {
    errno = 0;
    d = readdir(find->dir);
  } while (d != nullptr && !MatchesSuffix(d->d_name, find->suffix));
  if (d == nullptr) {
    SetLastErrorCode(errno == 0 ? kErrorNoMoreFiles : Win32ErrorFromErrno(errno, find->directory));
    return false;
  }
  const std::string name = d->d_name;
  const std::string full = find->directory + "/" + name;
  struct stat st;
  entry->attributes = lstat(full.c_str(), &st) == 0 ? AttributesOf(full, st) : kFileAttributeNormal;
  entry->name = MultiByteUtf8ToWide(name.data(), name.size());
  return true;
}

}  // namespace

void FileHandleTraits::Close(Type h) {
  close(static_cast<int>(h));
}

FileHandle OpenFileForRead(const std::u16string& path, std::uint32_t shareMode) {
  if (FaultDue(FaultPoint::kOpenFileForRead, path))
    return FileHandle();
  std::string hostPath;
  if (!ToHostPath(path, &hostPath))
    return FileHandle();
  const int fd = host::AboveStdio(open(hostPath.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd < 0) {
    Fail(errno, hostPath);
    return FileHandle();
  }
  FileHandle file(fd);
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    SetLastErrorCode(kErrorAccessDenied);  // a directory is not opened as a file
    return FileHandle();
  }
  if ((shareMode & kShareWrite) == 0 && !Lock(fd, LOCK_SH)) {
    SetLastErrorCode(kErrorSharingViolation);
    return FileHandle();
  }
  return file;
}

FileHandle CreateFileForWrite(const std::u16string& path, std::uint32_t shareMode,
                              bool createAlways) {
  if (FaultDue(FaultPoint::kCreateFileForWrite, path))
    return FileHandle();
  std::string hostPath;
  if (!ToHostPath(path, &hostPath))
    return FileHandle();
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (createAlways ? 0 : O_EXCL);
  const int fd = host::AboveStdio(open(hostPath.c_str(), flags, 0666));
  if (fd < 0) {
    Fail(errno, hostPath);
    return FileHandle();
  }
  FileHandle file(fd);
  const int lock = (shareMode & (kShareRead | kShareWrite)) == 0 ? LOCK_EX : LOCK_SH;
  if ((shareMode & kShareWrite) == 0 && !Lock(fd, lock)) {
    SetLastErrorCode(kErrorSharingViolation);
    return FileHandle();
  }
  // Truncation comes after the lock, so a file in use by another opener is left whole.
  if (createAlways && ftruncate(fd, 0) != 0) {
    Fail(errno, hostPath);
    return FileHandle();
  }
  return file;
}

bool GetFileSize(const FileHandle& file, std::int64_t* size) {
  struct stat st;
  if (!file.valid() || fstat(static_cast<int>(file.get()), &st) != 0) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  *size = st.st_size;
  return true;
}

bool ReadFromFile(const FileHandle& file, void* buffer, std::uint32_t size,
                  std::uint32_t* bytesRead) {
  *bytesRead = 0;
  if (FaultDue(FaultPoint::kReadFile, u""))
    return false;
  auto* out = static_cast<unsigned char*>(buffer);
  std::uint32_t total = 0;
  while (total < size) {
    const ssize_t n = read(static_cast<int>(file.get()), out + total, size - total);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      SetLastErrorCode(errno == EBADF ? kErrorInvalidHandle : kErrorReadFault);
      return false;
    }
    if (n == 0)
      break;
    total += static_cast<std::uint32_t>(n);
  }
  *bytesRead = total;
  return true;
}

bool WriteToFile(const FileHandle& file, const void* data, std::uint32_t size) {
  if (FaultDue(FaultPoint::kWriteFile, u""))
    return false;
  const auto* in = static_cast<const unsigned char*>(data);
  std::uint32_t total = 0;
  while (total < size) {
    const ssize_t n = write(static_cast<int>(file.get()), in + total, size - total);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      SetLastErrorCode(errno == ENOSPC  ? kErrorDiskFull
                       : errno == EBADF ? kErrorInvalidHandle
                                        : kErrorWriteFault);
      return false;
    }
    total += static_cast<std::uint32_t>(n);
  }
  return true;
}

bool FlushFile(const FileHandle& file) {
  if (fsync(static_cast<int>(file.get())) != 0) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  return true;
}

bool GetAttributesAndSize(const std::u16string& path, std::uint32_t* attributes,
                          std::uint64_t* size) {
  std::string hostPath;
  struct stat st;
  if (!StatPath(path, &hostPath, &st))
    return false;
  *attributes = AttributesOf(hostPath, st);
  *size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  return true;
}

std::uint32_t GetAttributes(const std::u16string& path) {
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  return GetAttributesAndSize(path, &attributes, &size) ? attributes : kInvalidFileAttributes;
}

bool CreateDirectoryAt(const std::u16string& path) {
  if (FaultDue(FaultPoint::kCreateDirectory, path))
    return false;
  std::string hostPath;
  if (!ToHostPath(path, &hostPath))
    return false;
  if (mkdir(hostPath.c_str(), 0755) != 0) {
    if (errno == EEXIST) {
      SetLastErrorCode(kErrorAlreadyExists);
      return false;
    }
    return Fail(errno, hostPath);
  }
  return true;
}

bool RemoveDirectoryAt(const std::u16string& path) {
  if (FaultDue(FaultPoint::kRemoveDirectory, path))
    return false;
  std::string hostPath;
  struct stat st;
  if (!StatPath(path, &hostPath, &st))
    return false;
  const std::uint32_t attributes = AttributesOf(hostPath, st);
  if ((attributes & kFileAttributeDirectory) == 0) {
    SetLastErrorCode(kErrorDirectory);
    return false;
  }
  // A directory link goes as the link; what it points to is never touched.
  const int result = S_ISLNK(st.st_mode) ? unlink(hostPath.c_str()) : rmdir(hostPath.c_str());
  return result == 0 || Fail(errno, hostPath);
}

bool DeleteFileAt(const std::u16string& path) {
  if (FaultDue(FaultPoint::kDeleteFile, path))
    return false;
  std::string hostPath;
  struct stat st;
  if (!StatPath(path, &hostPath, &st))
    return false;
  if (S_ISDIR(st.st_mode)) {
    SetLastErrorCode(kErrorAccessDenied);
    return false;
  }
  if (!S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0) {
    SetLastErrorCode(kErrorAccessDenied);  // the read-only attribute protects the file
    return false;
  }
  return unlink(hostPath.c_str()) == 0 || Fail(errno, hostPath);
}

namespace {

bool StopSet(const Event* stop) {
  return stop != nullptr && stop->Wait(0) == WaitResult::kSignalled;
}

// The bytes of `source` after its offset into `target`, piece by piece, looking at `stop`
// between the pieces. False with 995 when it was set.
bool CopyContent(const FileHandle& source, const FileHandle& target, const Event* stop) {
  // The kernel copies inside the file system, as cp does; the buffered loop below takes over
  // where it cannot (another file system, a kernel without it) and finishes what remains.
  const int sourceFd = static_cast<int>(source.get());
  const int targetFd = static_cast<int>(target.get());
  for (;;) {
    if (StopSet(stop)) {
      SetLastErrorCode(kErrorOperationAborted);
      return false;
    }
    const ssize_t copied =
        copy_file_range(sourceFd, nullptr, targetFd, nullptr, std::size_t{64} << 20, 0);
    if (copied <= 0)
      break;
  }
  std::vector<unsigned char> buffer(1 << 16);
  for (std::uint32_t pieces = 0;; ++pieces) {
    if (pieces % 1024 == 0 && StopSet(stop)) {
      SetLastErrorCode(kErrorOperationAborted);
      return false;
    }
    std::uint32_t got = 0;
    if (!ReadFromFile(source, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got))
      return false;
    if (got == 0)
      return true;
    if (!WriteToFile(target, buffer.data(), got))
      return false;
  }
}

}  // namespace

bool CopyFileTo(const std::u16string& from, const std::u16string& to, bool failIfExists,
                const Event* stop) {
  if (FaultDue(FaultPoint::kCopyFile, to))
    return false;
  FileHandle source = OpenFileForRead(from, kShareRead);
  if (!source)
    return false;
  std::string hostTo;
  if (!ToHostPath(to, &hostTo))
    return false;
  struct stat st;
  if (lstat(hostTo.c_str(), &st) == 0) {
    if (failIfExists) {
      SetLastErrorCode(kErrorFileExists);
      return false;
    }
    if (S_ISDIR(st.st_mode) || (st.st_mode & 0222) == 0) {
      SetLastErrorCode(kErrorAccessDenied);
      return false;
    }
  }
  // Without replacing, the target is created new (O_EXCL), as Windows does: a name made a
  // link after the look above fails with 80 and is never followed.
  FileHandle target = CreateFileForWrite(to, kShareNone, !failIfExists);
  if (!target)
    return false;
  if (!CopyContent(source, target, stop)) {
    if (LastError() == kErrorOperationAborted) {
      target.reset();
      (void)DeleteFileAt(to);
      SetLastErrorCode(kErrorOperationAborted);
    }
    return false;
  }
  // The copy keeps the mode it was created with (its folder's default, as a Windows file gets
  // its folder's inherited rights), never the source's; only an executable stays executable.
  struct stat sourceStat;
  struct stat targetStat;
  if (fstat(static_cast<int>(source.get()), &sourceStat) == 0 &&
      fstat(static_cast<int>(target.get()), &targetStat) == 0) {
    fchmod(static_cast<int>(target.get()),
           (targetStat.st_mode & 07777) | (sourceStat.st_mode & 0111 & targetStat.st_mode >> 2));
  }
  return FlushFile(target);
}

bool GetFreeDiskBytes(const std::u16string& directory, std::uint64_t* freeBytes) {
  if (FreeDiskBytesDue(directory, freeBytes))
    return true;
  if (FaultDue(FaultPoint::kDiskFreeSpace, directory))
    return false;
  std::string hostPath;
  if (!ToHostPath(directory, &hostPath))
    return false;
  struct statvfs volume;
  if (statvfs(hostPath.c_str(), &volume) != 0)
    return Fail(errno, hostPath);
  *freeBytes = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
  return true;
}

bool MoveFileReplacing(const std::u16string& from, const std::u16string& to) {
  if (FaultDue(FaultPoint::kMoveFile, from) || FaultDue(FaultPoint::kMoveFile, to))
    return false;
  std::string hostFrom;
  std::string hostTo;
  if (!ToHostPath(from, &hostFrom) || !ToHostPath(to, &hostTo))
    return false;
  struct stat st;
  if (lstat(hostFrom.c_str(), &st) != 0)
    return Fail(errno, hostFrom);
  struct stat targetStat;
  const bool targetExists = lstat(hostTo.c_str(), &targetStat) == 0;
  if (targetExists && S_ISDIR(targetStat.st_mode) && !S_ISDIR(st.st_mode)) {
    SetLastErrorCode(kErrorAccessDenied);
    return false;
  }
  // Replacing a file breaks what another process holds on it and waits for that, as Windows
  // breaks an oplock on the file it supersedes: an open for writing waits for a lease break
  // (rename alone would not). A target the caller may not open is replaced without it.
  if (targetExists && S_ISREG(targetStat.st_mode)) {
    const int held = open(hostTo.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (held >= 0)
      close(held);
    else if (errno == EINTR)
      return Fail(errno, hostTo);
  }
  if (rename(hostFrom.c_str(), hostTo.c_str()) != 0)
    return Fail(errno, hostTo);
  // Write-through: the directory entry reaches the disk before the caller goes on.
  const std::string::size_type slash = hostTo.find_last_of('/');
  const std::string directory = slash == 0 ? "/" : hostTo.substr(0, slash);
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    (void)fsync(fd);
    close(fd);
  }
  return true;
}

void FindHandleTraits::Close(Type h) {
  delete reinterpret_cast<HostFind*>(h);
}

FindHandle FindFirstEntry(const std::u16string& pattern, FindData* entry) {
  // Only "<directory>\*" and "<directory>\*.<extension>" are emulated; the extension is
  // matched against the whole name, ignoring ASCII case (the host has no 8.3 short names).
  const std::size_t separator = pattern.find_last_of(u"\\/");
  const std::u16string last =
      separator == std::u16string::npos ? std::u16string() : pattern.substr(separator + 1);
  const bool all = last == u"*";
  const bool extension = last.size() > 2 && last[0] == u'*' && last[1] == u'.' &&
                         last.find_first_of(u"*?\\/", 1) == std::u16string::npos;
  if (!all && !extension) {
    SetLastErrorCode(kErrorInvalidParameter);
    return FindHandle();
  }
  std::string directory;
  if (!ToHostPath(pattern.substr(0, separator), &directory))
    return FindHandle();
  auto find = std::make_unique<HostFind>();
  find->directory = directory;
  if (extension) {
    find->suffix = WideToMultiByteUtf8(last.substr(1));
    for (char& c : find->suffix) {
      if (c >= 'A' && c <= 'Z')
        c = static_cast<char>(c - 'A' + 'a');
    }
  }
  find->dir = opendir(directory.c_str());
  if (find->dir == nullptr) {
    SetLastErrorCode(errno == ENOTDIR ? kErrorPathNotFound : Win32ErrorFromErrno(errno, directory));
    return FindHandle();
  }
  if (!NextEntry(find.get(), entry)) {
    // Windows reports an empty match as "file not found"; "*" always finds "." at least.
    if (platform::LastError() == kErrorNoMoreFiles)
      SetLastErrorCode(kErrorFileNotFound);
    return FindHandle();
  }
  return FindHandle(reinterpret_cast<NativeHandle>(find.release()));
}

bool FindNextEntry(const FindHandle& find, FindData* entry) {
  return NextEntry(reinterpret_cast<HostFind*>(find.get()), entry);
}

}  // namespace vovu::platform
