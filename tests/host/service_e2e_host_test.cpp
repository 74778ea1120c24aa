// The real executable end to end in a fresh machine root: installed in C:\Program Files\Korva
// beside Korvadesk.exe, managed through its own command line, started by the emulated
// control manager as a detached process, and asked over its pipe by a client of another user
// in a session of its own. The console run of the executable without arguments is checked in
// this process: the dispatcher can be started once per process, so it has a test process of
// its own here (and the smoke test under wine).
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "foundation/text.h"
#include "platform/service_control.h"
#include "service/command_line.h"
#include "service/pipe_client.h"
#include "service/service_names.h"
#include "state/installed_version.h"
#include "support/debug_capture.h"
#include "support/desktop_app.h"
#include "support/host/installed_service.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu::testing {
namespace {

TEST(ServiceEndToEndHost, EveryVerbFromInstallThroughAnotherUsersRequestToUninstall) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  ServiceCleanup cleanup;
  PlaceServiceExecutable();
  ASSERT_FALSE(HasFatalFailure());
  DebugCapture capture;
  ASSERT_TRUE(capture.Available());

  // install: registered with the installed path, stopped, and the version record reset.
  ASSERT_EQ(RunServiceTool({"install"}), 0);
  platform::ServiceStatus status;
  std::uint32_t error = 0;
  ASSERT_TRUE(QueryInstalledService(&status, &error)) << error;
  EXPECT_EQ(status.currentState, platform::kServiceStopped);
  {
    platform::ServiceHandle manager = platform::OpenServiceManager(platform::kScManagerConnect);
    platform::ServiceHandle service =
        platform::OpenServiceEntry(manager, kServiceName, platform::kServiceQueryConfig);
    platform::ServiceConfig config;
    ASSERT_TRUE(platform::QueryServiceEntryConfig(service, &config));
    EXPECT_EQ(WideToUtf8(config.binaryPath), "\"C:\\Program Files\\Korva\\vovudidavuda.exe\"");
    EXPECT_EQ(config.startType, platform::kServiceAutoStart);
  }
  std::u16string baseline;
  std::u16string current;
  ASSERT_TRUE(TestMachine::Exists(InstalledVersionStatePath()));
  ASSERT_TRUE(ReadInstalledVersionState(&baseline, &current));
  EXPECT_EQ(baseline, kStandinAppVersion);
  EXPECT_EQ(current, kStandinAppVersion);

  // Installed, never started: stop has nothing to do, and a hot-update command never runs
  // without the service.
  EXPECT_EQ(RunServiceTool({"stop"}), 0);
  EXPECT_EQ(RunServiceTool({"hot-update-prepare", "C:\\Users\\nobody\\job.json"}), 1);
  const std::vector<std::string> lines = capture.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "[VovudIdavUda] Korva Sync Service is unavailable; hot-update aborted.\n"),
            lines.end());
  ASSERT_TRUE(QueryInstalledService(&status, &error)) << error;
  EXPECT_EQ(status.currentState, platform::kServiceStopped);

  // start: the control manager runs it detached; it reports running and its pipe answers.
  ASSERT_EQ(RunServiceTool({"start"}), 0);
  ASSERT_TRUE(WaitForServiceState(platform::kServiceRunning, &status))
      << "state " << status.currentState;
  const pid_t pid = static_cast<pid_t>(status.processId);
  ASSERT_GT(pid, 0);
  std::u16string reply;
  ASSERT_TRUE(WaitForPipeAnswer(u"ping", &reply));
  EXPECT_EQ(reply, u"ERROR unknown command: ping");
  EXPECT_EQ(RunServiceTool({"start"}), 0);  // already running

  // Another user, another session: the word is normalised, the arguments do not matter.
  ASSERT_TRUE(WaitForListeningInstance());
  EXPECT_EQ(UserChild({},
                      [] {
                        std::u16string answer;
                        return SendPipeRequest(u"--FrobNicate\r\nSome Arg\r\n", &answer)
                                   ? WideToUtf8(answer)
                                   : "failed: " + std::to_string(platform::LastError());
                      })
                .Finish(),
            "ERROR unknown command: frobnicate");

  // stop: the process ends after reporting stopped; a second stop has nothing to do.
  ASSERT_EQ(RunServiceTool({"stop"}), 0);
  ASSERT_TRUE(WaitForServiceState(platform::kServiceStopped, &status))
      << "state " << status.currentState;
  EXPECT_EQ(status.win32ExitCode, 0u);
  EXPECT_TRUE(WaitForProcessExit(pid));
  EXPECT_EQ(RunServiceTool({"stop"}), 0);
  EXPECT_FALSE(SendPipeRequest(u"ping", &reply));

  // uninstall: the registration is gone, the version record stays; stop and uninstall of a
  // missing service have nothing to do.
  ASSERT_EQ(RunServiceTool({"uninstall"}), 0);
  EXPECT_FALSE(QueryInstalledService(&status, &error));
  EXPECT_EQ(error, platform::kErrorServiceDoesNotExist);
  EXPECT_TRUE(TestMachine::Exists(InstalledVersionStatePath()));
  EXPECT_EQ(RunServiceTool({"uninstall"}), 0);
  EXPECT_EQ(RunServiceTool({"stop"}), 0);
}

TEST(CommandLineHost, NoArgumentFromAConsoleExitsZero) {
  TestMachine machine;
  EXPECT_EQ(RunCommandLine({u"vovudidavuda.exe"}), 0);
}

}  // namespace
}  // namespace vovu::testing
