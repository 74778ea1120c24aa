// The stand-in for the cloud-files helper, korvaCF.exe, on the host.
//
// Without "/Stop" ("-Embedding" and any other argument included) it runs until it is told to
// stop: it waits for SIGTERM or SIGINT, without using the processor. With "/Stop" it sends
// SIGTERM to every other process of its own image name in its own session (sessions as the
// host platform reads them) and exits.
//
// Trace: when a file (or FIFO) named korvaCF.trace exists beside the executable, or else in
// the folder USERPROFILE names (where a demo keeps it: a file its user may write cannot lie
// in an installation folder the service accepts), each event appends one line to it,
// written at once:
//   start uid=<uid> session=<session> pid=<pid> profile=<USERPROFILE> cwd=<dir> args=<args>
//   stop uid=... (the same fields) stopped=<number of instances signalled>
//   exit uid=... (the same fields)
// Exit code 0; 1 when it could not wait for its signal.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/core/machine_root.h"
#include "platform/process.h"
#include "platform/text_codec.h"

namespace {

using namespace vovu::platform;

std::string SelfPath() {
  std::string buffer(PATH_MAX, '\0');
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return buffer;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c + 32);
  }
  return text;
}

std::uint32_t OwnSession() {
  std::uint32_t session = 0xFFFFFFFFu;
  if (!ProcessSessionId(CurrentProcessId(), &session))
    session = 0xFFFFFFFFu;
  return session;
}

// One line of the trace; nothing when no trace file is there (or no reader on a FIFO).
void Trace(const std::string& event, const std::string& args, const std::string& extra) {
  const std::string self = SelfPath();
  const std::string trace = self.substr(0, self.find_last_of('/') + 1) + "korvaCF.trace";
  const char* profile = std::getenv("USERPROFILE");
  int fd = open(trace.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  std::string profileFolder;
  if (fd < 0 && profile != nullptr &&
      vovu::platform::host::ToHostPath(MultiByteUtf8ToWide(profile, std::strlen(profile)),
                                       &profileFolder)) {
    fd = open((profileFolder + "/korvaCF.trace").c_str(),
              O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  }
  if (fd < 0)
    return;
  std::string cwd(PATH_MAX, '\0');
  if (getcwd(cwd.data(), cwd.size()) == nullptr)
    cwd.clear();
  cwd.resize(cwd.find('\0') == std::string::npos ? cwd.size() : cwd.find('\0'));
  std::string line =
      event + " uid=" + std::to_string(getuid()) + " session=" + std::to_string(OwnSession()) +
      " pid=" + std::to_string(getpid()) + " profile=" + (profile == nullptr ? "" : profile) +
      " cwd=" + cwd + " args=" + args + extra + "\n";
  (void)!write(fd, line.data(), line.size());
  close(fd);
}

// Signals the other instances of this image in this session; returns how many.
int StopInstancesOfSession() {
  const std::string self = SelfPath();
  const std::string name = Lower(self.substr(self.find_last_of('/') + 1));
  const std::uint32_t session = OwnSession();
  std::vector<ProcessEntry> processes;
  if (session == 0xFFFFFFFFu || !SnapshotProcesses(&processes))
    return 0;
  int stopped = 0;
  for (const ProcessEntry& process : processes) {
    std::uint32_t theirs = 0;
    if (process.processId == CurrentProcessId() ||
        Lower(WideToMultiByteUtf8(process.exeName)) != name ||
        !ProcessSessionId(process.processId, &theirs) || theirs != session) {
      continue;
    }
    if (kill(static_cast<pid_t>(process.processId), SIGTERM) == 0)
      ++stopped;
  }
  return stopped;
}

}  // namespace

int main(int argc, char** argv) {
  std::string args;
  bool stop = false;
  for (int i = 1; i < argc; ++i) {
    args += (i > 1 ? " " : "") + std::string(argv[i]);
    stop = stop || Lower(argv[i]) == "/stop";
  }
  if (stop) {
    const int stopped = StopInstancesOfSession();
    Trace("stop", args, " stopped=" + std::to_string(stopped));
    return 0;
  }

  sigset_t wanted;
  sigemptyset(&wanted);
  sigaddset(&wanted, SIGTERM);
  sigaddset(&wanted, SIGINT);
  if (sigprocmask(SIG_BLOCK, &wanted, nullptr) != 0)
    return 1;
  Trace("start", args, "");
  int signo = 0;
  if (sigwait(&wanted, &signo) != 0)
    return 1;
  Trace("exit", args, "");
  return 0;
}
