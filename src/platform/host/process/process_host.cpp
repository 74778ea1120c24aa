// Processes on the host, read from /proc (the rules are in platform/process.h).
//
// A ProcessHandle points to a pidfd, so a handle keeps naming the process it was opened
// for even when the id is reused after the process has gone.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/fault_injection.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/process/proc_files.h"
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

std::u16string Wide(const std::string& text) {
  return MultiByteUtf8ToWide(text.data(), text.size());
}

// The process object behind `process` when it was opened with the right to query it; else
// null: no process object, or one opened without that right (last error 5).
const HostProcess* QueryableProcess(const ProcessHandle& process) {
  const HostProcess* object = ProcessOf(process);
  if (object != nullptr && (object->access & kProcessQueryLimitedInformation) == 0) {
    SetLastErrorCode(kErrorAccessDenied);
    return nullptr;
  }
  return object;
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
  std::vector<pid_t> pids;
  if (!host::ListProcessIds(&pids)) {
    SetLastErrorCode(kErrorAccessDenied);
    return false;
  }
  std::vector<ProcessEntry> list;
  for (const pid_t pid : pids) {
    ProcessEntry item;
    item.processId = static_cast<std::uint32_t>(pid);
    std::string image;
    host::ProcStatus status;
    if (host::ReadProcExecutable(pid, &image)) {
      item.exeName = Wide(image.substr(image.find_last_of('/') + 1));
    } else if (host::ReadProcStatus(pid, &status)) {
      item.exeName = Wide(status.name);
    }
    if (!item.exeName.empty())  // else it ended while the list was read
      list.push_back(std::move(item));
  }
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
  std::string value;
  if (host::ReadProcEnvironment(pid, kSessionMarkerVariable, &value)) {
    char* end = nullptr;
    errno = 0;
    const unsigned long session = std::strtoul(value.c_str(), &end, 10);
    if (!value.empty() && *end == '\0' && errno == 0 && session <= 0xFFFFFFFFul) {
      *sessionId = static_cast<std::uint32_t>(session);
      return true;
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
  const HostProcess* object = QueryableProcess(process);
  if (object == nullptr)
    return false;
  std::string image;
  if (!host::ReadProcExecutable(object->pid, &image)) {
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

bool QueryProcessStartTime(const ProcessHandle& process, std::int64_t* created) {
  const HostProcess* object = QueryableProcess(process);
  if (object == nullptr)
    return false;
  host::ProcStat stat;
  if (!host::ReadProcStat(object->pid, &stat)) {
    SetLastErrorCode(kErrorInvalidParameter);
    return false;
  }
  // The start is counted in ticks since boot; the wall clock at boot is now less the time
  // since boot. The end of the start's tick is never earlier than the start itself.
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  timespec wall;
  timespec boot;
  if (ticksPerSecond <= 0 || clock_gettime(CLOCK_REALTIME, &wall) != 0 ||
      clock_gettime(CLOCK_BOOTTIME, &boot) != 0) {
    SetLastErrorCode(kErrorInvalidParameter);
    return false;
  }
  constexpr std::int64_t kUnitsPerSecond = 10000000;
  constexpr std::int64_t kEpochDifference = 11644473600LL * kUnitsPerSecond;
  const std::int64_t wallUnits = wall.tv_sec * kUnitsPerSecond + wall.tv_nsec / 100;
  const std::int64_t bootUnits = boot.tv_sec * kUnitsPerSecond + boot.tv_nsec / 100;
  const std::int64_t startUnits =
      static_cast<std::int64_t>(stat.startTime + 1) * kUnitsPerSecond / ticksPerSecond;
  *created = kEpochDifference + wallUnits - bootUnits + startUnits;
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
