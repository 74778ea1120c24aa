// Processes on the host, read from /proc (the rules are in platform/process.h).
//
// A ProcessHandle points to a pidfd, so a handle keeps naming the process it was opened
// for even when the id is reused after the process has gone.
#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/fault_injection.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/process/process_object.h"
#include "platform/process.h"
#include "platform/text_codec.h"

namespace vovu::platform {
namespace {

using host::HostProcess;
using host::OpenPidfd;
using host::SignalPidfd;

const HostProcess* ProcessOf(const ProcessHandle& process) {
  return host::ProcessObjectOf(process);
}

bool IsProcessId(const char* name) {
  if (*name == '\0')
    return false;
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9')
      return false;
  }
  return true;
}

// The target of /proc/<pid>/exe, without the " (deleted)" the kernel appends once the file
// has been removed or replaced. False with errno set when it cannot be read.
bool ExecutableOf(pid_t pid, std::string* path) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  std::string buffer(PATH_MAX, '\0');
  const ssize_t n = readlink(link.c_str(), buffer.data(), buffer.size());
  if (n <= 0)
    return false;
  buffer.resize(static_cast<std::size_t>(n));
  constexpr char kDeleted[] = " (deleted)";
  constexpr std::size_t kDeletedLength = sizeof kDeleted - 1;
  if (buffer.size() > kDeletedLength &&
      buffer.compare(buffer.size() - kDeletedLength, kDeletedLength, kDeleted) == 0) {
    buffer.resize(buffer.size() - kDeletedLength);
  }
  *path = buffer;
  return true;
}

// The Name line of /proc/<pid>/status (the kernel's short command name).
std::string CommandNameOf(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Name:", 0) == 0) {
      const std::size_t start = line.find_first_not_of(" \t", 5);
      return start == std::string::npos ? std::string() : line.substr(start);
    }
  }
  return {};
}

std::u16string Wide(const std::string& text) {
  return MultiByteUtf8ToWide(text.data(), text.size());
}

}  // namespace

namespace host {

HostProcess* ProcessObjectOf(const ProcessHandle& process) {
  if (!process.valid()) {
    SetLastErrorCode(kErrorInvalidHandle);
    return nullptr;
  }
  return reinterpret_cast<HostProcess*>(process.get());
}

int OpenPidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int SignalPidfd(int pidfd, int signo) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signo, nullptr, 0));
}

}  // namespace host

void ProcessHandleTraits::Close(Type h) {
  auto* process = reinterpret_cast<HostProcess*>(h);
  if (process->ownChild)
    (void)host::ReapOwnChild(process);
  close(process->pidfd);
  delete process;
}

bool SnapshotProcesses(std::vector<ProcessEntry>* processes) {
  if (FaultDue(FaultPoint::kProcessSnapshot, u""))
    return false;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    SetLastErrorCode(kErrorAccessDenied);
    return false;
  }
  std::vector<ProcessEntry> list;
  while (dirent* entry = readdir(proc)) {
    if (!IsProcessId(entry->d_name))
      continue;
    ProcessEntry item;
    item.processId = static_cast<std::uint32_t>(std::strtoul(entry->d_name, nullptr, 10));
    std::string image;
    if (ExecutableOf(static_cast<pid_t>(item.processId), &image)) {
      item.exeName = Wide(image.substr(image.find_last_of('/') + 1));
    } else {
      item.exeName = Wide(CommandNameOf(entry->d_name));
    }
    if (!item.exeName.empty())  // else it ended while the list was read
      list.push_back(std::move(item));
  }
  closedir(proc);
  *processes = std::move(list);
  return true;
}

std::uint32_t CurrentProcessId() {
  return static_cast<std::uint32_t>(getpid());
}

bool ProcessSessionId(std::uint32_t processId, std::uint32_t* sessionId) {
  const pid_t pid = static_cast<pid_t>(processId);
  if (processId == 0 || pid <= 0) {
    SetLastErrorCode(kErrorInvalidParameter);
    return false;
  }
  // The marker a program started into a session carries, when its environment is readable.
  std::ifstream environ("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  if (environ) {
    const std::string marker = std::string(kSessionMarkerVariable) + "=";
    std::string entry;
    while (std::getline(environ, entry, '\0')) {
      if (entry.compare(0, marker.size(), marker) != 0)
        continue;
      const std::string value = entry.substr(marker.size());
      char* end = nullptr;
      errno = 0;
      const unsigned long session = std::strtoul(value.c_str(), &end, 10);
      if (!value.empty() && *end == '\0' && errno == 0 && session <= 0xFFFFFFFFul) {
        *sessionId = static_cast<std::uint32_t>(session);
        return true;
      }
    }
  }
  const pid_t session = getsid(pid);
  if (session < 0) {
    SetLastErrorCode(errno == EPERM ? kErrorAccessDenied : kErrorInvalidParameter);
    return false;
  }
  *sessionId = static_cast<std::uint32_t>(session);
  return true;
}

ProcessHandle OpenProcessById(std::uint32_t processId, std::uint32_t access) {
  const pid_t pid = static_cast<pid_t>(processId);
  if (processId == 0 || pid <= 0) {
    SetLastErrorCode(kErrorInvalidParameter);
    return ProcessHandle();
  }
  const int fd = OpenPidfd(pid);
  if (fd < 0) {
    SetLastErrorCode(errno == ESRCH ? kErrorInvalidParameter : kErrorAccessDenied);
    return ProcessHandle();
  }
  auto* process = new HostProcess{pid, fd, access};
  return ProcessHandle(reinterpret_cast<NativeHandle>(process));
}

bool QueryProcessImagePath(const ProcessHandle& process, std::u16string* path,
                           std::uint32_t capacity) {
  const HostProcess* object = ProcessOf(process);
  if (object == nullptr)
    return false;
  if ((object->access & kProcessQueryLimitedInformation) == 0) {
    SetLastErrorCode(kErrorAccessDenied);
    return false;
  }
  std::string image;
  if (!ExecutableOf(object->pid, &image)) {
    // Gone, a kernel thread, or another user's process read without the right to.
    SetLastErrorCode(errno == EACCES || errno == EPERM ? kErrorAccessDenied
                                                       : kErrorInvalidParameter);
    return false;
  }
  const std::u16string windows = host::ToWindowsPath(image);
  if (windows.size() >= capacity) {
    SetLastErrorCode(kErrorInsufficientBuffer);
    return false;
  }
  *path = windows;
  return true;
}

bool TerminateProcessWithCode(const ProcessHandle& process, std::uint32_t exitCode) {
  HostProcess* object = host::ProcessObjectOf(process);
  if (object == nullptr)
    return false;
  if ((object->access & kProcessTerminate) == 0) {
    SetLastErrorCode(kErrorAccessDenied);
    return false;
  }
  // A Linux process killed by a signal has no exit code of its own: only for an own child,
  // whose end this process reads, is the code kept (when the kill is what ended it).
  if (SignalPidfd(object->pidfd, SIGKILL) != 0 && errno != ESRCH) {
    SetLastErrorCode(kErrorAccessDenied);
    return false;
  }
  if (object->ownChild && !object->terminated) {
    object->terminated = true;
    object->terminateCode = exitCode;
  }
  return true;
}

WaitResult WaitForProcessExit(const ProcessHandle& process, std::uint32_t timeoutMs) {
  const HostProcess* object = ProcessOf(process);
  if (object == nullptr)
    return WaitResult::kFailed;
  if ((object->access & kSynchronize) == 0) {
    SetLastErrorCode(kErrorAccessDenied);
    return WaitResult::kFailed;
  }
  pollfd exited{object->pidfd, POLLIN, 0};
  const int timeout =
      timeoutMs == kInfiniteWait || timeoutMs > INT_MAX ? -1 : static_cast<int>(timeoutMs);
  int ready;
  do {
    ready = poll(&exited, 1, timeout);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    SetLastErrorCode(kErrorInvalidHandle);
    return WaitResult::kFailed;
  }
  if (ready == 0) {
    SetLastErrorCode(kErrorWaitTimeout);
    return WaitResult::kTimeout;
  }
  return WaitResult::kSignalled;
}

}  // namespace vovu::platform
