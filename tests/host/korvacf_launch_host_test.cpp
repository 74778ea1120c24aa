// The helper is started as the caller, in the caller's session, at most once per session, and
// "/Stop" ends the helper of one session only. Users are uid 65534 leading sessions of their
// own; the stand-in helper reports each start and exit through a FIFO beside it.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/fault_injection.h"
#include "platform/session_user.h"
#include "service/dispatcher.h"
#include "support/korvacf_standin.h"
#include "support/test_machine.h"
#include "system/session_launch.h"

namespace vovu {
namespace {

using testing::TestMachine;

constexpr uid_t kNobody = 65534;

// A process of uid 65534 leading a new session: it runs `program` when one is given, else it
// waits until the object goes.
class SessionLeader {
 public:
  explicit SessionLeader(const std::string& program = "") : exec_(!program.empty()) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe(hold_) != 0)
      return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(hold_[1]);
      char byte = 'f';
      if (setsid() >= 0 && setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 &&
          setuid(kNobody) == 0) {
        if (exec_)
          execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        byte = exec_ ? 'f' : 'r';
      }
      if (write(ready[1], &byte, 1) != 1 || byte == 'f')
        _exit(1);
      (void)read(hold_[0], &byte, 1);  // until the parent closes its end
      _exit(0);
    }
    close(ready[1]);
    close(hold_[0]);
    char byte = 0;
    const ssize_t n = read(ready[0], &byte, 1);
    ok_ = pid_ > 0 && ((exec_ && n == 0) || (!exec_ && n == 1 && byte == 'r'));
    close(ready[0]);
  }
  ~SessionLeader() {
    close(hold_[1]);
    if (pid_ > 0) {
      if (exec_)
        kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] std::uint32_t session() const { return static_cast<std::uint32_t>(pid_); }

  // The caller context of a pipe client of this session.
  [[nodiscard]] RequestContext Context() const {
    RequestContext context;
    context.sessionId = session();
    context.token = platform::QuerySessionUserToken(session());
    context.hasToken = context.token.valid();
    (void)GetTokenUserSid(context.token, &context.userSid);
    return context;
  }

 private:
  bool exec_;
  int hold_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool ok_ = false;
};

// The helper's trace: a FIFO beside it, read line by line with a time limit for a helper
// that never writes.
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
    for (;;) {
      const std::size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        Remember(line);
        return line;
      }
      pollfd readable{fd_, POLLIN, 0};
      if (poll(&readable, 1, 10000) != 1)
        return {};
      char chunk[512];
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n > 0)
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // The next two lines, the one starting with `first` first; empty texts when the two lines
  // are not one of each.
  std::pair<std::string, std::string> NextPair(const std::string& first,
                                               const std::string& second) {
    std::string a = Next();
    std::string b = Next();
    if (b.rfind(first, 0) == 0)
      std::swap(a, b);
    if (a.rfind(first, 0) != 0 || b.rfind(second, 0) != 0)
      return {};
    return {a, b};
  }

  // The value of "name=" in a trace line (up to the next blank; the rest for "args").
  static std::string Field(const std::string& line, const std::string& name) {
    const std::size_t at = line.find(" " + name + "=");
    if (at == std::string::npos)
      return "<none>";
    const std::size_t start = at + name.size() + 2;
    if (name == "args")
      return line.substr(start);
    return line.substr(start, line.find(' ', start) - start);
  }

 private:
  void Remember(const std::string& line) {
    if (line.rfind("start ", 0) == 0)
      started_.insert(static_cast<pid_t>(std::atol(Field(line, "pid").c_str())));
  }

  int fd_ = -1;
  std::string buffer_;
  std::set<pid_t> started_;
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
    if (geteuid() != 0)
      GTEST_SKIP() << "needs root to start programs as another user";
    app_ = machine_.Path(u"App");
    std::filesystem::create_directories(TestMachine::Native(app_));
    platform::SetModulePathForTesting(JoinPath(app_, u"vovudidavuda.exe"));
  }

  // Installs the stand-in as App\korvaCF.exe with its trace.
  HelperTrace& InstallHelper() {
    testing::PlaceHelperCopy(JoinPath(app_, u"korvaCF.exe"));
    trace_ = std::make_unique<HelperTrace>(TestMachine::Native(JoinPath(app_, u"korvaCF.trace")));
    return *trace_;
  }

  TestMachine machine_;
  std::u16string app_;
  std::unique_ptr<HelperTrace> trace_;
};

TEST_F(KorvaCfLaunchHost, AHelperRunningInTheCallersSessionIsEnoughAndOneElsewhereIsNot) {
  // The caller's session runs a helper of its own, from another folder, named in other case.
  const std::u16string elsewhere = machine_.Path(u"elsewhere\\KORVACF.EXE");
  testing::PlaceHelperCopy(elsewhere);
  SessionLeader withHelper(TestMachine::Native(elsewhere).string());
  SessionLeader withoutHelper;
  ASSERT_TRUE(withHelper.ok() && withoutHelper.ok());

  // App\korvaCF.exe does not exist, so anything but "already running" fails.
  std::u16string error;
  EXPECT_TRUE(ExecuteWhitelistedCommand(u"start-korvacf", {}, withHelper.Context(), &error))
      << WideToUtf8(error);
  EXPECT_FALSE(StartKorvaCfForCaller(withoutHelper.Context(), &error));
  EXPECT_EQ(error, u"korvaCF.exe not found: " + JoinPath(app_, u"korvaCF.exe"));
}

TEST_F(KorvaCfLaunchHost, TheHelperStartsAsTheCallerInTheCallersSessionOnce) {
  HelperTrace& trace = InstallHelper();
  SessionLeader caller;
  ASSERT_TRUE(caller.ok());
  std::u16string error;
  ASSERT_TRUE(ExecuteWhitelistedCommand(u"start-korvacf", {u"ignored"}, caller.Context(), &error))
      << WideToUtf8(error);
  const std::string line = trace.Next();
  EXPECT_EQ(line.substr(0, 6), "start ");
  EXPECT_EQ(HelperTrace::Field(line, "uid"), std::to_string(kNobody));
  EXPECT_EQ(HelperTrace::Field(line, "session"), std::to_string(caller.session()));
  EXPECT_EQ(HelperTrace::Field(line, "profile"), "C:\\Users\\nobody");
  EXPECT_EQ(HelperTrace::Field(line, "cwd"), TestMachine::Native(app_).string());
  EXPECT_EQ(HelperTrace::Field(line, "args"), "");

  // With the file gone, only the running helper can make a second request succeed.
  std::filesystem::remove(TestMachine::Native(JoinPath(app_, u"korvaCF.exe")));
  EXPECT_TRUE(StartKorvaCfForCaller(caller.Context(), &error)) << WideToUtf8(error);
}

TEST_F(KorvaCfLaunchHost, StopEndsTheHelperOfThatSessionOnly) {
  HelperTrace& trace = InstallHelper();
  SessionLeader first;
  SessionLeader second;
  ASSERT_TRUE(first.ok() && second.ok());
  std::u16string error;
  ASSERT_TRUE(StartKorvaCfForCaller(first.Context(), &error)) << WideToUtf8(error);
  const std::string firstStart = trace.Next();
  ASSERT_TRUE(StartKorvaCfForCaller(second.Context(), &error)) << WideToUtf8(error);
  const std::string secondStart = trace.Next();
  const pid_t secondPid = std::atoi(HelperTrace::Field(secondStart, "pid").c_str());

  // The stop request's line and the stopped helper's line come in either order.
  StopKorvaCfInSession(first.session());
  auto [stop, ended] = trace.NextPair("stop ", "exit ");
  EXPECT_EQ(HelperTrace::Field(stop, "session"), std::to_string(first.session()));
  EXPECT_EQ(HelperTrace::Field(stop, "uid"), std::to_string(kNobody));
  EXPECT_EQ(HelperTrace::Field(stop, "args"), "/Stop stopped=1");
  EXPECT_EQ(HelperTrace::Field(ended, "pid"), HelperTrace::Field(firstStart, "pid"));
  EXPECT_TRUE(IsRunning(secondPid));

  // Nothing is asked of a session that is not known.
  StopKorvaCfInSession(kUnknownSession);
  StopKorvaCfInSession(second.session());
  std::tie(stop, ended) = trace.NextPair("stop ", "exit ");
  EXPECT_EQ(HelperTrace::Field(stop, "session"), std::to_string(second.session()));
  EXPECT_EQ(HelperTrace::Field(ended, "pid"), std::to_string(secondPid));
}

TEST_F(KorvaCfLaunchHost, FallbacksAfterTheCallersSessionAndTheirMessages) {
  HelperTrace& trace = InstallHelper();
  SessionLeader user;
  ASSERT_TRUE(user.ok());
  std::u16string error;

  // A session without a user, but the caller's own token: started with that token.
  RequestContext lost = user.Context();
  lost.sessionId = 0x7FFFFFF0;
  ASSERT_TRUE(StartKorvaCfForCaller(lost, &error)) << WideToUtf8(error);
  EXPECT_EQ(HelperTrace::Field(trace.Next(), "uid"), std::to_string(kNobody));

  // Neither session nor token, and the emulated machine has no console.
  RequestContext nobody;
  EXPECT_FALSE(StartKorvaCfForCaller(nobody, &error));
  EXPECT_EQ(error, u"no active console session");
  EXPECT_FALSE(StartKorvaCfInSession(0x7FFFFFF0, &error));
  EXPECT_EQ(error, u"WTSQueryUserToken failed: " + FormatWin32Error(1008));

  const platform::TokenHandle token = platform::QuerySessionUserToken(user.session());
  platform::InjectFault(platform::FaultPoint::kDuplicateToken, u"", platform::kErrorAccessDenied,
                        1);
  EXPECT_FALSE(StartKorvaCfWithToken(token, kUnknownSession, &error));
  EXPECT_EQ(error, u"DuplicateTokenEx failed: " + FormatWin32Error(platform::kErrorAccessDenied));
  platform::InjectFault(platform::FaultPoint::kCreateProcess, u"", platform::kErrorNotEnoughMemory,
                        1);
  EXPECT_FALSE(LaunchAsUser(KorvaCfPath(), token, u"", nullptr, &error));
  EXPECT_EQ(error,
            u"CreateProcessAsUser failed: " + FormatWin32Error(platform::kErrorNotEnoughMemory));

  // Without the user's environment the helper still starts, with the service's.
  platform::InjectFault(platform::FaultPoint::kCreateEnvironmentBlock, u"",
                        platform::kErrorAccessDenied, 1);
  ASSERT_TRUE(LaunchAsUser(KorvaCfPath(), token, u"", nullptr, &error)) << WideToUtf8(error);
  const char* own = std::getenv("USERPROFILE");
  EXPECT_EQ(HelperTrace::Field(trace.Next(), "profile"), own == nullptr ? "" : own);

  // The command line's own run starts it directly, as itself, in its own session.
  RequestContext local = BuildLocalContext();
  local.isLocal = true;
  ASSERT_TRUE(StartKorvaCfForCaller(local, &error)) << WideToUtf8(error);
  const std::string direct = trace.Next();
  EXPECT_EQ(HelperTrace::Field(direct, "uid"), "0");
  EXPECT_EQ(HelperTrace::Field(direct, "session"), std::to_string(getsid(0)));
}

TEST_F(KorvaCfLaunchHost, LaunchAsUserPassesTheArgumentsAndReturnsTheProcessId) {
  HelperTrace& trace = InstallHelper();
  SessionLeader user;
  ASSERT_TRUE(user.ok());
  const platform::TokenHandle token = platform::QuerySessionUserToken(user.session());
  std::u16string error;
  std::uint32_t pid = 0;
  ASSERT_TRUE(LaunchAsUser(KorvaCfPath(), token,
                           u"--hot-update-pending \"C:\\Users\\a b\\job.json\"", &pid, &error))
      << WideToUtf8(error);
  const std::string line = trace.Next();
  EXPECT_EQ(HelperTrace::Field(line, "pid"), std::to_string(pid));
  EXPECT_EQ(HelperTrace::Field(line, "session"), std::to_string(user.session()));
  EXPECT_EQ(HelperTrace::Field(line, "args"), "--hot-update-pending C:\\Users\\a b\\job.json");

  // A program the user may not run.
  const std::u16string locked = machine_.Path(u"locked\\korvaCF.exe");
  testing::PlaceHelperCopy(locked);
  std::filesystem::permissions(TestMachine::Native(locked), std::filesystem::perms(0700));
  EXPECT_FALSE(LaunchAsUser(locked, token, u"", nullptr, &error));
  EXPECT_EQ(error,
            u"CreateProcessAsUser failed: " + FormatWin32Error(platform::kErrorAccessDenied));
}

}  // namespace
}  // namespace vovu
