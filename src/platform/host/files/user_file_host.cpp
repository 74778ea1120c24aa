// A user's file opened once for reading on the host (platform/user_file.h). The open blocks
// as the kernel makes it block (a lease held by another process, a FIFO without a writer), as
// CreateFile waits for an oplock break on Windows: the bound is the caller's.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault_injection.h"
#include "platform/host/core/host_util.h"
#include "platform/host/core/machine_root.h"
#include "platform/user_file.h"

namespace vovu::platform {

FileHandle OpenUserFileForRead(const std::u16string& path) {
  if (FaultDue(FaultPoint::kOpenFileForRead, path))
    return FileHandle();
  std::string hostPath;
  if (!host::ToHostPath(path, &hostPath))
    return FileHandle();
  const int fd =
      host::AboveStdio(open(hostPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (fd < 0) {
    SetLastErrorCode(host::Win32ErrorFromErrno(errno, hostPath));
    return FileHandle();
  }
  FileHandle file(fd);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    SetLastErrorCode(kErrorAccessDenied);  // a directory, a FIFO, a socket or a device
    return FileHandle();
  }
  return file;
}

}  // namespace vovu::platform
