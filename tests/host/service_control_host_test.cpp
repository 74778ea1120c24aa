// The emulated service control manager with a real service process (scm-test-service):
// start, run, stop and shutdown controls, deferred deletion, a service that dies, who may
// do what, and the directory the records live in.
//
// Status changes cross processes through the record's files, so the tests wait for them
// with inotify on the record's directory (bounded by a deadline), never by sleeping.
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/scm/service_launch.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "support/host/installed_service.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

constexpr std::uint32_t kAllRights = kServiceQueryConfig | kServiceChangeConfig |
                                     kServiceQueryStatus | kServiceStart | kServiceStop |
                                     kServiceInterrogate | kServiceDelete;
constexpr char16_t kName[] = u"VovuSvc";

// Where the manager keeps the services' run-time status.
std::string StatusDirectory() {
  return host::MachineRoot() + "/run/scm";
}

// Waits until the service kName reports `state`; `*status` holds the last status read.
bool WaitForState(const ServiceHandle& service, std::uint32_t state, ServiceStatus* status) {
  return testing::WaitForChangeIn({StatusDirectory()}, [&] {
    return QueryServiceEntryStatus(service, status) && status->currentState == state;
  });
}

class ServiceControlHost : public ::testing::Test {
 protected:
  // Registers kName with `binaryPath`, by default scm-test-service.
  ServiceHandle Install(const std::u16string& binaryPath =
                            u"\"" + host::ToWindowsPath(VOVU_SCM_TEST_SERVICE_PATH) + u"\"") {
    ServiceConfig config;
    config.binaryPath = binaryPath;
    ServiceHandle service = CreateServiceEntry(manager_, kName, config, kAllRights);
    EXPECT_TRUE(service) << LastError();
    return service;
  }
  // Starts the service and waits for it to run; the running status, or a failure.
  static ::testing::AssertionResult StartAndWait(const ServiceHandle& service,
                                                 ServiceStatus* status) {
    if (!StartServiceEntry(service))
      return ::testing::AssertionFailure() << "start failed: " << LastError();
    if (!WaitForState(service, kServiceRunning, status))
      return ::testing::AssertionFailure() << "not running: state " << status->currentState;
    return ::testing::AssertionSuccess();
  }

  testing::TestMachine machine_;
  ServiceHandle manager_ = OpenServiceManager(kScManagerConnect | kScManagerCreateService);
};

TEST_F(ServiceControlHost, DetachedServiceThroughStopShutdownDeathAndDeferredDeletion) {
  ServiceHandle service = Install();
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
  ASSERT_TRUE(WaitForState(service, kServiceRunning, &status));
  EXPECT_EQ(status.processId, static_cast<std::uint32_t>(pid));
  EXPECT_EQ(status.controlsAccepted, kServiceAcceptStop | kServiceAcceptShutdown);
  EXPECT_EQ(status.serviceType, kServiceWin32OwnProcess);
  // Detached: not our child and in a session of its own.
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_NE(getsid(pid), getsid(0));
  EXPECT_FALSE(StartServiceEntry(service));
  EXPECT_EQ(LastError(), kErrorServiceAlreadyRunning);
  ServiceStatus interrogated;
  ASSERT_TRUE(ControlServiceEntry(service, kServiceControlInterrogate, &interrogated));
  EXPECT_EQ(interrogated.currentState, kServiceRunning);

  ASSERT_TRUE(ControlServiceEntry(service, kServiceControlStop, &status)) << LastError();
  ASSERT_TRUE(WaitForState(service, kServiceStopped, &status));
  EXPECT_EQ(status.win32ExitCode, 0u);
  EXPECT_EQ(status.serviceSpecificExitCode, kServiceControlStop);
  EXPECT_EQ(status.processId, 0u);
  EXPECT_TRUE(testing::WaitForProcessExit(pid));
  EXPECT_FALSE(ControlServiceEntry(service, kServiceControlStop, &status));
  EXPECT_EQ(LastError(), kErrorServiceNotActive);
  EXPECT_EQ(status.currentState, kServiceStopped);

  // It starts again; shutdown reaches the handler as shutdown.
  ASSERT_TRUE(StartAndWait(service, &status));
  EXPECT_NE(status.processId, static_cast<std::uint32_t>(pid));
  ASSERT_TRUE(ControlServiceEntry(service, kServiceControlShutdown, &status)) << LastError();
  ASSERT_TRUE(WaitForState(service, kServiceStopped, &status));
  EXPECT_EQ(status.serviceSpecificExitCode, kServiceControlShutdown);

  // A process that died without reporting reads as stopped with 1067, and starts again.
  ASSERT_TRUE(StartAndWait(service, &status));
  const pid_t killed = static_cast<pid_t>(status.processId);
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  ASSERT_TRUE(testing::WaitForProcessExit(killed));
  ASSERT_TRUE(QueryServiceEntryStatus(service, &status));
  EXPECT_EQ(status.currentState, kServiceStopped);
  EXPECT_EQ(status.win32ExitCode, 1067u);
  EXPECT_EQ(status.processId, 0u);
  EXPECT_FALSE(ControlServiceEntry(service, kServiceControlStop, &status));
  EXPECT_EQ(LastError(), kErrorServiceNotActive);
  ASSERT_TRUE(StartAndWait(service, &status));

  // Deleting the running service waits for its stop.
  ASSERT_TRUE(DeleteServiceEntry(service)) << LastError();
  EXPECT_FALSE(DeleteServiceEntry(service));
  EXPECT_EQ(LastError(), kErrorServiceMarkedForDelete);
  EXPECT_FALSE(OpenServiceEntry(manager_, u"vovusvc", kServiceQueryStatus));
  EXPECT_EQ(LastError(), kErrorServiceMarkedForDelete);
  ServiceConfig config;
  config.binaryPath = u"C:\\other.exe";
  EXPECT_FALSE(CreateServiceEntry(manager_, kName, config, kAllRights));
  EXPECT_EQ(LastError(), kErrorServiceMarkedForDelete);

  // The stopped report removes the record.
  ASSERT_TRUE(ControlServiceEntry(service, kServiceControlStop, &status)) << LastError();
  ASSERT_TRUE(testing::WaitForChangeIn({StatusDirectory()}, [this] {
    return !OpenServiceEntry(manager_, kName, kServiceQueryStatus) &&
           LastError() == kErrorServiceDoesNotExist;
  }));
  EXPECT_FALSE(OpenServiceEntry(manager_, kName, kServiceQueryStatus));
  EXPECT_EQ(LastError(), kErrorServiceDoesNotExist);
  EXPECT_TRUE(CreateServiceEntry(manager_, kName, config, kAllRights)) << LastError();
}

TEST_F(ServiceControlHost, ConfigurationIsKeptInTheRegistryAsWindowsKeepsIt) {
  ServiceHandle service = Install(u"\"C:\\Program Files\\Korva\\svc.exe\"");
  ASSERT_TRUE(service);
  ASSERT_TRUE(SetServiceDescription(service, u"Keeps things"));
  ASSERT_TRUE(SetServiceFailureActions(service, 86400, {{1, 5000}, {1, 60000}}));

  RegistryKey key;
  ASSERT_EQ(OpenRegistryKey(kRegistryLocalMachine, u"SYSTEM\\CurrentControlSet\\Services\\vovusvc",
                            kKeyRead, &key),
            kErrorSuccess);
  const auto value = [&](const char16_t* name, std::uint32_t* type) {
    std::string bytes(4096, '\0');
    auto size = static_cast<std::uint32_t>(bytes.size());
    EXPECT_EQ(QueryRegistryValue(key.get(), name, type, bytes.data(), &size), kErrorSuccess)
        << "value " << WideToUtf8(name);
    bytes.resize(size);
    return bytes;
  };
  const auto dword = [](std::uint32_t v) { return std::string(reinterpret_cast<char*>(&v), 4); };
  const auto sz = [](const std::u16string& text) {
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2);
  };
  std::uint32_t type = 0;
  EXPECT_EQ(value(u"Type", &type), dword(kServiceWin32OwnProcess));
  EXPECT_EQ(type, 4u);  // REG_DWORD
  EXPECT_EQ(value(u"Start", &type), dword(kServiceAutoStart));
  EXPECT_EQ(value(u"ErrorControl", &type), dword(kServiceErrorNormal));
  EXPECT_EQ(value(u"ImagePath", &type), sz(u"\"C:\\Program Files\\Korva\\svc.exe\""));
  EXPECT_EQ(type, 2u);  // REG_EXPAND_SZ
  EXPECT_EQ(value(u"ObjectName", &type), sz(u"LocalSystem"));
  EXPECT_EQ(value(u"Description", &type), sz(u"Keeps things"));
  EXPECT_EQ(type, 1u);  // REG_SZ
  // SERVICE_FAILURE_ACTIONS: reset period, no reboot message, no command, two actions.
  EXPECT_EQ(value(u"FailureActions", &type), dword(86400) + dword(0) + dword(0) + dword(2) +
                                                 dword(20) + dword(1) + dword(5000) + dword(1) +
                                                 dword(60000));
  EXPECT_EQ(type, 3u);  // REG_BINARY

  // A stopped service goes at once, its key and its status with it.
  ASSERT_TRUE(DeleteServiceEntry(service)) << LastError();
  EXPECT_EQ(OpenRegistryKey(kRegistryLocalMachine, u"SYSTEM\\CurrentControlSet\\Services\\VovuSvc",
                            kKeyRead, &key),
            kErrorFileNotFound);
  struct stat st;
  EXPECT_NE(lstat((StatusDirectory() + "/vovusvc").c_str(), &st), 0);
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
    ServiceHandle service = Install(c.binaryPath);
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
  REQUIRE_ROOT_FOR_OTHER_USERS();
  ServiceHandle service = Install();
  ASSERT_TRUE(service);

  // Another user, even one in the root group, may connect and query and is refused
  // everything else. The child names each expectation that failed.
  const testing::OtherUser user{testing::kNobody, testing::kNobody, {0}};
  const std::string failures =
      testing::UserChild(user, [] {
        std::string failed;
        const auto denied = [&](bool succeeded, const char* what) {
          if (succeeded || LastError() != kErrorAccessDenied)
            failed += what;
        };
        denied(OpenServiceManager(kScManagerConnect | kScManagerCreateService).valid(), " create;");
        ServiceHandle manager = OpenServiceManager(kScManagerConnect);
        if (!manager)
          return std::string("no connect");
        denied(OpenServiceEntry(manager, kName, kServiceStart).valid(), " open to start;");
        denied(OpenServiceEntry(manager, kName, kServiceStop | kServiceQueryStatus).valid(),
               " open to stop;");
        ServiceHandle query =
            OpenServiceEntry(manager, kName, kServiceQueryStatus | kServiceQueryConfig);
        ServiceStatus status;
        if (!query || !QueryServiceEntryStatus(query, &status) ||
            status.currentState != kServiceStopped)
          failed += " query;";
        denied(StartServiceEntry(query), " start;");
        denied(ControlServiceEntry(query, kServiceControlStop, &status), " stop;");
        return failed;
      }).Finish();
  EXPECT_EQ(failures, "");

  // A run-time directory that others could write is not the manager's.
  ASSERT_EQ(chmod(StatusDirectory().c_str(), 0777), 0);
  EXPECT_FALSE(OpenServiceEntry(manager_, kName, kServiceQueryStatus));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  ASSERT_EQ(chmod(StatusDirectory().c_str(), 0755), 0);
  ASSERT_EQ(chown(StatusDirectory().c_str(), testing::kNobody, testing::kNobody), 0);
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
