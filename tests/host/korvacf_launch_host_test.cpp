// The helper is started as the caller, in the caller's session, at most once per session, and
// "/Stop" ends the helper of one session only. Users are uid 65534 leading sessions of their
// own; the stand-in helper reports each start and exit through a FIFO beside it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/fault_injection.h"
#include "platform/session_user.h"
#include "service/dispatcher.h"
#include "support/host/other_user.h"
#include "support/korvacf_standin.h"
#include "support/outcome.h"
#include "support/test_machine.h"
#include "system/session_launch.h"

namespace vovu {
namespace {

using testing::kNobody;
using testing::Outcome;
using testing::TestMachine;
using testing::UserSession;

// The helper's trace: a FIFO beside it, read line by line with a time limit for a helper
// that never writes. The helpers whose start it read are killed when it goes.
class HelperTrace {
 public:
  explicit HelperTrace(const std::filesystem::path& path) {
    mkfifo(path.c_str(), 0666);
    chmod(path.c_str(), 0666);
    fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }
  ~HelperTrace() {
    close(fd_);
    for (pid_t pid : started_)
      kill(pid, SIGKILL);
  }

  // The next line, or empty text after 10 s without one.
  std::string Next() {
    std::string line;
    for (char c = 0; c != '\n';) {
      pollfd readable{fd_, POLLIN, 0};
      if (poll(&readable, 1, 10000) != 1)
        return {};
      if (read(fd_, &c, 1) == 1 && c != '\n')
        line += c;
    }
    if (line.rfind("start ", 0) == 0)
      started_.push_back(static_cast<pid_t>(std::atol(Field(line, "pid").c_str())));
    return line;
  }

  // The next two lines in sorted order: after a stop request, the stopped helper's "exit"
  // line and the request's "stop" line, which come in either order.
  std::pair<std::string, std::string> NextTwoSorted() {
    std::string a = Next();
    std::string b = Next();
    return b < a ? std::make_pair(b, a) : std::make_pair(a, b);
  }

  // The value of "name=" in a trace line (up to the next blank; the rest for "args").
  static std::string Field(const std::string& line, const std::string& name) {
    const std::size_t at = line.find(" " + name + "=");
    if (at == std::string::npos)
      return "<none>";
    const std::size_t start = at + name.size() + 2;
    return line.substr(start, name == "args" ? std::string::npos : line.find(' ', start) - start);
  }

 private:
  int fd_ = -1;
  std::vector<pid_t> started_;
};

bool IsRunning(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  return close != std::string::npos && text.size() > close + 2 && text[close + 2] != 'Z';
}

class KorvaCfLaunchHost : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ROOT_FOR_OTHER_USERS();
    app_ = machine_.Path(u"App");
    std::filesystem::create_directories(TestMachine::Native(app_));
    platform::SetModulePathForTesting(JoinPath(app_, u"vovudidavuda.exe"));
    testing::PlaceHelperCopy(idlePath_);
  }

  // Installs the stand-in as App\korvaCF.exe with its trace.
  HelperTrace& InstallHelper() {
    testing::PlaceHelperCopy(JoinPath(app_, u"korvaCF.exe"));
    trace_ = std::make_unique<HelperTrace>(TestMachine::Native(JoinPath(app_, u"korvaCF.trace")));
    return *trace_;
  }

  TestMachine machine_;
  std::u16string app_;
  // A copy of the stand-in under another name: a user's process that is no helper.
  const std::u16string idlePath_ = machine_.Path(u"idle\\idle.exe");
  const std::string idle_ = TestMachine::Native(idlePath_);
  std::unique_ptr<HelperTrace> trace_;
};

TEST_F(KorvaCfLaunchHost, AHelperRunningInTheCallersSessionIsEnoughAndOneElsewhereIsNot) {
  // The caller's session runs a helper of its own, from another folder, named in other case.
  const std::u16string elsewhere = machine_.Path(u"elsewhere\\KORVACF.EXE");
  testing::PlaceHelperCopy(elsewhere);
  UserSession withHelper(TestMachine::Native(elsewhere));
  UserSession withoutHelper(idle_);
  ASSERT_TRUE(withHelper.ok() && withoutHelper.ok());

  // App\korvaCF.exe does not exist, so anything but "already running" fails.
  const std::vector<std::u16string> noArguments;
  EXPECT_EQ(Outcome(ExecuteWhitelistedCommand, u"start-korvacf", noArguments, withHelper.Context()),
            u"ok");
  EXPECT_EQ(Outcome(StartKorvaCfForCaller, withoutHelper.Context()),
            u"korvaCF.exe not found: " + JoinPath(app_, u"korvaCF.exe"));
}

TEST_F(KorvaCfLaunchHost, OneHelperPerSessionStartsAsTheCallerAndStopEndsThatOneOnly) {
  HelperTrace& trace = InstallHelper();
  UserSession first(idle_);
  UserSession second(idle_);
  ASSERT_TRUE(first.ok() && second.ok());
  const std::vector<std::u16string> ignored = {u"ignored"};
  ASSERT_EQ(Outcome(ExecuteWhitelistedCommand, u"start-korvacf", ignored, first.Context()), u"ok");
  const std::string firstStart = trace.Next();
  EXPECT_EQ(firstStart.substr(0, 6), "start ");
  EXPECT_EQ(HelperTrace::Field(firstStart, "uid"), std::to_string(kNobody));
  EXPECT_EQ(HelperTrace::Field(firstStart, "session"), std::to_string(first.id()));
  EXPECT_EQ(HelperTrace::Field(firstStart, "profile"), "C:\\Users\\nobody");
  EXPECT_EQ(HelperTrace::Field(firstStart, "cwd"), TestMachine::Native(app_).string());
  EXPECT_EQ(HelperTrace::Field(firstStart, "args"), "");
  ASSERT_EQ(Outcome(StartKorvaCfForCaller, second.Context()), u"ok");
  const std::string secondStart = trace.Next();
  const pid_t secondPid = std::atoi(HelperTrace::Field(secondStart, "pid").c_str());

  // With the file gone, only the running helper can make a second request succeed.
  std::filesystem::remove(TestMachine::Native(KorvaCfPath()));
  EXPECT_EQ(Outcome(StartKorvaCfForCaller, first.Context()), u"ok");
  testing::PlaceHelperCopy(KorvaCfPath());

  StopKorvaCfInSession(first.id());
  auto [ended, stop] = trace.NextTwoSorted();
  EXPECT_EQ(ended.substr(0, 5) + stop.substr(0, 5), "exit stop ");
  EXPECT_EQ(HelperTrace::Field(stop, "session"), std::to_string(first.id()));
  EXPECT_EQ(HelperTrace::Field(stop, "uid"), std::to_string(kNobody));
  EXPECT_EQ(HelperTrace::Field(stop, "args"), "/Stop stopped=1");
  EXPECT_EQ(HelperTrace::Field(ended, "pid"), HelperTrace::Field(firstStart, "pid"));
  EXPECT_TRUE(IsRunning(secondPid));

  // Nothing is asked of a session that is not known.
  StopKorvaCfInSession(platform::kNoSession);
  StopKorvaCfInSession(second.id());
  std::tie(ended, stop) = trace.NextTwoSorted();
  EXPECT_EQ(ended.substr(0, 5) + stop.substr(0, 5), "exit stop ");
  EXPECT_EQ(HelperTrace::Field(stop, "session"), std::to_string(second.id()));
  EXPECT_EQ(HelperTrace::Field(ended, "pid"), std::to_string(secondPid));
}

TEST_F(KorvaCfLaunchHost, FallbacksAfterTheCallersSessionArgumentsAndMessages) {
  HelperTrace& trace = InstallHelper();
  UserSession user(idle_);
  ASSERT_TRUE(user.ok());

  // A session without a user, but the caller's own token: started with that token.
  RequestContext lost = user.Context();
  lost.sessionId = 0x7FFFFFF0;
  ASSERT_EQ(Outcome(StartKorvaCfForCaller, lost), u"ok");
  EXPECT_EQ(HelperTrace::Field(trace.Next(), "uid"), std::to_string(kNobody));

  // Neither session nor token, and the emulated machine has no console.
  EXPECT_EQ(Outcome(StartKorvaCfForCaller, RequestContext()), u"no active console session");
  EXPECT_EQ(Outcome(StartKorvaCfInSession, 0x7FFFFFF0u),
            u"WTSQueryUserToken failed: " + FormatWin32Error(1008));

  const platform::TokenHandle token = platform::QuerySessionUserToken(user.id());
  platform::InjectFault(platform::FaultPoint::kDuplicateToken, u"", platform::kErrorAccessDenied,
                        1);
  EXPECT_EQ(Outcome(StartKorvaCfWithToken, token, platform::kNoSession),
            u"DuplicateTokenEx failed: " + FormatWin32Error(platform::kErrorAccessDenied));
  platform::InjectFault(platform::FaultPoint::kCreateProcess, u"", platform::kErrorNotEnoughMemory,
                        1);
  EXPECT_EQ(Outcome(LaunchAsUser, KorvaCfPath(), token, u"", nullptr),
            u"CreateProcessAsUser failed: " + FormatWin32Error(platform::kErrorNotEnoughMemory));

  // Without the user's environment the helper still starts, with the service's.
  platform::InjectFault(platform::FaultPoint::kCreateEnvironmentBlock, u"",
                        platform::kErrorAccessDenied, 1);
  ASSERT_EQ(Outcome(LaunchAsUser, KorvaCfPath(), token, u"", nullptr), u"ok");
  const char* own = std::getenv("USERPROFILE");
  EXPECT_EQ(HelperTrace::Field(trace.Next(), "profile"), own == nullptr ? "" : own);

  // The command line's own run starts it directly, as itself, in its own session.
  RequestContext local = BuildLocalContext();
  local.isLocal = true;
  ASSERT_EQ(Outcome(StartKorvaCfForCaller, local), u"ok");
  const std::string direct = trace.Next();
  EXPECT_EQ(HelperTrace::Field(direct, "uid"), "0");
  EXPECT_EQ(HelperTrace::Field(direct, "session"), std::to_string(getsid(0)));

  // LaunchAsUser passes the arguments and returns the process id.
  std::uint32_t pid = 0;
  ASSERT_EQ(Outcome(LaunchAsUser, KorvaCfPath(), token,
                    u"--hot-update-pending \"C:\\Users\\a b\\job.json\"", &pid),
            u"ok");
  const std::string line = trace.Next();
  EXPECT_EQ(HelperTrace::Field(line, "pid"), std::to_string(pid));
  EXPECT_EQ(HelperTrace::Field(line, "session"), std::to_string(user.id()));
  EXPECT_EQ(HelperTrace::Field(line, "args"), "--hot-update-pending C:\\Users\\a b\\job.json");

  // A program the user may not run.
  const std::u16string locked = machine_.Path(u"locked\\korvaCF.exe");
  testing::PlaceHelperCopy(locked);
  std::filesystem::permissions(TestMachine::Native(locked), std::filesystem::perms(0700));
  EXPECT_EQ(Outcome(LaunchAsUser, locked, token, u"", nullptr),
            u"CreateProcessAsUser failed: " + FormatWin32Error(platform::kErrorAccessDenied));
}

}  // namespace
}  // namespace vovu
