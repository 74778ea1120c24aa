// The pipe namespace on the host. A name is alive while some instance holds a read lock
// (an open-file-description lock, so each instance holds its own) on byte 0 of the name's
// lock file; creators take turns on byte 1 while they look and join. The lock file is the
// owner's alone (0600), so no other user can make a name look alive or block its creators,
// unless the name grants everybody further instances: then the name directory (sticky) and
// the lock file are writable by all, as those it admits must create sockets and hold locks.
#include "platform/host/ipc/pipe_names.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/host/core/host_util.h"
#include "platform/host/core/machine_root.h"
#include "platform/text_codec.h"

namespace vovu::platform::host {
namespace {

constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\";
constexpr char kLockFileName[] = ".lock";
// Room left in a socket address for "/<instance name>.busy".
constexpr std::size_t kInstanceNameRoom = 40;

bool Fail(Win32Error code) {
  SetLastErrorCode(code);
  return false;
}

char16_t LowerAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? c + 32 : c;
}

// fcntl lock of `type` on one byte; `wait`: block until it is granted.
bool LockByte(int fd, short type, off_t byte, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  int result;
  do {
    result = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// Whether another open file description holds a lock on byte 0.
bool ByteZeroLocked(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// Removes what lies in the directory open as `dirFd` (except the lock file when `keepLock`),
// never following a link.
void ClearDirectory(int dirFd, bool keepLock) {
  UniqueFd listing(dup(dirFd));
  DIR* dir = listing.valid() ? fdopendir(listing.get()) : nullptr;
  if (dir == nullptr)
    return;
  (void)listing.release();  // the stream owns it now
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || (keepLock && name == kLockFileName))
      continue;
    if (unlinkat(dirFd, name.c_str(), 0) == 0 || errno != EISDIR)
      continue;
    const UniqueFd sub(
        openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.valid())
      ClearDirectory(sub.get(), false);
    unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
  }
  closedir(dir);
}

// Removes the directory at `path` and everything in it, never following a link.
void RemoveNameDirectory(const std::string& path) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.valid()) {
    ClearDirectory(fd.get(), false);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

std::string PipeNamespaceDirectory() {
  return MachineRoot() + "/pipes";
}

bool PipeNameDirectory(const std::u16string& name, std::string* directory) {
  const std::u16string prefix = kPipePrefix;
  if (name.size() <= prefix.size())
    return Fail(kErrorInvalidName);
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(name[i]) != prefix[i])
      return Fail(kErrorInvalidName);
  }
  std::u16string rest = name.substr(prefix.size());
  for (char16_t& c : rest)
    c = LowerAscii(c);
  const std::string utf8 = WideToMultiByteUtf8(rest);
  std::string escaped;
  for (unsigned char c : utf8) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_') {
      escaped.push_back(static_cast<char>(c));
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      escaped += '%';
      escaped += kHex[c >> 4];
      escaped += kHex[c & 15];
    }
  }
  if (escaped.empty() || escaped == "." || escaped == "..")
    return Fail(kErrorInvalidName);
  *directory = PipeNamespaceDirectory() + "/" + escaped;
  if (directory->size() + kInstanceNameRoom > sizeof(sockaddr_un{}.sun_path))
    return Fail(kErrorFilenameExcedRange);
  return true;
}

bool PrepareNamespace() {
  const std::string directory = PipeNamespaceDirectory();
  const bool root = geteuid() == 0;
  const mode_t mode = root ? 01777 : 0755;
  if (mkdir(directory.c_str(), mode) == 0) {
    chmod(directory.c_str(), mode);  // past the umask
    return true;
  }
  if (errno != EEXIST)
    return Fail(Win32ErrorFromErrno(errno, directory));
  struct stat st;
  if (lstat(directory.c_str(), &st) != 0)
    return Fail(Win32ErrorFromErrno(errno, directory));
  if (!S_ISDIR(st.st_mode) || (st.st_uid != 0 && st.st_uid != geteuid()))
    return Fail(kErrorAccessDenied);
  if (root && (st.st_mode & 07777) != 01777 && chmod(directory.c_str(), 01777) != 0)
    return Fail(kErrorAccessDenied);
  return true;
}

bool PipeNameAlive(const std::string& directory) {
  const std::string lockPath = directory + "/" + kLockFileName;
  const UniqueFd fd(open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid())
    return false;
  struct stat st;
  return fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && ByteZeroLocked(fd.get());
}

namespace {

// Whether the name directory `st` carries its first instance's grant of further instances
// to everybody: then it is writable by all (and sticky, so nobody removes another's socket).
bool GrantsInstances(const struct stat& st) {
  return S_ISDIR(st.st_mode) && (st.st_mode & S_IWOTH) != 0;
}

// One attempt of JoinPipeName; `*retry` when the name was removed meanwhile by its last
// instance's leaving.
bool TryJoinPipeName(const std::string& directory, bool first, bool grantInstances,
                     UniqueFd* lockFd, bool* retry) {
  *retry = false;
  const uid_t self = geteuid();
  if (mkdir(directory.c_str(), 0755) != 0) {
    if (errno != EEXIST)
      return Fail(Win32ErrorFromErrno(errno, directory));
    struct stat st;
    if (lstat(directory.c_str(), &st) != 0) {
      *retry = errno == ENOENT;
      return Fail(Win32ErrorFromErrno(errno, directory));
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != self) {
      // Another user's name: it is theirs while one of its instances is open, and others
      // join it only as further instances and only when it grants them. A name nobody
      // holds any more is no name; root may clear what is left of it (the namespace is
      // sticky, so nobody else can).
      const bool alive = S_ISDIR(st.st_mode) && PipeNameAlive(directory);
      if (alive && (first || !GrantsInstances(st)))
        return Fail(kErrorAccessDenied);
      if (!alive) {
        if (self != 0)
          return Fail(kErrorAccessDenied);
        RemoveNameDirectory(directory);
        *retry = true;
        return false;
      }
    }
  }
  const UniqueFd dirFd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dirFd.valid()) {
    *retry = errno == ENOENT;
    return Fail(Win32ErrorFromErrno(errno, directory));
  }
  struct stat st;
  if (fstat(dirFd.get(), &st) != 0)
    return Fail(kErrorAccessDenied);
  // Checked again on what was opened: the name may have changed hands since.
  const bool own = st.st_uid == self;
  if (!own && (first || !GrantsInstances(st)))
    return Fail(kErrorAccessDenied);
  const uid_t owner = st.st_uid;
  // Only the owner makes the lock file; a joiner uses the one the owner made.
  UniqueFd fd(AboveStdio(openat(dirFd.get(), kLockFileName,
                                O_RDWR | O_NOFOLLOW | O_CLOEXEC | (own ? O_CREAT : 0), 0600)));
  if (!fd.valid()) {
    *retry = errno == ENOENT;
    return Fail(errno == ENOENT || own ? Win32ErrorFromErrno(errno, directory)
                                       : kErrorAccessDenied);
  }
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != owner)
    return Fail(kErrorAccessDenied);
  bool joined = LockByte(fd.get(), F_WRLCK, 1, /*wait=*/true);
  struct stat now;
  if (joined && (fstat(dirFd.get(), &now) != 0 || now.st_nlink == 0)) {
    // The last instance removed the name while this waited for its turn.
    *retry = true;
    joined = false;
  } else if (joined) {
    const bool alive = ByteZeroLocked(fd.get());
    if (alive && first) {
      SetLastErrorCode(kErrorAccessDenied);
      joined = false;
    } else if (!alive && !own) {
      // The name ended while this waited, leaving what its owner or root may clear.
      *retry = true;
      joined = false;
    } else {
      if (!alive) {
        // The name begins anew: nothing of instances that are gone stays, and it carries
        // this first instance's grant.
        ClearDirectory(dirFd.get(), /*keepLock=*/true);
        if (fchmod(dirFd.get(), grantInstances ? 01777 : 0755) != 0 ||
            fchmod(fd.get(), grantInstances ? 0666 : 0600) != 0) {
          SetLastErrorCode(kErrorAccessDenied);
          joined = false;
        }
      }
      joined = joined && (LockByte(fd.get(), F_RDLCK, 0, /*wait=*/false) ||
                          (SetLastErrorCode(kErrorNotEnoughMemory), false));
    }
  } else {
    SetLastErrorCode(kErrorNotEnoughMemory);
  }
  LockByte(fd.get(), F_UNLCK, 1, false);
  if (!joined)
    return false;
  *lockFd = std::move(fd);
  return true;
}

}  // namespace

bool JoinPipeName(const std::string& directory, bool first, bool grantInstances, UniqueFd* lockFd) {
  constexpr int kAttempts = 100;
  bool retry = true;
  for (int attempt = 0; attempt < kAttempts && retry; ++attempt) {
    if (TryJoinPipeName(directory, first, grantInstances, lockFd, &retry))
      return true;
  }
  return false;
}

void LeavePipeName(const std::string& directory, UniqueFd lockFd) {
  // In turn with those who join: gone from the name, and if nobody else holds it, the name
  // goes too.
  if (LockByte(lockFd.get(), F_WRLCK, 1, /*wait=*/true)) {
    LockByte(lockFd.get(), F_UNLCK, 0, false);
    if (!ByteZeroLocked(lockFd.get()))
      RemoveNameDirectory(directory);
  }
}

}  // namespace vovu::platform::host
