// Starting a service's program: fork twice so the program is not the caller's child, hold it
// before exec until the manager has recorded it, and learn whether exec succeeded from a
// close-on-exec pipe (end of file: it did; an errno value: it did not).
//
// Between fork and exec only async-signal-safe calls are made; everything else (paths,
// argument and environment arrays) is prepared before the first fork.
#include "platform/host/scm/service_launch.h"
#include "platform/host/core/host_util.h"
#include "platform/host/core/unique_fd.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/scm/service_environment.h"
#include "platform/host/scm/service_records.h"
#include "platform/text_codec.h"

extern char** environ;

namespace vovu::platform::host {
namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

// The program's side after the second fork: wait for the go-ahead, then exec.
[[noreturn]] void RunProgram(int goFd, int execErrorFd, const char* path, char* const* argv,
                             char* const* envp, const char* directory) {
  char go = 0;
  ssize_t n;
  do {
    n = read(goFd, &go, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1)
    _exit(127);
  // Nothing of the manager's process reaches the program.
  PrepareChildForExec();
  if (chdir(directory) != 0)
    (void)chdir("/");
  execve(path, argv, envp);
  const int err = errno;
  WriteAll(execErrorFd, &err, sizeof err);
  _exit(127);
}

// Both ends of a new pipe, or of a new socket pair when `socket` (a write to a program that
// died then raises no SIGPIPE). False with errno set.
bool MakeChannel(bool socket, UniqueFd* first, UniqueFd* second) {
  int fds[2];
  const int made =
      socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) : pipe2(fds, O_CLOEXEC);
  if (made != 0)
    return false;
  first->reset(fds[0]);
  second->reset(fds[1]);
  return true;
}

}  // namespace

std::vector<std::u16string> SplitCommandLine(const std::u16string& line) {
  std::vector<std::u16string> words;
  std::size_t i = 0;
  if (line.empty())
    return words;
  std::u16string program;
  if (line[0] == u'"') {
    const std::size_t close = line.find(u'"', 1);
    program = line.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1);
    i = close == std::u16string::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && !IsBlank(line[i]))
      program += line[i++];
  }
  words.push_back(program);

  for (;;) {
    while (i < line.size() && IsBlank(line[i]))
      ++i;
    if (i >= line.size())
      break;
    std::u16string word;
    bool quoted = false;
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == u'\\') {
        ++backslashes;
        ++i;
      }
      if (i < line.size() && line[i] == u'"') {
        word.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          word += u'"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
          word += u'"';
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        word.append(backslashes, u'\\');
        if (i < line.size() && (quoted || !IsBlank(line[i])))
          word += line[i++];
      }
    }
    words.push_back(word);
  }
  return words;
}

bool StartDetachedProcess(
    const std::u16string& binaryPath, const std::string& serviceName,
    const std::function<bool(pid_t pid, std::uint64_t startTime)>& recordStart, pid_t* pid) {
  const std::vector<std::u16string> words = SplitCommandLine(binaryPath);
  if (words.empty() || words[0].empty()) {
    SetLastErrorCode(kErrorFileNotFound);
    return false;
  }
  std::string program;
  if (!ToHostPath(words[0], &program))
    return false;
  std::string directory;
  struct stat st;
  if (!ToHostPath(u"C:\\Windows\\System32", &directory) || stat(directory.c_str(), &st) != 0 ||
      !S_ISDIR(st.st_mode)) {
    directory = "/";
  }

  std::vector<std::string> arguments{program};
  for (std::size_t i = 1; i < words.size(); ++i)
    arguments.push_back(WideToMultiByteUtf8(words[i]));
  std::vector<std::string> environment = ServiceEnvironment(serviceName, environ);
  std::vector<char*> argv = ExecPointers(arguments);
  std::vector<char*> envp = ExecPointers(environment);

  UniqueFd pidRead, pidWrite, execRead, execWrite, goAhead, goWait;
  if (!MakeChannel(false, &pidRead, &pidWrite) || !MakeChannel(false, &execRead, &execWrite) ||
      !MakeChannel(true, &goAhead, &goWait)) {
    SetLastErrorCode(Win32ErrorFromErrno(errno, program));
    return false;
  }

  const pid_t child = fork();
  if (child == 0) {
    setsid();
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      RunProgram(goWait.get(), execWrite.get(), program.c_str(), argv.data(), envp.data(),
                 directory.c_str());
    }
    WriteAll(pidWrite.get(), &grandchild, sizeof grandchild);
    _exit(0);
  }
  const int forkError = errno;
  pidWrite.reset();
  execWrite.reset();
  goWait.reset();
  pid_t started = -1;
  bool ok = child > 0;
  if (!ok) {
    SetLastErrorCode(Win32ErrorFromErrno(forkError, program));
  } else {
    const bool gotPid = ReadAll(pidRead.get(), &started, sizeof started);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ok = gotPid && started > 0;
    if (!ok)
      SetLastErrorCode(kErrorNotEnoughMemory);
  }
  ok = ok && recordStart(started, ProcessStartTime(started));
  if (ok) {
    const char go = 'g';
    if (send(goAhead.get(), &go, 1, MSG_NOSIGNAL) != 1) {
      SetLastErrorCode(kErrorNotEnoughMemory);
      ok = false;
    }
  }
  goAhead.reset();  // without the go-ahead the held process ends here
  if (ok) {
    int execError = 0;
    if (ReadAll(execRead.get(), &execError, sizeof execError)) {
      SetLastErrorCode(execError == ENOEXEC ? kErrorBadExeFormat
                                            : Win32ErrorFromErrno(execError, program));
      ok = false;
    }
  }
  if (ok)
    *pid = started;
  return ok;
}

}  // namespace vovu::platform::host
