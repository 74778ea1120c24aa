// Programs the caller starts and waits for (the rules are in platform/process.h): a direct
// child, forked once, whose pidfd is the process handle, so its end can be waited on
// together with an event and its exit status read back.
//
// Between fork and exec only async-signal-safe calls are made; the program, its arguments
// and its environment are prepared before the fork. Whether the exec worked comes back
// through a close-on-exec pipe (end of file: it did; an errno value: it did not).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/host/core/event_wait.h"
#include "platform/host/core/host_util.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/process/process_object.h"
#include "platform/host/scm/service_launch.h"
#include "platform/process.h"
#include "platform/text_codec.h"

extern char** environ;

namespace vovu::platform {
namespace {

constexpr std::uint32_t kAllProcessAccess =
    kProcessTerminate | kProcessQueryLimitedInformation | kSynchronize;

// "C:\..." or "c:/...": an absolute Windows path.
bool IsAbsoluteWindowsPath(const std::u16string& word) {
  return word.size() >= 3 &&
         ((word[0] >= u'A' && word[0] <= u'Z') || (word[0] >= u'a' && word[0] <= u'z')) &&
         word[1] == u':' && (word[2] == u'\\' || word[2] == u'/');
}

// The program and its arguments from the command line's words, in host form.
bool PlanArguments(const std::u16string& commandLine, std::vector<std::string>* arguments) {
  const std::vector<std::u16string> words = host::SplitCommandLine(commandLine);
  if (words.empty() || words[0].empty()) {
    SetLastErrorCode(kErrorFileNotFound);
    return false;
  }
  std::string program;
  if (!host::ToHostPath(words[0], &program))
    return false;
  arguments->push_back(program);
  for (std::size_t i = 1; i < words.size(); ++i) {
    std::string mapped;
    if (IsAbsoluteWindowsPath(words[i]) && host::ToHostPath(words[i], &mapped)) {
      arguments->push_back(mapped);
    } else {
      arguments->push_back(WideToMultiByteUtf8(words[i]));
    }
  }
  return true;
}

int DescriptorOf(const FileHandle* handle) {
  return handle != nullptr && handle->valid() ? static_cast<int>(handle->get()) : -1;
}

// The child's side: its standard handles, then the program.
[[noreturn]] void RunChild(int input, int output, int error, int failureFd, char* const* argv,
                           char* const* envp) {
  host::PrepareChildForExec();
  // dup2 clears close-on-exec on the copies; the originals stay marked and are closed by
  // the exec.
  if (input >= 0)
    dup2(input, 0);
  if (output >= 0)
    dup2(output, 1);
  if (error >= 0)
    dup2(error, 2);
  execve(argv[0], argv, envp);
  const int err = errno;
  host::WriteAll(failureFd, &err, sizeof err);
  _exit(127);
}

}  // namespace

namespace host {

bool ReapOwnChild(HostProcess* process) {
  if (process->reaped)
    return true;
  if (!process->ownChild)
    return false;
  siginfo_t info{};
  int result;
  do {
    result = waitid(P_PID, static_cast<id_t>(process->pid), &info, WEXITED | WNOHANG);
  } while (result != 0 && errno == EINTR);
  if (result != 0 || info.si_pid == 0)
    return false;
  process->reaped = true;
  if (info.si_code == CLD_EXITED) {
    process->exitCode = static_cast<std::uint32_t>(info.si_status);
  } else if (process->terminated && info.si_code == CLD_KILLED && info.si_status == SIGKILL) {
    process->exitCode = process->terminateCode;
  } else {
    process->exitCode = 1;
  }
  return true;
}

}  // namespace host

FileHandle CreateInheritableOutputFile(const std::u16string& path) {
  // The host's descriptors are handed to a child explicitly (StartProgram), so inheritance
  // needs no mark; the temporary attribute has no counterpart.
  return CreateFileForWrite(path, kShareRead, /*createAlways=*/true);
}

FileHandle OpenInheritableNullDevice() {
  const int fd = host::AboveStdio(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (fd < 0) {
    SetLastErrorCode(kErrorFileNotFound);
    return FileHandle();
  }
  return FileHandle(fd);
}

bool StartProgram(const ProcessStart& start, const StandardHandles* handles,
                  ProcessHandle* process) {
  if (FaultDue(FaultPoint::kCreateProcess, u""))
    return false;
  std::vector<std::string> arguments;
  if (!PlanArguments(start.commandLine, &arguments))
    return false;
  std::vector<std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
    environment.emplace_back(*entry);
  std::vector<char*> argv = host::ExecPointers(arguments);
  std::vector<char*> envp = host::ExecPointers(environment);
  const int input = handles != nullptr ? DescriptorOf(handles->input) : -1;
  const int output = handles != nullptr ? DescriptorOf(handles->output) : -1;
  const int error = handles != nullptr ? DescriptorOf(handles->error) : -1;

  int failurePipe[2];
  if (pipe2(failurePipe, O_CLOEXEC) != 0) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return false;
  }
  const pid_t child = fork();
  if (child == 0)
    RunChild(input, output, error, failurePipe[1], argv.data(), envp.data());
  close(failurePipe[1]);
  if (child < 0) {
    close(failurePipe[0]);
    SetLastErrorCode(kErrorNotEnoughMemory);
    return false;
  }
  int err = 0;
  const bool failed = host::ReadAll(failurePipe[0], &err, sizeof err);
  close(failurePipe[0]);
  const int pidfd = failed ? -1 : host::AboveStdio(host::OpenPidfd(child));
  if (failed || pidfd < 0) {
    if (!failed)
      kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    SetLastErrorCode(!failed          ? kErrorNotEnoughMemory
                     : err == ENOEXEC ? kErrorBadExeFormat
                                      : host::Win32ErrorFromErrno(err, arguments[0]));
    return false;
  }
  auto* object = new host::HostProcess;
  object->pid = child;
  object->pidfd = pidfd;
  object->access = kAllProcessAccess;
  object->ownChild = true;
  process->reset(reinterpret_cast<NativeHandle>(object));
  return true;
}

WaitResult WaitForProcessOrEvent(const ProcessHandle& process, const Event* event,
                                 std::uint32_t timeoutMs, bool* processEnded) {
  const host::HostProcess* object = host::ProcessObjectOf(process);
  if (object == nullptr)
    return WaitResult::kFailed;
  if ((object->access & kSynchronize) == 0) {
    SetLastErrorCode(kErrorAccessDenied);
    return WaitResult::kFailed;
  }
  if (event != nullptr && !event->valid()) {
    SetLastErrorCode(kErrorInvalidHandle);
    return WaitResult::kFailed;
  }
  std::vector<pollfd> fds;
  if (event != nullptr)
    fds.push_back({static_cast<int>(event->native()), POLLIN, 0});
  fds.push_back({object->pidfd, POLLIN, 0});
  const host::Deadline deadline(timeoutMs);
  for (;;) {
    const int ready = poll(fds.data(), fds.size(), deadline.RemainingPollTimeout());
    if (ready < 0 && errno != EINTR) {
      SetLastErrorCode(kErrorInvalidHandle);
      return WaitResult::kFailed;
    }
    if (ready > 0) {
      // The event comes first, as it does in the array of WaitForMultipleObjects.
      if (event != nullptr && (fds[0].revents & POLLIN) != 0 && host::TakeEventSignal(*event)) {
        *processEnded = false;
        return WaitResult::kSignalled;
      }
      if ((fds.back().revents & (POLLIN | POLLHUP)) != 0) {
        *processEnded = true;
        return WaitResult::kSignalled;
      }
    }
    if (deadline.Expired()) {
      SetLastErrorCode(kErrorWaitTimeout);
      return WaitResult::kTimeout;
    }
  }
}

bool GetProcessExitCode(const ProcessHandle& process, std::uint32_t* exitCode) {
  host::HostProcess* object = host::ProcessObjectOf(process);
  if (object == nullptr)
    return false;
  if ((object->access & kProcessQueryLimitedInformation) == 0) {
    SetLastErrorCode(kErrorAccessDenied);
    return false;
  }
  if (object->ownChild) {
    *exitCode = host::ReapOwnChild(object) ? object->exitCode : kStillActive;
    return true;
  }
  // Another process's exit status is its parent's to read: known only while it runs.
  pollfd exited{object->pidfd, POLLIN, 0};
  if (poll(&exited, 1, 0) == 0) {
    *exitCode = kStillActive;
    return true;
  }
  SetLastErrorCode(kErrorAccessDenied);
  return false;
}

}  // namespace vovu::platform
