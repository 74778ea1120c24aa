// Debugger output and error texts on the host.
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "platform/diagnostics.h"
#include "platform/error.h"
#include "platform/host/core/machine_root.h"
#include "platform/text_codec.h"

namespace vovu::platform {

void OutputDebugText(const std::u16string& text) {
  // Like OutputDebugStringW: the caller's last error survives, and without a listener the
  // text is simply dropped.
  const Win32Error saved = LastError();
  const std::string path = host::MachineRoot() + "/" + host::kDebugSocketName;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() < sizeof(address.sun_path)) {
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0) {
      const std::string utf8 = WideToMultiByteUtf8(text);
      sendto(fd, utf8.data(), utf8.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&address), sizeof(address));
      close(fd);
    }
  }
  SetLastErrorCode(saved);
}

namespace {

// The English Windows message-table texts for the codes this program meets on the host.
const std::map<std::uint32_t, const char*>& MessageTable() {
  static const std::map<std::uint32_t, const char*> table = {
      {0, "The operation completed successfully."},
      {1, "Incorrect function."},
      {2, "The system cannot find the file specified."},
      {3, "The system cannot find the path specified."},
      {5, "Access is denied."},
      {6, "The handle is invalid."},
      {8, "Not enough memory resources are available to process this command."},
      {13, "The data is invalid."},
      {17, "The system cannot move the file to a different disk drive."},
      {18, "There are no more files."},
      {29, "The system cannot write to the specified device."},
      {30, "The system cannot read from the specified device."},
      {31, "A device attached to the system is not functioning."},
      {32, "The process cannot access the file because it is being used by another process."},
      {38, "Reached the end of the file."},
      {50, "The request is not supported."},
      {80, "The file exists."},
      {87, "The parameter is incorrect."},
      {109, "The pipe has been ended."},
      {112, "There is not enough space on the disk."},
      {121, "The semaphore timeout period has expired."},
      {122, "The data area passed to a system call is too small."},
      {123, "The filename, directory name, or volume label syntax is incorrect."},
      {145, "The directory is not empty."},
      {183, "Cannot create a file when that file already exists."},
      {193, "%1 is not a valid Win32 application."},
      {203, "The system could not find the environment option that was entered."},
      {206, "The filename or extension is too long."},
      {231, "All pipe instances are busy."},
      {232, "The pipe is being closed."},
      {233, "No process is on the other end of the pipe."},
      {234, "More data is available."},
      {258, "The wait operation timed out."},
      {259, "No more data is available."},
      {267, "The directory name is invalid."},
      {535, "There is a process on other end of the pipe."},
      {995,
       "The I/O operation has been aborted because of either a thread exit or an "
       "application request."},
      {997, "Overlapped I/O operation is in progress."},
      {1056, "An instance of the service is already running."},
      {1060, "The specified service does not exist as an installed service."},
      {1062, "The service has not been started."},
      {1063, "The service process could not connect to the service controller."},
      {1072, "The specified service has been marked for deletion."},
      {1073, "The specified service already exists."},
      {1008, "An attempt was made to reference a token that does not exist."},
      {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
      {1052, "The requested control is not valid for this service."},
      {1061, "The service cannot accept control messages at this time."},
      {1067, "The process terminated unexpectedly."},
      {1168, "Element not found."},
      {1314, "A required privilege is not held by the client."},
      {1309,
       "An attempt has been made to operate on an impersonation token by a thread that is "
       "not currently impersonating a client."},
      {1336, "The access control list (ACL) structure is invalid."},
      {1337, "The security ID structure is invalid."},
      {1460, "This operation returned because the timeout period expired."},
      {1812, "The specified image file did not contain a resource section."},
      {1813, "The specified resource type cannot be found in the image file."},
      {1921, "The name of the file cannot be resolved by the system."},
      {4390, "The file or directory is not a reparse point."},
      {0x80092004u, "Cannot find object or property."},
      {0x80092009u, "Cannot find the requested object."},
  };
  return table;
}

}  // namespace

bool GetSystemErrorText(std::uint32_t code, std::u16string* text) {
  const auto it = MessageTable().find(code);
  if (it == MessageTable().end())
    return false;
  const std::string line = std::string(it->second) + "\r\n";
  *text = MultiByteUtf8ToWide(line.data(), line.size());
  return true;
}

}  // namespace vovu::platform
