// An ordinary local user (uid 65534, in a session of its own) against the installed, running
// service and the machine it runs on, the way such a user's own programs could: a client
// that never takes its reply, instances of the service's pipe made by someone else, a
// squatter on the pipe's name, a protected directory made before the service's, and direct
// writes to the registry's files. Each attack gets nothing accepted and writes nothing, and
// the service keeps serving.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/error.h"
#include "platform/host/core/machine_root.h"
#include "platform/pipe.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/service_control.h"
#include "service/pipe_client.h"
#include "service/pipe_server.h"
#include "service/service_names.h"
#include "state/installed_version.h"
#include "state/protected_storage.h"
#include "support/debug_capture.h"
#include "support/desktop_app.h"
#include "support/host/installed_service.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu::testing {
namespace {

namespace fs = std::filesystem;

constexpr char16_t kNobodySid[] = u"S-1-5-21-1000-1000-1000-65534";
// Longer than the bound of a stuck exchange (30 s), so that a client served after it is
// told apart from one that is never served.
constexpr std::chrono::seconds kBeyondTheBound{90};

// A one-byte signal between this test and a child, through a pipe both hold.
struct Signal {
  int fds[2] = {-1, -1};
  Signal() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
  ~Signal() {
    close(fds[0]);
    close(fds[1]);
  }
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  void Send() const {
    const char byte = 1;
    (void)!write(fds[1], &byte, 1);
  }
  void Wait() const {
    char byte;
    while (read(fds[0], &byte, 1) < 0 && errno == EINTR) {
    }
  }
  // True once sent, without waiting.
  [[nodiscard]] bool Sent() const {
    pollfd p = {fds[0], POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  }
};

// The child's exit status after waiting at most `limit`; -1 when it had not ended (it is
// killed then).
int ExitWithin(pid_t pid, std::chrono::seconds limit) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    pollfd p = {fd, POLLIN, 0};
    const bool ended = poll(&p, 1, static_cast<int>(std::chrono::milliseconds(limit).count())) == 1;
    close(fd);
    if (!ended)
      kill(pid, SIGKILL);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

// The reply to `word` sent by uid 65534: 0 for the exact reply, else the error (or 99).
int NobodyAsks(const std::u16string& word) {
  std::u16string reply;
  if (!SendPipeRequest(word, &reply))
    return static_cast<int>(platform::LastError() & 0x7F);
  return reply == u"ERROR unknown command: " + word ? 0 : 99;
}

class LocalUserAttacksHost : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ROOT_FOR_OTHER_USERS();
    (void)InstallService(/*start=*/false);
  }

  void Start() { (void)StartInstalledService(&status_); }

  // The service's line that its pipe's name is taken (access denied), waited for.
  static void ExpectServiceSaysTheNameIsTaken(DebugCapture* debug) {
    const std::string taken =
        "[VovudIdavUda] CreateNamedPipe failed (\\\\.\\pipe\\VovudIdavUda), "
        "retrying: " +
        WideToUtf8(FormatWin32Error(platform::kErrorAccessDenied)) + "\n";
    EXPECT_TRUE(WaitForChangeIn({platform::host::MachineRoot()}, [&] {
      const std::vector<std::string> now = debug->Lines();
      return std::find(now.begin(), now.end(), taken) != now.end();
    }));
  }

  // The service answers a request of `word`, ours and uid 65534's.
  void ExpectServing(const std::u16string& word) {
    std::u16string reply;
    ASSERT_TRUE(WaitForPipeAnswer(word, &reply));
    EXPECT_EQ(reply, u"ERROR unknown command: " + word);
    const pid_t nobody = ForkAsUser({}, [word] { return NobodyAsks(word + u"-nobody"); });
    EXPECT_EQ(ExitWithin(nobody, kServicePatience), 0);
  }

  // Forks a client of uid 65534 that sends `word` and then never reads its reply, holding
  // its end open until it is killed. Returns when the request has been written.
  pid_t StartStuckClient(const std::u16string& word) {
    Signal written;
    const pid_t pid = ForkAsUser({}, [&] {
      platform::PipeHandle pipe;
      for (int attempt = 0; attempt < 100 && !pipe.valid(); ++attempt) {
        if (platform::WaitForPipeInstance(kPipeName, 3000))
          pipe = platform::OpenPipe(kPipeName);
      }
      const std::string bytes(reinterpret_cast<const char*>(word.data()), word.size() * 2);
      if (!pipe.valid() ||
          !platform::WritePipeMessage(pipe, bytes.data(), static_cast<std::uint32_t>(bytes.size())))
        return 1;
      written.Send();
      for (;;)
        pause();
    });
    written.Wait();
    return pid;
  }

  TestMachine machine_;
  ServiceCleanup cleanup_;
  platform::ServiceStatus status_;
};

// A client that never takes its reply holds the pipe thread for the bound at most: the next
// client is answered after it, and a stop during such an exchange is not held up at all.
TEST_F(LocalUserAttacksHost, AClientThatNeverReadsHoldsThePipeForTheBoundAtMost) {
  Start();
  ExpectServing(u"before");

  const pid_t stuck = StartStuckClient(u"never-read");
  const pid_t next = ForkAsUser({}, [] { return NobodyAsks(u"after-the-stuck-one"); });
  EXPECT_EQ(ExitWithin(next, kBeyondTheBound), 0);
  ExpectServing(u"still");

  const pid_t stuckAgain = StartStuckClient(u"never-read-again");
  const pid_t pid = static_cast<pid_t>(status_.processId);
  ASSERT_EQ(RunServiceTool({"stop"}), 0);
  EXPECT_TRUE(WaitForServiceState(platform::kServiceStopped, &status_));
  EXPECT_TRUE(WaitForProcessExit(pid));
  for (const pid_t client : {stuck, stuckAgain}) {
    kill(client, SIGKILL);
    (void)ExitWithin(client, kServicePatience);
  }
}

// Nobody adds an instance to the service's pipe, and never finds its name free: attempts
// made all through a run of requests (each of which once left the name free for a moment)
// all fail with 5, and every instance in the name's directory stays root's.
TEST_F(LocalUserAttacksHost, NoOtherUserCreatesAnInstanceOfTheServicesPipe) {
  Start();
  ExpectServing(u"before");
  Signal stop;
  Signal trying;
  const pid_t attacker = ForkAsUser({}, [&] {
    platform::SecurityDescriptor open;
    if (!platform::ConvertSddlToSecurityDescriptor(kPipeSddl, &open))
      return 2;
    int made = 0;
    bool first = false;
    trying.Send();
    while (!stop.Sent()) {
      platform::PipeInstanceSettings settings;
      settings.firstInstance = first = !first;
      platform::PipeHandle instance = platform::CreatePipeInstance(kPipeName, settings, &open);
      if (instance.valid() || platform::LastError() != platform::kErrorAccessDenied)
        ++made;
    }
    return made == 0 ? 0 : 1;
  });
  trying.Wait();
  for (int i = 0; i < 300; ++i) {
    std::u16string reply;
    ASSERT_TRUE(SendPipeRequest(u"during-" + Utf8ToWide(std::to_string(i)), &reply))
        << platform::LastError();
  }
  stop.Send();
  EXPECT_EQ(ExitWithin(attacker, kServicePatience), 0);
  ExpectServing(u"after");
}

// Nobody holds the pipe's name before the service starts. The command line sends it
// nothing (it is not the service); the service, started meanwhile, logs the name as taken
// and takes it once the squatter lets go, never sharing it.
TEST_F(LocalUserAttacksHost, ASquatterOnThePipesNameGetsNothingAndTheServiceWaitsItOut) {
  DebugCapture debug;
  ASSERT_TRUE(debug.Available());
  Signal listening;
  Signal release;
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  const pid_t squatter = ForkAsUser({}, [&] {
    close(report[0]);
    platform::SecurityDescriptor open;
    platform::PipeInstanceSettings settings;
    settings.firstInstance = true;
    if (!platform::ConvertSddlToSecurityDescriptor(kPipeSddl, &open))
      return 2;
    platform::PipeHandle instance = platform::CreatePipeInstance(kPipeName, settings, &open);
    platform::Event stop;
    if (!instance.valid() || !platform::Event::Create(true, false, &stop))
      return 3;
    listening.Send();
    // What the squatter learns of its one client: what it read, and whether it could act
    // as it (nothing, when the client refused it before it looked).
    std::string learned = "connected:";
    if (platform::ConnectPipeClient(instance, stop)) {
      char buffer[8192];
      std::uint32_t read = 0;
      const bool got =
          platform::ReadPipeMessageWithin(instance, buffer, sizeof buffer, &read, 30000, stop);
      learned += got ? "message" : "no message";
      learned += platform::ImpersonatePipeClient(instance) ? ",impersonated" : ",not impersonated";
      (void)platform::RevertToSelfIdentity();
    }
    (void)!write(report[1], learned.data(), learned.size());
    close(report[1]);
    release.Wait();
    return 0;
  });
  close(report[1]);
  listening.Wait();

  EXPECT_EQ(RunServiceTool({"hot-update-prepare", "C:\\Users\\nobody\\job.json"}), 1);
  std::string learned;
  char buffer[256];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;)
    learned.append(buffer, static_cast<std::size_t>(n));
  close(report[0]);
  // Either the squatter took the client while it was there and learned nothing, or the client
  // had already refused it and gone (ConnectNamedPipe then fails, as with 232 on Windows).
  EXPECT_TRUE(learned == "connected:no message,not impersonated" || learned == "connected:")
      << learned;
  const std::vector<std::string> lines = debug.Lines();
  EXPECT_NE(
      std::find(lines.begin(), lines.end(), "[VovudIdavUda] pipe server is not the service\n"),
      lines.end());

  // The service starts while the name is taken: it runs, says so, and serves once it is free.
  Start();
  ExpectServiceSaysTheNameIsTaken(&debug);
  release.Send();
  EXPECT_EQ(ExitWithin(squatter, kServicePatience), 0);
  ExpectServing(u"after-the-squatter");
}

// Nobody holds the pipe's name before the service starts, with instances of it granted to
// everybody (as any Windows process, LocalSystem too, may then add one to it). The service's
// first instance asks to be the first of its name, so it never joins the squatter's: no
// instance of root's appears in the name, the service says the name is taken, and a client
// is not answered until the squatter lets go.
TEST_F(LocalUserAttacksHost, ASquatterGrantingInstancesToAllNeverHasTheServiceJoinIt) {
  DebugCapture debug;
  ASSERT_TRUE(debug.Available());
  Signal listening;
  Signal release;
  const pid_t squatter = ForkAsUser({}, [&] {
    platform::SecurityDescriptor everybodyAdds;
    platform::PipeInstanceSettings settings;
    settings.firstInstance = true;
    if (!platform::ConvertSddlToSecurityDescriptor(u"D:(A;;GA;;;WD)", &everybodyAdds))
      return 2;
    const platform::PipeHandle instance =
        platform::CreatePipeInstance(kPipeName, settings, &everybodyAdds);
    if (!instance.valid())
      return 3;
    listening.Send();
    release.Wait();
    return 0;
  });
  listening.Wait();

  Start();
  ExpectServiceSaysTheNameIsTaken(&debug);
  // Every instance in the name is the squatter's.
  const fs::path name = fs::path(platform::host::MachineRoot()) / "pipes" / "vovudidavuda";
  int instances = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(name)) {
    struct stat st;
    if (lstat(entry.path().c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
      continue;
    ++instances;
    EXPECT_EQ(st.st_uid, kNobody) << entry.path();
  }
  EXPECT_GE(instances, 1);
  std::u16string reply;
  EXPECT_FALSE(SendPipeRequest(u"while-squatted", &reply)) << WideToUtf8(reply);

  release.Send();
  EXPECT_EQ(ExitWithin(squatter, kServicePatience), 0);
  ExpectServing(u"after-the-squatter");
}

// Nobody makes the protected directories first (ordinary users may create folders in
// ProgramData), with a forged version record, a job directory and links to root's files in
// them. Once the service's installation has ensured them, they are root's, locked, and
// hold nothing of nobody's; the links' targets are untouched.
TEST_F(LocalUserAttacksHost, AProtectedDirectoryMadeByAUserIsTakenOverAndEmptied) {
  const std::u16string hotUpdate = GetHotUpdateDir();
  const fs::path root = TestMachine::Native(GetProtectedRootDir());
  const fs::path hot = TestMachine::Native(hotUpdate);
  const fs::path precious = TestMachine::Native(machine_.Path(u"precious"));
  fs::create_directories(precious);
  std::ofstream(precious / "keep.txt") << "root's own";
  ASSERT_EQ(RunServiceTool({"uninstall"}), 0);
  fs::remove_all(root);

  const pid_t attacker = ForkAsUser({}, [&] {
    std::error_code error;
    fs::create_directories(hot / "forged-job", error);
    std::ofstream(hot / "installed-version.json") << "{\n  \"version\": \"99.0.0\"\n}\n";
    std::ofstream(hot / "forged-job" / "service-job.json") << "{}\n";
    fs::create_symlink(precious / "keep.txt", hot / "link-to-file", error);
    fs::create_directory_symlink(precious, hot / "link-to-directory", error);
    fs::create_directory_symlink(precious, root / "link-at-the-top", error);
    return error ? 1 : 0;
  });
  ASSERT_EQ(ExitWithin(attacker, kServicePatience), 0);
  ASSERT_EQ(fs::status(hot).permissions() & fs::perms::others_write, fs::perms::none);

  ASSERT_EQ(RunServiceTool({"install"}), 0);
  Start();
  // The tree is the service's now: nobody puts nothing in it.
  const pid_t writer = ForkAsUser({}, [&] {
    for (const fs::path& directory : {root, hot}) {
      if (std::ofstream(directory / "nobody.txt"))
        return 1;
    }
    return 0;
  });
  EXPECT_EQ(ExitWithin(writer, kServicePatience), 0);
  std::vector<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    left.push_back(fs::relative(entry.path(), root).string());
  EXPECT_EQ(left, std::vector<std::string>({"hotupdate", "hotupdate/installed-version.json"}));
  std::u16string baseline;
  std::u16string current;
  ASSERT_TRUE(ReadInstalledVersionState(&baseline, &current));
  EXPECT_EQ(current, kStandinAppVersion);
  std::ifstream kept(precious / "keep.txt");
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ(text, "root's own");
  ExpectServing(u"after");
}

// The registry's files keep the same rule as the registry calls: nobody cannot write the
// machine's store or put anything beside it, while its own hive stays its own to change.
TEST_F(LocalUserAttacksHost, TheRegistrysFilesRefuseAUserWhoGoesAroundTheRegistry) {
  Start();
  {
    platform::RegistryKey key;
    ASSERT_EQ(
        platform::CreateRegistryKey(platform::kRegistryLocalMachine, u"SOFTWARE\\KorvaSync\\Probe",
                                    platform::kKeyWrite, &key, nullptr),
        0u);
    const std::uint32_t seven = 7;
    ASSERT_EQ(platform::SetRegistryValue(key.get(), u"v", platform::kRegDword, &seven, 4), 0u);
  }
  const std::string store = platform::host::MachineRoot() + "/registry";
  const pid_t attacker = ForkAsUser({}, [&] {
    const std::string db = store + "/machine.db";
    int opened = 0;
    for (const auto& [path, flags] : std::vector<std::pair<std::string, int>>{
             {db, O_RDWR},
             {db, O_WRONLY | O_TRUNC},
             {db + "-journal", O_WRONLY | O_CREAT},
             {store + "/replacement.db", O_WRONLY | O_CREAT}}) {
      const int fd = open(path.c_str(), flags | O_CLOEXEC, 0666);
      if (fd >= 0 || errno != EACCES)
        ++opened;
      if (fd >= 0)
        close(fd);
    }
    const bool moved = rename(db.c_str(), (db + ".old").c_str()) == 0 || unlink(db.c_str()) == 0 ||
                       errno != EACCES;
    // Through the registry: HKLM refused, its own hive granted.
    platform::RegistryKey key;
    const std::uint32_t nine = 9;
    const bool machine =
        platform::CreateRegistryKey(platform::kRegistryLocalMachine, u"SOFTWARE\\KorvaSync\\Probe",
                                    platform::kKeyWrite, &key, nullptr) == 0;
    const bool own =
        platform::CreateRegistryKey(platform::kRegistryUsers,
                                    std::u16string(kNobodySid) + u"\\Software\\Own",
                                    platform::kKeyWrite, &key, nullptr) == 0 &&
        platform::SetRegistryValue(key.get(), u"v", platform::kRegDword, &nine, 4) == 0;
    return opened == 0 && !moved && !machine && own ? 0 : 1;
  });
  EXPECT_EQ(ExitWithin(attacker, kServicePatience), 0);
  const auto read = [](platform::NativeHandle hive, const std::u16string& path) {
    platform::RegistryKey key;
    std::uint32_t value = 0;
    std::uint32_t size = sizeof value;
    if (platform::OpenRegistryKey(hive, path, platform::kKeyRead, &key) != 0 ||
        platform::QueryRegistryValue(key.get(), u"v", nullptr, &value, &size) != 0) {
      return -1;
    }
    return static_cast<int>(value);
  };
  EXPECT_EQ(read(platform::kRegistryLocalMachine, u"SOFTWARE\\KorvaSync\\Probe"), 7);
  EXPECT_EQ(read(platform::kRegistryUsers, std::u16string(kNobodySid) + u"\\Software\\Own"), 9);
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(store))
    files.push_back(entry.path().filename().string());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, std::vector<std::string>({"machine.db", "users"}));
  ExpectServing(u"after");
}

}  // namespace
}  // namespace vovu::testing
