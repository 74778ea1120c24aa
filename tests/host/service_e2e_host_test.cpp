// The real executable end to end in a fresh machine root: installed in C:\Program Files\Korva
// beside Korvadesk.exe, managed through its own command line, started by the emulated
// control manager as a detached process, and asked over its pipe by a client of another user
// in a session of its own.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "foundation/text.h"
#include "platform/service_control.h"
#include "service/pipe_client.h"
#include "service/service_names.h"
#include "state/installed_version.h"
#include "support/debug_capture.h"
#include "support/desktop_app.h"
#include "support/host/installed_service.h"
#include "support/test_machine.h"

namespace vovu::testing {
namespace {

constexpr uid_t kNobody = 65534;

#define REQUIRE_ROOT() \
  if (geteuid() != 0)  \
  GTEST_SKIP() << "single-user mode: installing a service and acting as another user need root"

// Sends `request` from a forked child that leads a session of its own and runs as nobody.
// The reply it got, or "failed: <Win32 error>" when SendPipeRequest failed.
std::string RequestAsNobody(const std::u16string& request) {
  int channel[2];
  if (pipe(channel) != 0)
    return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    if (setsid() < 0 || setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
        setuid(kNobody) != 0) {
      _exit(2);
    }
    std::u16string reply;
    const std::string text = SendPipeRequest(request, &reply)
                                 ? WideToUtf8(reply)
                                 : "failed: " + std::to_string(platform::LastError());
    const bool written =
        write(channel[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    _exit(written ? 0 : 3);
  }
  close(channel[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(channel[0], buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(n));
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "child failed: " + std::to_string(status);
  return text;
}

bool HasLine(DebugCapture& capture, const std::string& text) {
  const std::vector<std::string> lines = capture.Lines();
  return std::find(lines.begin(), lines.end(), "[VovudIdavUda] " + text + "\n") != lines.end();
}

TEST(ServiceEndToEndHost, InstallStartAnswerAnotherUserStopUninstall) {
  REQUIRE_ROOT();
  TestMachine machine;
  ServiceCleanup cleanup;
  PlaceServiceExecutable();
  ASSERT_FALSE(HasFatalFailure());

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
  EXPECT_EQ(RequestAsNobody(u"--FrobNicate\r\nSome Arg\r\n"), "ERROR unknown command: frobnicate");

  // stop: the process ends after reporting stopped; a second stop has nothing to do.
  ASSERT_EQ(RunServiceTool({"stop"}), 0);
  ASSERT_TRUE(WaitForServiceState(platform::kServiceStopped, &status))
      << "state " << status.currentState;
  EXPECT_EQ(status.win32ExitCode, 0u);
  EXPECT_TRUE(WaitForProcessExit(pid));
  EXPECT_EQ(RunServiceTool({"stop"}), 0);
  EXPECT_FALSE(SendPipeRequest(u"ping", &reply));

  // uninstall: the registration is gone; the version record stays.
  ASSERT_EQ(RunServiceTool({"uninstall"}), 0);
  EXPECT_FALSE(QueryInstalledService(&status, &error));
  EXPECT_EQ(error, platform::kErrorServiceDoesNotExist);
  EXPECT_TRUE(TestMachine::Exists(InstalledVersionStatePath()));
}

TEST(ServiceEndToEndHost, StoppedAndMissingServiceVerbsSucceedHotUpdateIsRefused) {
  REQUIRE_ROOT();
  TestMachine machine;
  ServiceCleanup cleanup;
  PlaceServiceExecutable();
  ASSERT_FALSE(HasFatalFailure());
  DebugCapture capture;
  ASSERT_TRUE(capture.Available());

  ASSERT_EQ(RunServiceTool({"install"}), 0);
  EXPECT_EQ(RunServiceTool({"stop"}), 0);  // installed, never started

  // A hot-update command never runs without the service.
  EXPECT_EQ(RunServiceTool({"hot-update-prepare", "C:\\Users\\nobody\\job.json"}), 1);
  EXPECT_TRUE(HasLine(capture, "Korva Sync Service is unavailable; hot-update aborted."));
  platform::ServiceStatus status;
  std::uint32_t error = 0;
  ASSERT_TRUE(QueryInstalledService(&status, &error)) << error;
  EXPECT_EQ(status.currentState, platform::kServiceStopped);

  ASSERT_EQ(RunServiceTool({"uninstall"}), 0);
  EXPECT_FALSE(QueryInstalledService(&status, &error));
  EXPECT_EQ(error, platform::kErrorServiceDoesNotExist);
  EXPECT_EQ(RunServiceTool({"uninstall"}), 0);  // missing
  EXPECT_EQ(RunServiceTool({"stop"}), 0);       // missing
}

}  // namespace
}  // namespace vovu::testing
