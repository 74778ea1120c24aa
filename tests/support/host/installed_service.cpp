// Host: the installed executable runs as a child of the test; the service it starts is a
// detached process that the test only sees through the machine root and /proc.
#include "support/host/installed_service.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/host/core/machine_root.h"
#include "platform/pipe.h"
#include "service/pipe_client.h"
#include "service/service_names.h"
#include "support/desktop_app.h"
#include "support/test_machine.h"

extern char** environ;

namespace vovu::testing {
namespace {

std::filesystem::path InstalledExecutable() {
  return TestMachine::Native(JoinPath(kServiceInstallDirectory, u"vovudidavuda.exe"));
}

// Waits until `done` holds, looking again whenever something changes among the pipes.
bool WaitForPipes(const std::function<bool()>& done) {
  const std::string root = platform::host::MachineRoot();
  return WaitForChangeIn({root, root + "/pipes", root + "/pipes/vovudidavuda"}, done);
}

}  // namespace

void PlaceServiceExecutable() {
  const std::filesystem::path target = InstalledExecutable();
  std::filesystem::create_directories(target.parent_path());
  std::filesystem::copy_file(VOVU_SERVICE_EXECUTABLE_PATH, target,
                             std::filesystem::copy_options::overwrite_existing);
  ASSERT_EQ(chmod(target.c_str(), 0755), 0);
  InstallDesktopApp(kServiceInstallDirectory);
  // The service gets the machine's environment, not the test's: the test looks at the
  // machine's own ProgramData as well (its machine root is the test's own).
  const std::filesystem::path programData = TestMachine::Native(u"C:\\ProgramData");
  std::filesystem::create_directories(programData);
  OpenLikeProgramData(programData);
  ASSERT_TRUE(platform::SetEnvironmentValue(u"ProgramData", u"C:\\ProgramData"));
}

pid_t InstallService(bool start) {
  PlaceServiceExecutable();
  if (::testing::Test::HasFatalFailure())
    return 0;
  EXPECT_EQ(RunServiceTool({"install"}), 0);
  return start ? StartInstalledService() : 0;
}

pid_t StartInstalledService(platform::ServiceStatus* status) {
  platform::ServiceStatus last;
  platform::ServiceStatus* seen = status != nullptr ? status : &last;
  EXPECT_EQ(RunServiceTool({"start"}), 0);
  EXPECT_TRUE(WaitForServiceState(platform::kServiceRunning, seen))
      << "state " << seen->currentState;
  return static_cast<pid_t>(seen->processId);
}

ServiceCleanup::~ServiceCleanup() {
  platform::ServiceStatus status;
  std::uint32_t error = 0;
  if (!QueryInstalledService(&status, &error))
    return;  // never installed, or already uninstalled
  (void)RunServiceTool({"uninstall"});
  const pid_t pid = static_cast<pid_t>(status.processId);
  if (pid > 0 && kill(pid, 0) == 0 && !WaitForProcessExit(pid))
    kill(pid, SIGKILL);
}

int RunServiceTool(const std::vector<std::string>& args) {
  const std::string program = InstalledExecutable().string();
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = -1;
  if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
    return -1;
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return waited == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool QueryInstalledService(platform::ServiceStatus* status, std::uint32_t* error) {
  platform::ServiceHandle manager = platform::OpenServiceManager(platform::kScManagerConnect);
  platform::ServiceHandle service;
  if (manager.valid())
    service = platform::OpenServiceEntry(manager, kServiceName, platform::kServiceQueryStatus);
  if (service.valid() && platform::QueryServiceEntryStatus(service, status))
    return true;
  *error = platform::LastError();
  return false;
}

bool WaitForServiceState(std::uint32_t state, platform::ServiceStatus* status) {
  const std::string run = platform::host::MachineRoot() + "/run";
  return WaitForChangeIn({run, run + "/scm"}, [&] {
    std::uint32_t error = 0;
    return QueryInstalledService(status, &error) && status->currentState == state;
  });
}

bool WaitForChangeIn(const std::vector<std::string>& directories,
                     const std::function<bool()>& done) {
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0)
    return false;
  const auto deadline = std::chrono::steady_clock::now() + kServicePatience;
  bool reached = false;
  for (;;) {
    // Watch before looking, so that no change between the look and the wait is missed; a
    // directory that did not exist yet is watched from the round after it appears.
    for (const std::string& directory : directories) {
      (void)inotify_add_watch(fd, directory.c_str(),
                              IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_CLOSE_WRITE |
                                  IN_DELETE_SELF | IN_MOVE_SELF);
    }
    if ((reached = done()))
      break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p = {fd, POLLIN, 0};
    if (left.count() <= 0)
      break;
    (void)poll(&p, 1, static_cast<int>(left.count()));
    char events[4096];
    while (read(fd, events, sizeof events) > 0) {
    }
  }
  close(fd);
  return reached;
}

bool WaitForPipeAnswer(const std::u16string& word, std::u16string* reply) {
  return WaitForPipes([&] { return SendPipeRequest(word, reply); });
}

bool WaitForListeningInstance() {
  return WaitForPipes([] { return platform::WaitForPipeInstance(kPipeName, 3000); });
}

bool WaitForProcessExit(pid_t pid) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0)
    return errno == ESRCH;
  pollfd p = {fd, POLLIN, 0};
  const int ready =
      poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kServicePatience).count()));
  close(fd);
  return ready == 1;
}

int CountProcEntries(pid_t pid, const char* what) {
  std::error_code error;
  std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid) + "/" + what, error);
  return error ? -1 : static_cast<int>(std::distance(entries, {}));
}

}  // namespace vovu::testing
