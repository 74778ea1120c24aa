// The emulated service control manager with a real service process (scm-test-service):
// start, run, stop and shutdown controls, deferred deletion, a service that dies, who may
// do what, and the directory the records live in.
//
// Status changes cross processes through the record's files, so the tests wait for them
// with inotify on the record's directory (bounded by a deadline), never by sleeping.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/host/machine_root.h"
#include "platform/host/service_launch.h"
#include "platform/service_control.h"
#include "platform/text_codec.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

constexpr std::uint32_t kAllRights = kServiceQueryConfig | kServiceChangeConfig |
                                     kServiceQueryStatus | kServiceStart | kServiceStop |
                                     kServiceInterrogate | kServiceDelete;
constexpr auto kPatience = std::chrono::seconds(20);

std::string ServicesDirectory() {
  return host::MachineRoot() + "/scm/services";
}

// Calls `done` whenever something in `directory` changes, until it holds or time runs out.
bool WaitForChangeIn(const std::string& directory, const std::function<bool()>& done) {
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0)
    return false;
  inotify_add_watch(fd, directory.c_str(),
                    IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
                        IN_MOVE_SELF | IN_CLOSE_WRITE);
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  bool reached = false;
  while (!(reached = done())) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      break;
    pollfd p = {fd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
    char events[4096];
    while (read(fd, events, sizeof events) > 0) {
    }
  }
  close(fd);
  return reached;
}

// Waits until the service reports `state`; `*status` holds the last status read.
bool WaitForState(const ServiceHandle& service, const std::u16string& name, std::uint32_t state,
                  ServiceStatus* status) {
  return WaitForChangeIn(ServicesDirectory() + "/" + WideToMultiByteUtf8(name), [&] {
    return QueryServiceEntryStatus(service, status) && status->currentState == state;
  });
}

// Waits until process `pid` (not our child) has ended.
bool WaitForExit(pid_t pid) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0)
    return errno == ESRCH;
  pollfd p = {fd, POLLIN, 0};
  const int ready = poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count()));
  close(fd);
  return ready == 1;
}

// Field `index` (1-based, as in proc(5)) of /proc/<pid>/stat.
long StatField(pid_t pid, int index) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= index && fields >> field; ++i) {
  }
  return std::stol(field);
}

class ServiceControlHost : public ::testing::Test {
 protected:
  ServiceHandle Install(const std::u16string& name, const std::u16string& binaryPath) {
    ServiceConfig config;
    config.binaryPath = binaryPath;
    ServiceHandle service = CreateServiceEntry(manager_, name, config, kAllRights);
    EXPECT_TRUE(service) << LastError();
    return service;
  }
  ServiceHandle InstallTestService(const std::u16string& name) {
    return Install(name, u"\"" + host::ToWindowsPath(VOVU_SCM_TEST_SERVICE_PATH) + u"\"");
  }
  // Starts the service and waits for it to run; the running status, or a failure.
  ::testing::AssertionResult StartAndWait(const ServiceHandle& service, const std::u16string& name,
                                          ServiceStatus* status) {
    if (!StartServiceEntry(service))
      return ::testing::AssertionFailure() << "start failed: " << LastError();
    if (!WaitForState(service, name, kServiceRunning, status))
      return ::testing::AssertionFailure() << "not running: state " << status->currentState;
    return ::testing::AssertionSuccess();
  }

  testing::TestMachine machine_;
  ServiceHandle manager_ = OpenServiceManager(kScManagerConnect | kScManagerCreateService);
};

TEST_F(ServiceControlHost, StartsADetachedServiceAndDeliversStopAndShutdown) {
  ServiceHandle service = InstallTestService(u"VovuSvc");
  ASSERT_TRUE(service);
  ASSERT_TRUE(StartServiceEntry(service)) << LastError();
  // The process is recorded before StartServiceEntry returns.
  ServiceStatus started;
  ASSERT_TRUE(QueryServiceEntryStatus(service, &started));
  EXPECT_NE(started.currentState, kServiceStopped);
  const pid_t pid = static_cast<pid_t>(started.processId);
  ASSERT_GT(pid, 0);
  EXPECT_FALSE(StartServiceEntry(service));
  EXPECT_EQ(LastError(), kErrorServiceAlreadyRunning);

  ServiceStatus status;
  ASSERT_TRUE(WaitForState(service, u"VovuSvc", kServiceRunning, &status));
  EXPECT_EQ(status.processId, static_cast<std::uint32_t>(pid));
  EXPECT_EQ(status.controlsAccepted, kServiceAcceptStop | kServiceAcceptShutdown);
  EXPECT_EQ(status.serviceType, kServiceWin32OwnProcess);
  // Detached: not our child and in a session of its own.
  EXPECT_NE(StatField(pid, 4), static_cast<long>(getpid()));
  EXPECT_NE(StatField(pid, 6), static_cast<long>(getsid(0)));
  EXPECT_FALSE(StartServiceEntry(service));
  EXPECT_EQ(LastError(), kErrorServiceAlreadyRunning);
  ServiceStatus interrogated;
  ASSERT_TRUE(ControlServiceEntry(service, kServiceControlInterrogate, &interrogated));
  EXPECT_EQ(interrogated.currentState, kServiceRunning);

  ASSERT_TRUE(ControlServiceEntry(service, kServiceControlStop, &status)) << LastError();
  ASSERT_TRUE(WaitForState(service, u"VovuSvc", kServiceStopped, &status));
  EXPECT_EQ(status.win32ExitCode, 0u);
  EXPECT_EQ(status.serviceSpecificExitCode, kServiceControlStop);
  EXPECT_EQ(status.processId, 0u);
  EXPECT_TRUE(WaitForExit(pid));
  EXPECT_FALSE(ControlServiceEntry(service, kServiceControlStop, &status));
  EXPECT_EQ(LastError(), kErrorServiceNotActive);
  EXPECT_EQ(status.currentState, kServiceStopped);

  // It starts again; shutdown reaches the handler as shutdown.
  ASSERT_TRUE(StartAndWait(service, u"VovuSvc", &status));
  EXPECT_NE(status.processId, static_cast<std::uint32_t>(pid));
  ASSERT_TRUE(ControlServiceEntry(service, kServiceControlShutdown, &status)) << LastError();
  ASSERT_TRUE(WaitForState(service, u"VovuSvc", kServiceStopped, &status));
  EXPECT_EQ(status.serviceSpecificExitCode, kServiceControlShutdown);
}

TEST_F(ServiceControlHost, DeletingARunningServiceWaitsForItsStop) {
  ServiceHandle service = InstallTestService(u"VovuSvcDel");
  ASSERT_TRUE(service);
  ServiceStatus status;
  ASSERT_TRUE(StartAndWait(service, u"VovuSvcDel", &status));

  ASSERT_TRUE(DeleteServiceEntry(service)) << LastError();
  EXPECT_FALSE(DeleteServiceEntry(service));
  EXPECT_EQ(LastError(), kErrorServiceMarkedForDelete);
  EXPECT_FALSE(OpenServiceEntry(manager_, u"vovusvcdel", kServiceQueryStatus));
  EXPECT_EQ(LastError(), kErrorServiceMarkedForDelete);
  ServiceConfig config;
  config.binaryPath = u"C:\\other.exe";
  EXPECT_FALSE(CreateServiceEntry(manager_, u"VovuSvcDel", config, kAllRights));
  EXPECT_EQ(LastError(), kErrorServiceMarkedForDelete);

  // The stopped report removes the record.
  ASSERT_TRUE(ControlServiceEntry(service, kServiceControlStop, &status)) << LastError();
  ASSERT_TRUE(WaitForChangeIn(ServicesDirectory(), [] {
    struct stat st;
    return lstat((ServicesDirectory() + "/VovuSvcDel").c_str(), &st) != 0;
  }));
  EXPECT_FALSE(OpenServiceEntry(manager_, u"VovuSvcDel", kServiceQueryStatus));
  EXPECT_EQ(LastError(), kErrorServiceDoesNotExist);
  EXPECT_TRUE(CreateServiceEntry(manager_, u"VovuSvcDel", config, kAllRights)) << LastError();
}

TEST_F(ServiceControlHost, AServiceWhoseProcessDiedReadsAsStopped) {
  ServiceHandle service = InstallTestService(u"VovuSvcKill");
  ASSERT_TRUE(service);
  ServiceStatus status;
  ASSERT_TRUE(StartAndWait(service, u"VovuSvcKill", &status));
  const pid_t pid = static_cast<pid_t>(status.processId);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(WaitForExit(pid));

  ASSERT_TRUE(QueryServiceEntryStatus(service, &status));
  EXPECT_EQ(status.currentState, kServiceStopped);
  EXPECT_EQ(status.win32ExitCode, 1067u);  // the process ended without reporting
  EXPECT_EQ(status.processId, 0u);
  EXPECT_FALSE(ControlServiceEntry(service, kServiceControlStop, &status));
  EXPECT_EQ(LastError(), kErrorServiceNotActive);
  ASSERT_TRUE(StartAndWait(service, u"VovuSvcKill", &status));
  ASSERT_TRUE(ControlServiceEntry(service, kServiceControlStop, &status)) << LastError();
  EXPECT_TRUE(WaitForState(service, u"VovuSvcKill", kServiceStopped, &status));
}

TEST_F(ServiceControlHost, AProgramThatCannotRunLeavesTheServiceStopped) {
  testing::TestMachine::WriteBytes(u"C:\\scratch\\text.exe", "not a program");
  ASSERT_EQ(chmod(machine_.Native(u"C:\\scratch\\text.exe").c_str(), 0755), 0);
  const struct {
    const char16_t* binaryPath;
    Win32Error error;
  } cases[] = {
      {u"C:\\scratch\\missing.exe", kErrorFileNotFound},
      {u"\"C:\\no such dir\\svc.exe\" -service", kErrorPathNotFound},
      {u"C:\\scratch\\text.exe", kErrorBadExeFormat},
  };
  for (const auto& c : cases) {
    ServiceHandle service = Install(u"VovuSvcBad", c.binaryPath);
    ASSERT_TRUE(service);
    EXPECT_FALSE(StartServiceEntry(service));
    EXPECT_EQ(LastError(), c.error);
    ServiceStatus status;
    ASSERT_TRUE(QueryServiceEntryStatus(service, &status));
    EXPECT_EQ(status.currentState, kServiceStopped);
    EXPECT_EQ(status.win32ExitCode, c.error);
    ASSERT_TRUE(DeleteServiceEntry(service)) << LastError();
  }
}

TEST_F(ServiceControlHost, OnlyAdministratorsChangeAnythingAndRecordsCannotBeForged) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run a second user";
  ServiceHandle service = InstallTestService(u"VovuSvcUser");
  ASSERT_TRUE(service);

  const pid_t child = fork();
  if (child == 0) {
    // Each failed expectation sets one bit of the exit status.
    int failures = 0;
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(255);
    if (OpenServiceManager(kScManagerConnect | kScManagerCreateService) ||
        LastError() != kErrorAccessDenied)
      failures |= 1;
    ServiceHandle manager = OpenServiceManager(kScManagerConnect);
    if (!manager)
      _exit(254);
    if (OpenServiceEntry(manager, u"VovuSvcUser", kServiceStart) ||
        LastError() != kErrorAccessDenied)
      failures |= 2;
    if (OpenServiceEntry(manager, u"VovuSvcUser", kServiceStop | kServiceQueryStatus) ||
        LastError() != kErrorAccessDenied)
      failures |= 4;
    ServiceHandle query =
        OpenServiceEntry(manager, u"VovuSvcUser", kServiceQueryStatus | kServiceQueryConfig);
    ServiceStatus status;
    if (!query || !QueryServiceEntryStatus(query, &status) ||
        status.currentState != kServiceStopped)
      failures |= 8;
    if (StartServiceEntry(query) || LastError() != kErrorAccessDenied)
      failures |= 16;
    if (ControlServiceEntry(query, kServiceControlStop, &status) ||
        LastError() != kErrorAccessDenied)
      failures |= 32;
    _exit(failures);
  }
  ASSERT_GT(child, 0);
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 0);

  // A manager directory that others could write is not the manager's.
  ASSERT_EQ(chmod(ServicesDirectory().c_str(), 0777), 0);
  EXPECT_FALSE(OpenServiceEntry(manager_, u"VovuSvcUser", kServiceQueryStatus));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  ASSERT_EQ(chmod(ServicesDirectory().c_str(), 0755), 0);
  ASSERT_EQ(chown(ServicesDirectory().c_str(), 65534, 65534), 0);
  EXPECT_FALSE(OpenServiceManager(kScManagerConnect));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
}

TEST(ServiceLaunch, SplitsTheBinaryPathWithTheWindowsRules) {
  using Words = std::vector<std::u16string>;
  EXPECT_EQ(host::SplitCommandLine(u"\"C:\\Program Files\\a b\\svc.exe\" -run"),
            (Words{u"C:\\Program Files\\a b\\svc.exe", u"-run"}));
  EXPECT_EQ(host::SplitCommandLine(u"C:\\svc.exe"), (Words{u"C:\\svc.exe"}));
  EXPECT_EQ(host::SplitCommandLine(u"C:\\Program Files\\svc.exe"),
            (Words{u"C:\\Program", u"Files\\svc.exe"}));
  EXPECT_EQ(host::SplitCommandLine(u"x \"a b\" c\\\\\"d e\" f\\\"g h\\i \"j\"\"k\""),
            (Words{u"x", u"a b", u"c\\d e", u"f\"g", u"h\\i", u"j\"k"}));
  EXPECT_TRUE(host::SplitCommandLine(u"").empty());
}

}  // namespace
}  // namespace vovu::platform
