// "hot-update-prepare" end to end: the real service installed in a fresh machine root and
// started by the emulated control manager, the update host on 127.0.0.1:443 of a private
// network namespace with a certificate the machine trusts, packages made by make-package from
// signed files, and the stand-in desktop application as uid 65534 in a session of its own,
// which writes its job file, sends its requests and prints every change of its job.
//
// Where a status must be seen, the step after it waits for the test: the update host holds
// the manifest and the package until released, and the machine's tar.exe (a script before the
// host's bsdtar) waits on a FIFO before it lists. Nothing sleeps.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/entry/kill_step_host.h"
#include "service/pipe_client.h"
#include "state/hot_update_job.h"
#include "state/protected_storage.h"
#include "static_web_server.h"
#include "support/host/code_signing.h"
#include "support/host/https_world.h"
#include "support/host/installed_service.h"
#include "support/host/native_files.h"
#include "support/host/other_user.h"
#include "support/host/pe_image.h"
#include "support/test_machine.h"

namespace vovu::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kVersion[] = "2.11.0";
constexpr char kPackagePath[] = "/pkg/package.zip";
constexpr char kManifestPath[] = "/client/new/clientHotUpdateInfo.json";

// The application user's logon session: a shell as uid 65534 that leads a session of its own
// for the whole test and starts the stand-in application there on the test's word, so every
// request comes from one session that outlives it, as from a desktop that stays logged on.
class LogonSession {
 public:
  LogonSession() {
    int commands[2];
    if (pipe2(commands, O_CLOEXEC) != 0)
      return;
    pid_ = ForkAsUser({}, [&] {
      dup2(commands[0], STDIN_FILENO);
      execl("/bin/sh", "sh", static_cast<char*>(nullptr));
      return 127;
    });
    close(commands[0]);
    commands_ = commands[1];
    dir_ = fs::temp_directory_path() / ("vovu-logon-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    fs::permissions(dir_, fs::perms::all);
  }
  ~LogonSession() {
    close(commands_);
    int status = 0;
    if (pid_ > 0)
      waitpid(pid_, &status, 0);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  LogonSession(const LogonSession&) = delete;
  LogonSession& operator=(const LogonSession&) = delete;

  // Starts the stand-in with `args` in the background, its output and then a line
  // "(exit CODE)" into a new FIFO; the FIFO's path.
  // `program` is the installed Korvadesk.exe unless another is named.
  fs::path Start(const std::vector<std::string>& args, const std::u16string& program = u"") {
    const fs::path fifo = dir_ / ("app-" + std::to_string(++count_));
    if (mkfifo(fifo.c_str(), 0666) != 0 || chmod(fifo.c_str(), 0666) != 0)
      return {};
    std::string line =
        "( " + ShellQuote(TestMachine::Native(
                   program.empty() ? std::u16string(kServiceInstallDirectory) + u"\\Korvadesk.exe"
                                   : program));
    for (const std::string& arg : args)
      line += " " + ShellQuote(arg);
    line += "; echo \"(exit $?)\" ) > " + ShellQuote(fifo) + " 2>&1 &\n";
    if (write(commands_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      return {};
    return fifo;
  }

 private:
  pid_t pid_ = -1;
  int commands_ = -1;
  fs::path dir_;
  int count_ = 0;
};

// One run of the stand-in application in the logon session, its output read line by line as
// it comes.
class App {
 public:
  App(LogonSession& session, const std::vector<std::string>& args,
      const std::u16string& program = u"") {
    const fs::path fifo = session.Start(args, program);
    if (!fifo.empty())
      fd_ = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);  // until the application's side opens
  }
  ~App() { (void)Finish(); }
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // The next line of output, without its LF; "(end)" when the output ended, "(silent)" when
  // nothing came within a minute.
  std::string NextLine() {
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      pollfd p = {fd_, POLLIN, 0};
      if (fd_ < 0 || poll(&p, 1, 60000) != 1)
        return "(silent)";
      char buffer[4096];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0)
        return "(end)";
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // Every remaining line into `rest` (the exit line excluded), then the exit code (-1 when
  // none was reported).
  int Finish(std::vector<std::string>* rest = nullptr) {
    int code = -1;
    for (std::string line = NextLine(); line != "(end)" && line != "(silent)"; line = NextLine()) {
      if (line.rfind("(exit ", 0) == 0)
        code = std::atoi(line.c_str() + 6);
      else if (rest != nullptr)
        rest->push_back(line);
    }
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
    return code;
  }

 private:
  int fd_ = -1;
  std::string pending_;
};

class HotUpdateEndToEnd : public HttpsWorld {
 protected:
  void SetUp() override {
    HttpsWorld::SetUp();
    if (IsSkipped() || HasFatalFailure())
      return;
    if (!CanSignPeFiles() || std::system("command -v bsdtar >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "osslsigncode and bsdtar are needed";
    TrustSigningRoot();
    // The application's user has logged on: its profile exists.
    const fs::path profile = TestMachine::Native(u"C:\\Users\\nobody");
    fs::create_directories(profile);
    ASSERT_EQ(chown(profile.c_str(), kNobody, kNobody), 0);
    GateTar();
    MakeFiles();
    ASSERT_FALSE(HasFatalFailure());
    (void)InstallService(/*start=*/true);
    ASSERT_FALSE(HasFailure());
    fs::copy_file(files_ / "korvaCF.exe", Installed("korvaCF.exe"));
    std::u16string reply;
    ASSERT_TRUE(WaitForPipeAnswer(u"ping", &reply));
  }

  void TearDown() override { HttpsWorld::TearDown(); }

  static fs::path Installed(const std::string& name) {
    return TestMachine::Native(std::u16string(kServiceInstallDirectory) + u"\\" + Utf8ToWide(name));
  }

  // The machine's tar.exe: the host's bsdtar, which lists only after a line arrives on the
  // gate FIFO while that FIFO exists.
  void GateTar() {
    gate_ = TestMachine::Native(machine_.Path(u"tar-gate"));
    const fs::path tar = TestMachine::Native(u"C:\\Windows\\System32\\tar.exe");
    fs::create_directories(tar.parent_path());
    WriteNative(tar, "#!/bin/sh\nif [ \"$1\" = -tf ] && [ -p " + ShellQuote(gate_) +
                         " ]; then read line < " + ShellQuote(gate_) +
                         "; fi\nexec bsdtar \"$@\"\n");
    fs::permissions(tar, fs::perms::owner_all);
  }

  // The release's files, signed as the vendor signs them: korvaCF.exe (the stand-in helper,
  // signed by sign-elf) and addon.node (a PE image, osslsigncode), both by the publisher;
  // addon.node by someone else; korvaCF.exe unsigned; app.asar.
  void MakeFiles() {
    files_ = TestMachine::Native(machine_.Path(u"release-files"));
    fs::create_directories(files_);
    fs::copy_file(VOVU_KORVACF_STANDIN_PATH, files_ / "korvaCF-unsigned.exe");
    fs::copy_file(VOVU_KORVACF_STANDIN_PATH, files_ / "korvaCF.exe");
    ASSERT_TRUE(SignElfFile(files_ / "korvaCF.exe", Signer::kPublisher));
    const Bytes pe = BuildPeImage({}, false);
    WriteNative(files_ / "addon-unsigned.node", std::string(pe.begin(), pe.end()));
    ASSERT_TRUE(
        SignPeFile(files_ / "addon-unsigned.node", files_ / "addon.node", Signer::kPublisher));
    ASSERT_TRUE(
        SignPeFile(files_ / "addon-unsigned.node", files_ / "addon-other.node", Signer::kOther));
    std::string asar = "application archive ";
    while (asar.size() < 300000)
      asar += asar;
    WriteNative(files_ / "app.asar", asar);
  }

  // Makes a package with make-package from the named files of files_ and publishes it with
  // its official manifest; `officialExtra` is added to the manifest's win32 entry. The
  // package's digest and size, as the application asks for them.
  void Publish(const std::string& korvaCf = "korvaCF.exe",
               const std::string& addon = "addon.node") {
    const fs::path out = files_ / "out";
    const std::string command = ShellQuote(VOVU_MAKE_PACKAGE_PATH) + " --version " + kVersion +
                                " --url https://" + UpdateHost() + kPackagePath + " --out " +
                                ShellQuote(out) + " " + ShellQuote(files_ / korvaCf) + " " +
                                ShellQuote(files_ / addon) + " " + ShellQuote(files_ / "app.asar") +
                                " > " + ShellQuote(files_ / "official.json");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    PublishPackage(ReadNative(out / "package.zip"), ReadNative(files_ / "official.json"));
  }

  // Publishes `package` and `official` as they are.
  void PublishPackage(const std::string& package, const std::string& official) {
    Serve(kPackagePath, package);
    Serve(kManifestPath, official);
    const fs::path zip = files_ / "served.zip";
    WriteNative(zip, package);
    std::string sha = ReadCommand("sha256sum " + ShellQuote(zip) + " | cut -c1-64");
    sha_ = sha.substr(0, 64);
    size_ = std::to_string(package.size());
  }

  // The official manifest offering a package of this digest and size at the usual address.
  std::string Official(const std::string& sha, std::size_t size, const std::string& extra = "") {
    return "{\"win32\": {\"version\": \"" + std::string(kVersion) +
           "\", \"packageUrl\": \"https://" + UpdateHost() + kPackagePath +
           "\", \"packageSha256\": \"" + sha + "\", \"packageSize\": " + std::to_string(size) +
           extra + "}}";
  }

  static std::string ReadCommand(const std::string& command) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
      return text;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
      text += buffer;
    pclose(pipe);
    return text;
  }

  // The request arguments of the stand-in for the published package.
  std::vector<std::string> Request(const std::string& current = "2.10.0") const {
    return {"--hot-update-request",
            kVersion,
            "https://" + UpdateHost() + kPackagePath,
            sha_,
            size_,
            current};
  }

  // Runs a request to its end: the last line the application printed.
  std::string Outcome(const std::vector<std::string>& args) {
    App app(session_, args);
    std::vector<std::string> lines;
    (void)app.Finish(&lines);
    return lines.empty() ? "(nothing)" : lines.back();
  }

  // The protected record of the application user's job at `jobFile`, read through the
  // directory listing (the user's SID is the service's to know).
  static bool ReadProtectedJob(const std::string& jobFile, HotUpdateJob* job) {
    const fs::path dir = TestMachine::Native(GetHotUpdateDir());
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
      HotUpdateJob candidate;
      if (entry.is_directory() &&
          ReadJobFile(JoinPath(GetHotUpdateDir(), Utf8ToWide(entry.path().filename().string())) +
                          u"\\service-job.json",
                      &candidate) &&
          WideToUtf8(candidate.jobFile) == jobFile) {
        *job = candidate;
        return true;
      }
    }
    return false;
  }

  static std::string JobFileOf(const std::string& line) {
    return line.rfind("job file: ", 0) == 0 ? line.substr(10) : "";
  }

  // Prepares the published package to "staged"; the job file's path.
  std::string Stage() {
    App app(session_, Request());
    const std::string jobFile = JobFileOf(app.NextLine());
    std::vector<std::string> lines;
    EXPECT_EQ(app.Finish(&lines), 0);
    EXPECT_FALSE(lines.empty() || lines.back() != "staged");
    return jobFile;
  }

  // Lets the waiting tar list.
  void OpenGate() {
    const int fd = open(gate_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "go\n", 3), 3);
    close(fd);
  }

  ServiceCleanup cleanup_;
  LogonSession session_;
  fs::path files_;
  fs::path gate_;
  std::string sha_;
  std::string size_;
};

TEST_F(HotUpdateEndToEnd, PrepareShowsEveryStatusInOrderAndIsCancelledWhenStaged) {
  Publish();
  ASSERT_FALSE(HasFatalFailure());
  Script(std::string(kManifestPath) + " hold 0\n" + kPackagePath + " hold 4096\n");
  ASSERT_EQ(mkfifo(gate_.c_str(), 0600), 0);

  App app(session_, Request());
  const std::string jobFile = JobFileOf(app.NextLine());
  ASSERT_FALSE(jobFile.empty());
  EXPECT_EQ(app.NextLine(), "hot-update-prepare: OK");
  EXPECT_EQ(app.NextLine(), "verifying: official manifest");
  ASSERT_TRUE(Server().WaitForLine("holding 0"));
  Server().Release();
  EXPECT_EQ(app.NextLine(), "downloading");
  ASSERT_TRUE(Server().WaitForLine("holding 4096"));
  Server().Release();
  EXPECT_EQ(app.NextLine(), "verifying: package sha256");
  OpenGate();
  EXPECT_EQ(app.NextLine(), "staged");
  EXPECT_EQ(app.Finish(), 0);

  // The protected record and the payload; the user's mirror (written as the user: the
  // mirror's suite).
  HotUpdateJob job;
  ASSERT_TRUE(ReadProtectedJob(jobFile, &job));
  EXPECT_EQ(job.status, u"staged");
  for (const char16_t* name : {u"korvaCF.exe", u"addon.node", u"app.asar", u"manifest.json"})
    EXPECT_TRUE(TestMachine::Exists(JoinPath(job.dir, name))) << WideToUtf8(name);
  HotUpdateJob mirrored;
  ASSERT_TRUE(ReadJobFile(Utf8ToWide(jobFile), &mirrored));
  EXPECT_EQ(mirrored.status, u"staged");

  // Cancel of the staged job: the directory goes, the mirror says so.
  EXPECT_EQ(Outcome({"--hot-update-cancel", jobFile}), "hot-update-cancel: OK");
  EXPECT_FALSE(TestMachine::Exists(job.serviceDir));
  ASSERT_TRUE(ReadJobFile(Utf8ToWide(jobFile), &mirrored));
  EXPECT_EQ(mirrored.status, u"cancelled");
}

TEST_F(HotUpdateEndToEnd, AJobFileThatIsALinkIsNotRead) {
  Publish();
  ASSERT_FALSE(HasFatalFailure());
  const std::string jobFile = Stage();
  ASSERT_FALSE(jobFile.empty());

  // A job file that is a link (to a file the user may not write) is not read at all: its
  // job stays as it was. A second job of the user, queued behind, shows when the service has
  // dealt with it. (A link made during a run is never written through: the mirror's suite.)
  const fs::path mirror = TestMachine::Native(Utf8ToWide(jobFile));
  const fs::path victim = TestMachine::Native(machine_.Path(u"victim.json"));
  WriteNative(victim, "{\"status\": \"untouched\"}");
  HotUpdateJob job;
  ASSERT_TRUE(ReadProtectedJob(jobFile, &job));
  const std::string before = TestMachine::ReadBytes(job.serviceDir + u"\\service-job.json");
  ASSERT_EQ(UserChild({},
                      [&] {
                        fs::remove(mirror);
                        fs::create_symlink(victim, mirror);
                        std::u16string reply;
                        return SendPipeRequest(u"hot-update-prepare\n" + Utf8ToWide(jobFile),
                                               &reply)
                                   ? WideToUtf8(reply)
                                   : std::string("no exchange");
                      })
                .Finish(),
            "OK");
  std::vector<std::string> request = Request();
  request.push_back("second");
  EXPECT_EQ(Outcome(request), "staged");
  EXPECT_EQ(TestMachine::ReadBytes(job.serviceDir + u"\\service-job.json"), before);
  EXPECT_EQ(ReadNative(victim), "{\"status\": \"untouched\"}");
}

// A user who holds their own job file (a lease that is never let go) holds nothing of the
// service: cancel and prepare answer, another user's ping is answered meanwhile, and a stop
// ends the service. The times are printed as figures, not checked.
TEST_F(HotUpdateEndToEnd, AUserHoldingTheirJobFileHoldsNoReplyNoOtherUserAndNoStop) {
  Publish();
  ASSERT_FALSE(HasFatalFailure());
  const std::string jobFile = Stage();
  ASSERT_FALSE(HasFailure());
  testing::LeaseHolder lease(TestMachine::Native(Utf8ToWide(jobFile)).string());
  ASSERT_TRUE(lease.held());

  using Clock = std::chrono::steady_clock;
  auto timed = [](const std::u16string& request) {
    const Clock::time_point began = Clock::now();
    std::u16string reply;
    const std::string text = SendPipeRequest(request, &reply) ? WideToUtf8(reply) : "no exchange";
    return text + " after " +
           std::to_string(
               std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began)
                   .count()) +
           " ms";
  };
  auto reply = [](const std::string& timedText) {
    return timedText.substr(0, timedText.rfind(" after "));
  };
  const std::u16string job = Utf8ToWide(jobFile);
  testing::OtherUser another;
  another.uid = 65533;
  another.gid = 65533;
  for (const char* word : {"hot-update-cancel", "hot-update-prepare"}) {
    SCOPED_TRACE(word);
    // The other user pings over and over until the owner's exchange has ended.
    int done[2];
    ASSERT_EQ(pipe2(done, O_NONBLOCK | O_CLOEXEC), 0);
    testing::UserChild pinger(another, [&] {
      int answered = 0;
      int failed = 0;
      long longest = 0;
      char c = 0;
      do {
        const Clock::time_point began = Clock::now();
        std::u16string answer;
        const bool ok =
            SendPipeRequest(u"ping", &answer) && answer == u"ERROR unknown command: ping";
        longest = std::max<long>(
            longest,
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count());
        (ok ? answered : failed) += 1;
      } while (read(done[0], &c, 1) != 1);
      return std::to_string(answered) + " answered, " + std::to_string(failed) +
             " failed, the longest " + std::to_string(longest) + " ms";
    });
    testing::UserChild owner({}, [&] { return timed(Utf8ToWide(word) + u"\n" + job); });
    const std::string owners = owner.Finish();
    ASSERT_EQ(write(done[1], "x", 1), 1);
    const std::string pings = pinger.Finish();
    close(done[0]);
    close(done[1]);
    EXPECT_EQ(reply(owners), "OK");
    EXPECT_NE(pings.find(" answered, 0 failed"), std::string::npos) << pings;
    std::cout << "[ figure ] job file leased: " << word << ": " << owners
              << "; another user's pings meanwhile: " << pings << "\n";
  }
  // The prepare's worker is still held by the lease (up to its bound): a stop ends it.
  const Clock::time_point stopping = Clock::now();
  EXPECT_EQ(RunServiceTool({"stop"}), 0);
  platform::ServiceStatus status;
  EXPECT_TRUE(WaitForServiceState(platform::kServiceStopped, &status));
  std::cout
      << "[ figure ] job file leased: stop took "
      << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopping).count()
      << " ms\n";
}

// A server that sends the manifest's headers and then nothing holds no stop: the service ends
// the prepare ("failed", the fetch cancelled) and stops at once, where the receive time-out
// alone would hold it for 30 s. The time from the stop to the stopped service is reported.
TEST_F(HotUpdateEndToEnd, AStopWhileTheManifestStallsEndsThePrepareAtOnce) {
  Publish();
  ASSERT_FALSE(HasFatalFailure());
  Script(std::string(kManifestPath) + " hold 0\n");
  App app(session_, Request());
  const std::string jobFile = JobFileOf(app.NextLine());
  ASSERT_FALSE(jobFile.empty());
  EXPECT_EQ(app.NextLine(), "hot-update-prepare: OK");
  EXPECT_EQ(app.NextLine(), "verifying: official manifest");
  ASSERT_TRUE(Server().WaitForLine("holding 0"));
  const auto stopped = std::chrono::steady_clock::now();
  ASSERT_EQ(RunServiceTool({"stop"}), 0);
  platform::ServiceStatus status;
  ASSERT_TRUE(WaitForServiceState(platform::kServiceStopped, &status));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - stopped)
                      .count();
  std::printf("stop during the stalled manifest: service stopped after %lld ms\n",
              static_cast<long long>(ms));
  RecordProperty("stop_to_stopped_ms", std::to_string(ms));
  HotUpdateJob job;
  ASSERT_TRUE(ReadProtectedJob(jobFile, &job));
  EXPECT_EQ(job.status, u"failed");
  EXPECT_EQ(job.statusMessage, u"manifest authorization failed: manifest request cancelled");
  Server().Release();
}

// A service has the machine's environment whoever starts it: started by an operator whose
// shell names nothing but the machine (no SystemRoot, no PATH, no ProgramData), the service
// still finds the machine's tar.exe and its protected tree and prepares to the end.
TEST_F(HotUpdateEndToEnd, AServiceStartedFromAnEmptyEnvironmentPreparesToStaged) {
  Publish();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(RunServiceTool({"stop"}), 0);
  platform::ServiceStatus status;
  ASSERT_TRUE(WaitForServiceState(platform::kServiceStopped, &status));
  const std::string program = Installed("vovudidavuda.exe").string();
  const std::string root =
      std::string(platform::host::kMachineRootVariable) + "=" + platform::host::MachineRoot();
  std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>("start"), nullptr};
  std::vector<char*> envp{const_cast<char*>(root.c_str()), nullptr};
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
  int code = -1;
  ASSERT_EQ(waitpid(child, &code, 0), child);
  ASSERT_TRUE(WIFEXITED(code) && WEXITSTATUS(code) == 0) << code;
  std::u16string reply;
  ASSERT_TRUE(WaitForPipeAnswer(u"ping", &reply));
  EXPECT_EQ(Outcome(Request()), "staged");
}

// Any ordinary static HTTPS server can be the update host: the distribution's nginx serves
// the manifest and the package from a plain directory (127.0.0.1 is the suite's own server,
// so nginx listens on 127.0.0.4 and the machine's hosts file names it for the update host),
// and the prepare reaches "staged" through it alone.
TEST_F(HotUpdateEndToEnd, AStaticWebServerServingADirectoryIsTheUpdateHost) {
  if (!StaticWebServer::Installed())
    GTEST_SKIP() << "nginx is needed (scripts/setup.sh installs nginx-light)";
  Publish();
  ASSERT_FALSE(HasFatalFailure());
  const fs::path site = TestMachine::Native(machine_.Path(u"site"));
  fs::create_directories(site / "pkg");
  fs::create_directories(site / "client" / "new");
  fs::copy_file(files_ / "out" / "package.zip", site / "pkg" / "package.zip");
  fs::copy_file(files_ / "official.json", site / "client" / "new" / "clientHotUpdateInfo.json");
  // The suite's own server offers nothing now: only nginx can make this prepare succeed.
  Serve(kManifestPath, "{}");
  StaticWebServer nginx;
  std::string reason;
  ASSERT_TRUE(nginx.Start("127.0.0.4", ServerCertificate(), ServerKey(), site,
                          TestMachine::Native(machine_.Path(u"nginx")), &reason))
      << reason;
  WriteHostsFile("127.0.0.4 " + UpdateHost() + "\n");
  EXPECT_EQ(Outcome(Request()), "staged");
  // nginx logs a request once its answer is sent, long before the prepare ends.
  EXPECT_EQ(nginx.AccessLog(),
            std::string("GET ") + kManifestPath + " 200\nGET " + kPackagePath + " 200\n");
}

// A failed prepare through the real service: the job ends "failed" with its step's message
// in the user's mirror, and nothing installed changes. Which failure each step gives is the
// unit and host suites' (prepare claim, manifest rules and authorization, download, package
// archive and contents); the digest asked for is checked only here, after the download.
TEST_F(HotUpdateEndToEnd, AFailureEndsFailedWithItsMessageAndNothingInstalledChanges) {
  const std::string installedBefore = ReadNative(Installed("korvaCF.exe"));
  Publish();
  ASSERT_FALSE(HasFatalFailure());
  const std::string goodPackage = ReadNative(files_ / "out" / "package.zip");

  // A package whose digest is not the one asked for (and offered).
  const std::string tamperedSha = std::string(63, '0') + "1";
  Serve(kManifestPath, Official(tamperedSha, goodPackage.size()));
  sha_ = tamperedSha;
  EXPECT_EQ(Outcome(Request()), "failed: package sha256 mismatch");

  EXPECT_EQ(ReadNative(Installed("korvaCF.exe")), installedBefore);
  for (const auto& entry : fs::recursive_directory_iterator(Installed("")))
    EXPECT_NE(entry.path().extension(), ".bak") << entry.path();
}

// The second half of a hot update through the real service: the staged job committed by the
// application, which the service stops (its helper through "/Stop"), swaps the files under,
// relaunches as the user in the user's session and then either hears the confirmation, rolls
// back after the real 90 s, or, killed meanwhile, rolls back at its next start.
class HotUpdateCommitEndToEnd : public HotUpdateEndToEnd {
 protected:
  static constexpr char kAddon[] = "resources\\app.asar.unpacked\\Release\\addon.node";
  static constexpr char kAsar[] = "resources\\app.asar";

  void SetUp() override {
    HotUpdateEndToEnd::SetUp();
    if (IsSkipped() || HasFatalFailure())
      return;
    for (const char* name : {kAddon, kAsar}) {
      fs::create_directories(Installed(name).parent_path());
      WriteNative(Installed(name), std::string("installed ") + name);
    }
    Publish();
  }

  // The helper running in the user's session, started by the service on the user's request.
  void StartHelper() {
    App start(session_, {"start-korvacf"},
              std::u16string(kServiceInstallDirectory) + u"\\vovudidavuda.exe");
    EXPECT_EQ(start.Finish(), 0);
  }

  // What the relaunched application noted, one line per start.
  static std::string Events() { return ReadNative(EventsFile()); }
  static fs::path EventsFile() {
    return TestMachine::Native(
        u"C:\\Users\\nobody\\.zodezevadororuza\\updates\\hotupdate\\standin-events.txt");
  }

  // The user's mirror of the job, "status" or "status: message".
  static std::string Mirror(const std::string& jobFile) {
    HotUpdateJob job;
    if (!ReadJobFile(Utf8ToWide(jobFile), &job))
      return "(unreadable)";
    return WideToUtf8(job.status) + (job.statusMessage.empty() ? "" : ": ") +
           WideToUtf8(job.statusMessage);
  }

  // Waits for `done`, watching the user's hot-update folder, for at most `seconds`.
  static bool WaitFor(const std::function<bool()>& done, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      (void)WaitForChangeIn({EventsFile().parent_path().string()}, done);
    }
    return true;
  }

  // "old" or "new" for the two application files that differ between the releases.
  std::string Generation() {
    const bool oldAddon = ReadNative(Installed(kAddon)) == std::string("installed ") + kAddon;
    const bool oldAsar = ReadNative(Installed(kAsar)) == std::string("installed ") + kAsar;
    const bool newAddon = ReadNative(Installed(kAddon)) == ReadNative(files_ / "addon.node");
    const bool newAsar = ReadNative(Installed(kAsar)) == ReadNative(files_ / "app.asar");
    return oldAddon && oldAsar ? "old" : newAddon && newAsar ? "new" : "mixed";
  }

  // Whether a ".bak" (or, with `suffix`, another leftover) lies beside an installed file.
  bool AnyBackup(const char* suffix = ".bak") {
    for (const char* name : {"korvaCF.exe", kAddon, kAsar}) {
      if (fs::exists(fs::symlink_status(Installed(std::string(name) + suffix))))
        return true;
    }
    return false;
  }

  static std::string InstalledVersion() {
    return ReadNative(TestMachine::Native(JoinPath(GetHotUpdateDir(), u"installed-version.json")));
  }

  // Holds the relaunched application's confirmation back.
  static void HoldConfirmation(const std::string& jobFile) {
    WriteNative(TestMachine::Native(Utf8ToWide(jobFile)).parent_path() / "hold-confirmation", "");
  }

  // Sends the commit as the application does, and waits for the relaunched one to note its
  // start.
  void CommitAndWaitForTheRelaunch(const std::string& jobFile) {
    App commit(session_, {"--hot-update-commit", jobFile});
    std::vector<std::string> lines;
    EXPECT_EQ(commit.Finish(&lines), 0);
    EXPECT_EQ(lines, std::vector<std::string>({"hot-update-commit: OK"}));
    EXPECT_TRUE(WaitFor([] { return Events().find("confirm=") != std::string::npos; }, 60))
        << Events();
  }
};

TEST_F(HotUpdateCommitEndToEnd, CommitRelaunchesTheApplicationAndItsConfirmationInstallsForGood) {
  const std::string jobFile = Stage();
  ASSERT_FALSE(HasFailure());
  StartHelper();
  CommitAndWaitForTheRelaunch(jobFile);
  // Started as the user, in the user's session, with the job file; the confirmation answered.
  EXPECT_EQ(Events(), "pending " + jobFile + " confirm=OK\n");
  struct stat st;
  ASSERT_EQ(stat(EventsFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(Generation(), "new");
  EXPECT_FALSE(AnyBackup());
  EXPECT_NE(InstalledVersion().find("\"currentVersion\": \"2.11.0\""), std::string::npos)
      << InstalledVersion();
  EXPECT_EQ(Mirror(jobFile), "done");
  HotUpdateJob job;
  EXPECT_FALSE(ReadProtectedJob(jobFile, &job));
}

// The real confirmation window: 90 one-second waits, then the rollback. Long.
TEST_F(HotUpdateCommitEndToEnd, LongNoConfirmationRollsBackAfterTheWaitsAndRestartsTheOldVersion) {
  const std::string jobFile = Stage();
  ASSERT_FALSE(HasFailure());
  HoldConfirmation(jobFile);
  CommitAndWaitForTheRelaunch(jobFile);
  EXPECT_EQ(Events(), "pending " + jobFile + " confirm=held\n");
  EXPECT_EQ(Mirror(jobFile), "relaunching");
  EXPECT_EQ(Generation(), "new");
  ASSERT_TRUE(WaitFor([&] { return Mirror(jobFile).rfind("rolledback", 0) == 0; }, 150))
      << Mirror(jobFile);
  EXPECT_EQ(Mirror(jobFile), "rolledback: rollback timer");
  EXPECT_TRUE(WaitFor([] { return Events().find("rolledback") != std::string::npos; }, 30));
  EXPECT_EQ(Events(), "pending " + jobFile + " confirm=held\nrolledback\n");
  EXPECT_EQ(Generation(), "old");
  EXPECT_FALSE(AnyBackup());
  EXPECT_NE(InstalledVersion().find("\"currentVersion\": \"2.10.0\""), std::string::npos);
}

// The real installed service killed with SIGKILL at every step of commit, start-up recovery,
// confirm and the rollback timer (the host build's step seam, named by kKillAtStepVariable when the
// service is started), then started again. After each: the files all old or all new, the protected
// record and the user's mirror naming the same final state, the installed version agreeing,
// and a second restart changing nothing. Every job file names another user's unrelated
// process as its pidHint, which must survive every rollback.
class HotUpdateKillPoints : public HotUpdateCommitEndToEnd {
 protected:
  enum class Phase { kCommit, kRecovery, kConfirm, kTimer };

  void SetUp() override {
    HotUpdateCommitEndToEnd::SetUp();
    if (IsSkipped() || HasFatalFailure())
      return;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    victim_ = ForkAsUser({4321, 4321, {}, true}, [&] {
      close(fds[1]);
      char byte;
      return static_cast<int>(read(fds[0], &byte, 1));  // until the test ends
    });
    close(fds[0]);
    victimGate_ = fds[1];
    ASSERT_GT(victim_, 0);
  }

  void TearDown() override {
    close(victimGate_);
    int status = 0;
    if (victim_ > 0)
      (void)waitpid(victim_, &status, 0);
    HotUpdateCommitEndToEnd::TearDown();
  }

  bool VictimRuns() const {
    int status = 0;
    return waitpid(victim_, &status, WNOHANG) == 0;
  }

  // The job file as the application would write it, with the victim as its pidHint.
  void WriteRequest(const std::string& jobFile, const std::string& version) {
    WriteNative(TestMachine::Native(Utf8ToWide(jobFile)),
                "{\"version\": \"" + version + "\", \"request\": {\"packageUrl\": \"https://" +
                    UpdateHost() + kPackagePath + "\", \"packageSha256\": \"" + sha_ +
                    "\", \"packageSize\": " + size_ +
                    ", \"currentVersion\": \"2.10.0\"}, \"status\": \"relaunching\", "
                    "\"relaunch\": {\"pidHint\": " +
                    std::to_string(victim_) + ", \"startedAt\": 1}}");
  }

  // A job of its own, prepared after whatever the worker had queued before it: when it has
  // ended, the start-up recovery queued ahead of it has ended too. It is sent by a copy of
  // the application outside the installation directory, so that it is no process the
  // recovery must wait for. The probe's job is cancelled afterwards: a record of it left for
  // the next start would have that start's recovery write its "failed" into the probe's job
  // file again, and the probe would read that as its own answer while the recovery still
  // runs.
  void Probe(const std::string& jobFile) {
    std::u16string reply;
    ASSERT_TRUE(WaitForPipeAnswer(u"ping", &reply));
    const fs::path folder = TestMachine::Native(Utf8ToWide(jobFile)).parent_path() / "probe";
    const std::u16string program = u"C:\\Users\\nobody\\probe-app\\Korvadesk.exe";
    if (!fs::exists(folder)) {
      fs::create_directories(folder);
      ASSERT_EQ(chown(folder.c_str(), kNobody, kNobody), 0);
      fs::create_directories(TestMachine::Native(program).parent_path());
      fs::copy_file(Installed("Korvadesk.exe"), TestMachine::Native(program));
    }
    const std::string probe = jobFile.substr(0, jobFile.rfind('\\')) + "\\probe\\job.json";
    WriteRequest(probe, "2..11");
    App app(session_, {"--hot-update-prepare", probe}, program);
    std::vector<std::string> lines;
    (void)app.Finish(&lines);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "failed: invalid hot-update request metadata");
    App cancel(session_, {"--hot-update-cancel", probe}, program);
    lines.clear();
    (void)cancel.Finish(&lines);
    EXPECT_EQ(lines, std::vector<std::string>({"hot-update-cancel: OK"}));
  }

  static pid_t ServicePid() {
    platform::ServiceStatus status;
    std::uint32_t error = 0;
    return QueryInstalledService(&status, &error) ? static_cast<pid_t>(status.processId) : 0;
  }

  // Starts the service so that it kills itself at `step` and `index`.
  static void StartDyingAt(HotUpdateStep step, int index) {
    const std::string value = std::to_string(static_cast<int>(step)) + ":" + std::to_string(index);
    setenv(platform::host::kKillAtStepVariable, value.c_str(), 1);
    (void)RunServiceTool({"start"});  // it may die before it reports running
    unsetenv(platform::host::kKillAtStepVariable);
  }

  static std::string RecordOf(const std::string& jobFile) {
    HotUpdateJob job;
    if (!ReadProtectedJob(jobFile, &job))
      return "(none)";
    return WideToUtf8(job.status) + (job.statusMessage.empty() ? "" : ": ") +
           WideToUtf8(job.statusMessage);
  }

  struct Row {
    const char* what;
    Phase phase;
    HotUpdateStep step;
    int index;
    std::string status;  // the record and the mirror after the restart
  };

  // Runs each row on a freshly prepared job: the service killed where the row says, started
  // again, checked, started once more and checked to be unchanged; `*killed` counts the kills.
  void RunKillPoints(const Row* rows, std::size_t count, int* killed) {
    const std::string jobFile = Stage();
    ASSERT_FALSE(jobFile.empty());
    const fs::path mirror = TestMachine::Native(Utf8ToWide(jobFile));
    const fs::path hold = mirror.parent_path() / "hold-confirmation";
    for (const Row& row : std::vector<Row>(rows, rows + count)) {
      SCOPED_TRACE(row.what);
      fs::remove(EventsFile());
      WriteRequest(jobFile, kVersion);
      ASSERT_EQ(Outcome({"--hot-update-prepare", jobFile}), "staged");
      if (row.phase == Phase::kConfirm)
        fs::remove(hold);
      else
        HoldConfirmation(jobFile);

      pid_t service = 0;
      if (row.phase == Phase::kRecovery) {
        CommitAndWaitForTheRelaunch(jobFile);
        ASSERT_EQ(RecordOf(jobFile), "relaunching");
        service = ServicePid();
        ASSERT_EQ(kill(service, SIGKILL), 0);
        ASSERT_TRUE(WaitForProcessExit(service));
        StartDyingAt(row.step, row.index);
        service = ServicePid();
      } else {
        ASSERT_EQ(RunServiceTool({"stop"}), 0);
        StartDyingAt(row.step, row.index);
        std::u16string reply;
        ASSERT_TRUE(WaitForPipeAnswer(u"ping", &reply));
        service = ServicePid();
        if (row.phase == Phase::kConfirm || row.phase == Phase::kTimer) {
          CommitAndWaitForTheRelaunch(jobFile);
        } else {
          App commit(session_, {"--hot-update-commit", jobFile});
          std::vector<std::string> lines;
          (void)commit.Finish(&lines);
          EXPECT_EQ(lines, std::vector<std::string>({"hot-update-commit: OK"}));
        }
      }
      if (service > 0) {
        // The timer's steps come after its 90 one-second waits.
        bool gone = WaitForProcessExit(service);
        for (int wait = 0; !gone && row.phase == Phase::kTimer && wait < 5; ++wait)
          gone = WaitForProcessExit(service);
        ASSERT_TRUE(gone);
      }
      ++*killed;

      ASSERT_EQ(RunServiceTool({"start"}), 0);  // the next start
      Probe(jobFile);
      const bool confirmed = row.status == "done";
      EXPECT_EQ(Generation(), confirmed ? "new" : "old");
      EXPECT_EQ(RecordOf(jobFile), row.status);
      EXPECT_EQ(Mirror(jobFile), row.status);
      EXPECT_NE(InstalledVersion().find(confirmed ? "\"currentVersion\": \"2.11.0\""
                                                  : "\"currentVersion\": \"2.10.0\""),
                std::string::npos)
          << InstalledVersion();
      if (!confirmed) {
        EXPECT_FALSE(AnyBackup());
      }
      EXPECT_FALSE(AnyBackup(".new"));
      EXPECT_TRUE(VictimRuns());
      EXPECT_EQ(Events().find("rolledback"), std::string::npos);  // a restart starts nothing

      // A second start changes nothing.
      const std::string record = RecordOf(jobFile);
      const std::string mirrored = ReadNative(mirror);
      ASSERT_EQ(RunServiceTool({"stop"}), 0);
      ASSERT_EQ(RunServiceTool({"start"}), 0);
      Probe(jobFile);
      EXPECT_EQ(RecordOf(jobFile), record);
      EXPECT_EQ(ReadNative(mirror), mirrored);
      EXPECT_EQ(Generation(), confirmed ? "new" : "old");
    }
  }

  pid_t victim_ = -1;
  int victimGate_ = -1;
};

TEST_F(HotUpdateKillPoints, TheRealServiceKilledAtEveryStep) {
  using Step = HotUpdateStep;
  const std::string kRestart = "rolledback: service restart";
  const Row rows[] = {
      {"commit: authorized", Phase::kCommit, Step::kCommitAuthorized, 0, "staged"},
      {"commit: checked", Phase::kCommit, Step::kCommitChecked, 0, "staged"},
      {"commit: committing", Phase::kCommit, Step::kCommitCommitting, 0,
       "failed: service restarted mid-operation"},
      {"commit: korvaCF.exe copied beside", Phase::kCommit, Step::kNewCopyPlaced, 0,
       "failed: service restarted mid-operation"},
      {"commit: new files ready", Phase::kCommit, Step::kCommitNewFilesReady, 0,
       "failed: service restarted mid-operation"},
      {"commit: replacing", Phase::kCommit, Step::kCommitReplacing, 0, kRestart},
      {"commit: korvaCF.exe backed up", Phase::kCommit, Step::kFileBackedUp, 0, kRestart},
      {"commit: korvaCF.exe replaced", Phase::kCommit, Step::kFileReplaced, 0, kRestart},
      {"commit: addon.node backed up", Phase::kCommit, Step::kFileBackedUp, 1, kRestart},
      {"commit: addon.node replaced", Phase::kCommit, Step::kFileReplaced, 1, kRestart},
      {"commit: app.asar backed up", Phase::kCommit, Step::kFileBackedUp, 2, kRestart},
      {"commit: app.asar replaced", Phase::kCommit, Step::kFileReplaced, 2, kRestart},
      {"commit: files replaced", Phase::kCommit, Step::kCommitFilesReplaced, 0, kRestart},
      {"commit: relaunching", Phase::kCommit, Step::kCommitRelaunching, 0, kRestart},
      {"recovery: job found", Phase::kRecovery, Step::kRecoveryJobFound, 0, kRestart},
      {"recovery: switched", Phase::kRecovery, Step::kRollbackSwitched, 0, kRestart},
      {"recovery: app.asar restored", Phase::kRecovery, Step::kFileRestored, 0, kRestart},
      {"recovery: addon.node restored", Phase::kRecovery, Step::kFileRestored, 1, kRestart},
      {"recovery: korvaCF.exe restored", Phase::kRecovery, Step::kFileRestored, 2, kRestart},
      {"recovery: files restored", Phase::kRecovery, Step::kRollbackFilesRestored, 0, kRestart},
      {"confirm: checked", Phase::kConfirm, Step::kConfirmChecked, 0, kRestart},
      {"confirm: version recorded", Phase::kConfirm, Step::kConfirmVersionRecorded, 0, kRestart},
      {"confirm: done", Phase::kConfirm, Step::kConfirmDone, 0, "done"},  // last: new files
  };
  int killed = 0;
  RunKillPoints(rows, std::size(rows), &killed);
  RecordProperty("killPoints", killed);
}

// The rollback timer's own steps: each run waits the real 90 s first. Long.
TEST_F(HotUpdateKillPoints, LongTheRealServiceKilledDuringTheRollbackTimer) {
  using Step = HotUpdateStep;
  const std::string kRestart = "rolledback: service restart";
  const Row rows[] = {
      {"timer: waits over", Phase::kTimer, Step::kTimerChecksDone, 0, kRestart},
      {"timer: switched", Phase::kTimer, Step::kRollbackSwitched, 0, kRestart},
      {"timer: addon.node restored", Phase::kTimer, Step::kFileRestored, 1, kRestart},
      {"timer: files restored", Phase::kTimer, Step::kRollbackFilesRestored, 0, kRestart},
  };
  int killed = 0;
  RunKillPoints(rows, std::size(rows), &killed);
  RecordProperty("killPoints", killed);
}

}  // namespace
}  // namespace vovu::testing
