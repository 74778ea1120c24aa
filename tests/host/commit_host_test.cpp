// Commit over a real staged job: the official manifest served by the update host, a payload
// of PE files signed by the installed helper's publisher, the installed files in a test
// machine. What is checked is what a user would find afterwards: the installed files, their
// ".bak" copies, the job record, and whether the rollback timer was queued.
#include "hotupdate/commit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "foundation/diagnostics.h"
#include "foundation/service_stop.h"
#include "foundation/sha256.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/cancel.h"
#include "hotupdate/confirm.h"
#include "hotupdate/job_status.h"
#include "hotupdate/recovery.h"
#include "hotupdate/rollback.h"
#include "platform/fault_injection.h"
#include "platform/process.h"
#include "state/installed_version.h"
#include "state/protected_storage.h"
#include "support/debug_capture.h"
#include "support/desktop_app.h"
#include "support/host/code_signing.h"
#include "support/host/https_world.h"
#include "support/host/native_files.h"
#include "support/installed_update.h"
#include "support/korvacf_standin.h"
#include "system/file_replacement.h"

namespace vovu {
namespace {

namespace fs = std::filesystem;
using testing::ReadNative;
using testing::TestMachine;
using testing::WriteNative;

constexpr char kManifestPath[] = "/client/new/clientHotUpdateInfo.json";
// ERROR_NOT_READY: a volume that does not answer.
constexpr platform::Win32Error kNotReady = 21;
// A session nobody is logged on to.
constexpr std::uint32_t kEmptySession = 0x7FFFFF01;

struct Replaced {
  const char16_t* installed;
  const char16_t* staged;
};
constexpr Replaced kTable[] = {
    {u"korvaCF.exe", u"korvaCF.exe"},
    {u"resources\\app.asar.unpacked\\Release\\addon.node", u"addon.node"},
    {u"resources\\app.asar", u"app.asar"},
};

std::string FileSha(const std::u16string& path) {
  std::u16string hex;
  std::u16string error;
  EXPECT_TRUE(FileSha256Hex(path, &hex, &error)) << WideToUtf8(error);
  return WideToUtf8(hex);
}

class Commit : public testing::HttpsWorld {
 protected:
  void SetUp() override {
    HttpsWorld::SetUp();
    if (IsSkipped())
      return;
    if (!testing::CanSignPeFiles())
      GTEST_SKIP() << "osslsigncode is not installed";
    ASSERT_TRUE(testing::SignedRelease().ok);
    testing::TrustSigningRoot();
    testing::InstallDesktopApp(machine_.Dir());
    Arrange();
  }

  // The installed files old, no backups, a staged job with its payload, and the manifest
  // offering its package.
  void Arrange() {
    std::u16string version;
    std::u16string error;
    ASSERT_TRUE(LoadInstalledVersion(&version, &error, /*reset=*/true)) << WideToUtf8(error);
    if (!stored_.jobDir.empty())
      RemoveTree(stored_.jobDir);
    for (const Replaced& row : kTable)
      (void)platform::DeleteFileAt(BackupPathOf(Installed(row.installed)));
    old_[kTable[0].installed] = ReadNative(testing::SignedRelease().korvaCf);
    old_[kTable[1].installed] = "old addon";
    old_[kTable[2].installed] = "old archive";
    new_[kTable[0].installed] = ReadNative(testing::SignedRelease().addon);
    new_[kTable[1].installed] = ReadNative(testing::SignedRelease().addon);
    new_[kTable[2].installed] = "new archive, larger than the old one";
    for (const Replaced& row : kTable)
      WriteNative(TestMachine::Native(Installed(row.installed)), old_[row.installed]);

    stored_ = testing::StoreUpdateJob(kStatusStaged);
    std::string files;
    for (const Replaced& row : kTable) {
      const std::string& bytes = new_[row.installed];
      const std::u16string staged = JoinPath(stored_.job.dir, row.staged);
      WriteNative(TestMachine::Native(staged), bytes);
      files += std::string(files.empty() ? "" : ", ") + "{\"name\": \"" + WideToUtf8(row.staged) +
               "\", \"sha256\": \"" + FileSha(staged) +
               "\", \"size\": " + std::to_string(bytes.size()) + "}";
    }
    WriteNative(TestMachine::Native(JoinPath(stored_.job.dir, u"manifest.json")),
                "{\"version\": \"2.11.0\", \"files\": [" + files + "]}");
    const std::string packageSha(64, 'a');
    stored_.job.packageUrl = Url(CdnHost(), "/pkg/2.11.0.zip");
    stored_.job.packageSha256 = Utf8ToWide(packageSha);
    stored_.job.packageSize = 4096;
    stored_.job.sessionId = 7;
    ASSERT_TRUE(WriteJobFile(stored_.job, stored_.serviceJobFile));
    Serve(kManifestPath, "{\"win32\": {\"version\": \"2.11.0\", \"packageUrl\": \"https://" +
                             CdnHost() + "/pkg/2.11.0.zip\", \"packageSha256\": \"" + packageSha +
                             "\", \"packageSize\": 4096}}");
  }

  void TearDown() override {
    SetHotUpdateStepHook(nullptr);
    platform::ClearFaults();
    helpers_.reset();
    HttpsWorld::TearDown();
  }

  static std::u16string Installed(const std::u16string& relative) {
    return JoinPath(GetInstallDirectory(), relative);
  }

  // "old", "new" or "mixed", over the three installed files (or their backups).
  std::string Generation(bool backups = false) {
    std::string seen;
    for (const Replaced& row : kTable) {
      std::u16string path = Installed(row.installed);
      if (backups)
        path = BackupPathOf(path);
      std::string one = "none";
      if (TestMachine::Exists(path)) {
        const std::string bytes = TestMachine::ReadBytes(path);
        one = bytes == old_[row.installed] ? "old" : bytes == new_[row.installed] ? "new" : "?";
      }
      seen = seen.empty() || seen == one ? one : "mixed";
    }
    return seen;
  }

  // Whether a ".new" copy (a file, a folder or a link) lies beside an installed file.
  bool AnyNewCopy() {
    for (const Replaced& row : kTable) {
      if (platform::GetAttributes(NewCopyPathOf(Installed(row.installed))) !=
          platform::kInvalidFileAttributes)
        return true;
    }
    return false;
  }

  void RunCommit(std::uint32_t session = kEmptySession,
                 const std::u16string& jobFile = testing::kUpdateJobFile) {
    HotUpdateCommit(jobFile, testing::kUpdateSid, session, lock_,
                    [this](std::function<void()> job) { queued_.push_back(std::move(job)); });
  }

  // The bytes of the three new files.
  std::uint64_t NewBytes() {
    std::uint64_t total = 0;
    for (const Replaced& row : kTable)
      total += new_[row.installed].size();
    return total;
  }

  HotUpdateJob Record() {
    HotUpdateJob job;
    EXPECT_TRUE(ReadJobFile(stored_.serviceJobFile, &job));
    return job;
  }

  // A second staged job of the same caller, from another job file, with a copy of the first
  // one's payload and request.
  testing::StoredJob StageAnother(const std::u16string& jobFile) {
    testing::StoredJob other = testing::StoreUpdateJob(kStatusStaged, jobFile);
    for (const char16_t* name : {u"korvaCF.exe", u"addon.node", u"app.asar", u"manifest.json"})
      WriteNative(TestMachine::Native(JoinPath(other.job.dir, name)),
                  TestMachine::ReadBytes(JoinPath(stored_.job.dir, name)));
    HotUpdateJob job = stored_.job;
    job.jobFile = jobFile;
    job.dir = other.job.dir;
    other.job = job;
    EXPECT_TRUE(WriteJobFile(job, other.serviceJobFile));
    return other;
  }

  // Starts a copy of the stand-in helper at `path`, which keeps running until it is ended.
  std::uint32_t RunHelper(const std::u16string& path) { return helpers_->Start(path); }

  // What HotUpdateCancel answered the caller when commit reached `step` ("OK" or the refusal).
  // With `prepareAgain`, a prepare of the same job file starts right after the cancel.
  std::u16string CommitWithACancelAt(HotUpdateStep step, bool prepareAgain = false) {
    std::u16string answer;
    SetHotUpdateStepHook([&](HotUpdateStep reached, int) {
      if (reached != step)
        return;
      RequestContext caller;
      caller.userSid = testing::kUpdateSid;
      std::u16string failure;
      answer = HotUpdateCancel(testing::kUpdateJobFile, caller, lock_, &failure) ? u"OK" : failure;
      if (prepareAgain)
        (void)testing::StoreUpdateJob(kStatusVerifying);
    });
    RunCommit();
    SetHotUpdateStepHook(nullptr);
    return answer;
  }

  std::map<std::u16string, std::string> old_;
  std::map<std::u16string, std::string> new_;
  testing::StoredJob stored_;
  platform::CriticalSection lock_{1024};
  std::vector<std::function<void()>> queued_;
  std::unique_ptr<testing::RunningHelpers> helpers_ = std::make_unique<testing::RunningHelpers>();
};

TEST_F(Commit, SwapsTheFilesKeepsBackupsRecordsTheRelaunchAndArmsTheTimer) {
  testing::DebugCapture capture;
  // The payload's own rights (the protected directory's: the owner alone) stay behind.
  fs::permissions(TestMachine::Native(JoinPath(stored_.job.dir, kTable[2].staged)),
                  fs::perms::owner_read | fs::perms::owner_write);
  RunCommit();
  EXPECT_EQ(Generation(), "new");
  EXPECT_NE(fs::status(TestMachine::Native(Installed(kTable[2].installed))).permissions() &
                fs::perms::others_read,
            fs::perms::none);
  EXPECT_EQ(Generation(/*backups=*/true), "old");
  for (const Replaced& row : kTable)  // the staged copies are consumed
    EXPECT_FALSE(TestMachine::Exists(JoinPath(stored_.job.dir, row.staged)));
  EXPECT_FALSE(AnyNewCopy());
  const HotUpdateJob job = Record();
  // Nobody is logged on to the session: no relaunch, and the timer will roll back.
  EXPECT_EQ(job.status, u"relaunching");
  EXPECT_EQ(job.statusMessage, u"relaunch may have failed; rollback timer armed");
  EXPECT_EQ(job.pidHint, 0u);
  EXPECT_EQ(job.sessionId, kEmptySession);
  EXPECT_GT(job.startedAt, 0);
  EXPECT_EQ(job.deadlineAt, job.startedAt + 90000);
  EXPECT_EQ(queued_.size(), 1u);
  EXPECT_EQ(testing::RecordedInstalledVersion(), "2.10.0");  // only confirm moves it
  if (capture.Available()) {
    const std::vector<std::string> lines = capture.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "[VovudIdavUda] hot-update-commit: " + WideToUtf8(testing::kUpdateJobFile) + "\n");
    EXPECT_EQ(lines[1], "[VovudIdavUda] hot-update commit rebinding session 7 -> " +
                            std::to_string(kEmptySession) + "\n");
  }
}

TEST_F(Commit, FailedChecksChangeNoInstalledFile) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::uint32_t session;
    std::string after;
  } const cases[] = {
      // The volume cannot hold the three copies (one byte short): the job may be committed
      // again once there is room.
      {"installation volume one byte short",
       [this] { platform::InjectFreeDiskBytes(u"", NewBytes() - 1); }, kEmptySession,
       "staged: not enough disk space on the installation volume: " + std::to_string(NewBytes()) +
           " bytes needed, " + std::to_string(NewBytes() - 1) + " available"},
      {"free space unreadable",
       [] { platform::InjectFault(platform::FaultPoint::kDiskFreeSpace, u"", kNotReady); },
       kEmptySession,
       "staged: cannot read the free space of the installation volume: " +
           WideToUtf8(FormatWin32Error(kNotReady))},
      {"unknown session", [] {}, platform::kNoSession, "failed: commit caller session unavailable"},
      {"payload changed after staging",
       [this] { TestMachine::WriteBytes(JoinPath(stored_.job.dir, u"app.asar"), "tampered"); },
       kEmptySession, "failed: commit revalidation failed: file size mismatch: app.asar"},
      {"manifest offers another package",
       [this] {
         Serve(kManifestPath, "{\"win32\": {\"version\": \"2.11.0\", \"packageUrl\": \"https://" +
                                  CdnHost() + "/pkg/other.zip\", \"packageSha256\": \"" +
                                  std::string(64, 'a') + "\", \"packageSize\": 4096}}");
       },
       kEmptySession,
       "failed: commit authorization failed: request metadata does not match official "
       "hot-update manifest"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteJobFile(stored_.job, stored_.serviceJobFile));
    c.arrange();
    RunCommit(c.session);
    platform::ClearFaults();
    EXPECT_EQ(testing::RecordedStatus(stored_.serviceJobFile), c.after);
    EXPECT_EQ(Generation(), "old");
    EXPECT_EQ(Generation(true), "none");
    EXPECT_FALSE(AnyNewCopy());
    EXPECT_TRUE(queued_.empty());
  }
  // With exactly enough room the same job goes.
  Arrange();
  platform::InjectFreeDiskBytes(u"", NewBytes());
  RunCommit();
  EXPECT_EQ(Generation(), "new");
}

// Copies left beside the installed files by an earlier commit, or names planted there (a
// link to a file elsewhere, a folder), are removed as themselves before the new copies are
// written: nothing is written through a link and what it points to stays as it was.
TEST_F(Commit, EarlierNewCopiesGoAsThemselvesBeforeTheCopies) {
  const fs::path elsewhere = TestMachine::Native(Installed(u"elsewhere.dll"));
  WriteNative(elsewhere, "someone else's");
  fs::create_symlink(elsewhere, TestMachine::Native(NewCopyPathOf(Installed(kTable[0].installed))));
  fs::create_directory(TestMachine::Native(NewCopyPathOf(Installed(kTable[1].installed))));
  WriteNative(TestMachine::Native(NewCopyPathOf(Installed(kTable[2].installed))), "stale");
  RunCommit();
  EXPECT_EQ(Record().status, u"relaunching");
  EXPECT_EQ(Generation(), "new");
  EXPECT_EQ(ReadNative(elsewhere), "someone else's");
  EXPECT_FALSE(AnyNewCopy());
  EXPECT_FALSE(fs::is_symlink(TestMachine::Native(Installed(kTable[0].installed))));
}

// The copy is checked against the package after it is written: a staged file that no longer
// matches by then (here: changed as its copy is checked) fails the commit with every
// installed file as it was and no copy left.
TEST_F(Commit, ACopyThatDoesNotMatchThePackageFailsTheCommit) {
  const std::u16string addonCopy = NewCopyPathOf(Installed(kTable[1].installed));
  SetHotUpdateStepHook([&](HotUpdateStep step, int index) {
    if (step == HotUpdateStep::kNewCopyPlaced && index == 0)
      TestMachine::WriteBytes(JoinPath(stored_.job.dir, kTable[1].staged), "tampered addon");
  });
  RunCommit();
  EXPECT_EQ(testing::RecordedStatus(stored_.serviceJobFile),
            "failed: cannot copy the new files: copy does not match the package (" +
                WideToUtf8(addonCopy) + ")");
  EXPECT_EQ(Generation(), "old");
  EXPECT_EQ(Generation(true), "none");
  EXPECT_FALSE(AnyNewCopy());
  EXPECT_TRUE(queued_.empty());
}

TEST_F(Commit, ARecordNotStagedOrNotTheCallersIsLeftUntouched) {
  testing::DebugCapture capture;
  for (const char16_t* status : {kStatusRelaunching, kStatusFailed}) {
    stored_.job.status = status;
    ASSERT_TRUE(WriteJobFile(stored_.job, stored_.serviceJobFile));
    const std::string before = TestMachine::ReadBytes(stored_.serviceJobFile);
    RunCommit();
    EXPECT_EQ(TestMachine::ReadBytes(stored_.serviceJobFile), before);
  }
  EXPECT_EQ(Generation(), "old");
  if (capture.Available()) {
    const std::vector<std::string> lines = capture.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "[VovudIdavUda] hot-update-commit rejected: protected state mismatch\n"),
              2);
  }
}

TEST_F(Commit, ALockedArchivePutsTheFirstTwoBackAndEndsRolledBack) {
  platform::InjectFault(platform::FaultPoint::kMoveFile, Installed(kTable[2].installed),
                        platform::kErrorSharingViolation);
  RunCommit();
  const HotUpdateJob job = Record();
  EXPECT_EQ(job.status, u"rolledback");
  EXPECT_EQ(WideToUtf8(job.statusMessage)
                .rfind("replace failed: backup failed (" +
                           WideToUtf8(Installed(kTable[2].installed)) + "): error=32",
                       0),
            0u)
      << WideToUtf8(job.statusMessage);
  EXPECT_EQ(Generation(), "old");
  EXPECT_EQ(Generation(true), "none");
  EXPECT_TRUE(queued_.empty());
}

TEST_F(Commit, AFailedRestoreAfterAFailedReplacementSaysRollbackIncomplete) {
  const std::u16string addonBackup = BackupPathOf(Installed(kTable[1].installed));
  SetHotUpdateStepHook([&](HotUpdateStep step, int index) {
    if (step == HotUpdateStep::kFileReplaced && index == 1)
      platform::InjectFault(platform::FaultPoint::kMoveFile, addonBackup,
                            platform::kErrorSharingViolation);
  });
  platform::InjectFault(platform::FaultPoint::kMoveFile,
                        NewCopyPathOf(Installed(kTable[2].installed)), platform::kErrorDiskFull);
  RunCommit();
  const std::string message = WideToUtf8(Record().statusMessage);
  EXPECT_EQ(Record().status, u"failed");
  EXPECT_EQ(message.rfind("replace failed: replace failed (", 0), 0u) << message;
  EXPECT_EQ(message.substr(message.size() - 21), "; rollback incomplete");
  platform::ClearFaults();
  // korvaCF.exe and app.asar are old again, addon.node is new with its backup kept.
  EXPECT_EQ(TestMachine::ReadBytes(Installed(kTable[0].installed)), old_[kTable[0].installed]);
  EXPECT_EQ(TestMachine::ReadBytes(Installed(kTable[1].installed)), new_[kTable[1].installed]);
  EXPECT_EQ(TestMachine::ReadBytes(addonBackup), old_[kTable[1].installed]);
  EXPECT_EQ(TestMachine::ReadBytes(Installed(kTable[2].installed)), old_[kTable[2].installed]);
}

// Once commit has claimed the job, a cancel is refused.
TEST_F(Commit, ACancelAfterTheClaimIsRefused) {
  EXPECT_EQ(CommitWithACancelAt(HotUpdateStep::kCommitCommitting),
            u"job cannot be cancelled in status committing");
  EXPECT_EQ(Generation(), "new");
  EXPECT_EQ(Record().status, u"relaunching");
}

// The application keeps running from the installation directory: about 30.5 s of waits,
// then "failed" with every installed file as it was.
TEST_F(Commit, AnApplicationThatDoesNotExitFailsTheCommitAfterTheWaits) {
  RunHelper(Installed(u"resources\\helper.exe"));
  RunCommit();
  EXPECT_EQ(testing::RecordedStatus(stored_.serviceJobFile),
            "failed: timeout waiting for processes to exit");
  EXPECT_EQ(Generation(), "old");
  EXPECT_EQ(Generation(true), "none");
}

// A stop ends the commit where it is, with nothing installed: during the copies (the part of
// a copy written goes with the copies) and during the wait for the application.
TEST_F(Commit, AServiceStopDuringTheCopiesOrTheWaitsFailsTheCommitAtOnce) {
  const std::string addonCopy = WideToUtf8(NewCopyPathOf(Installed(kTable[1].installed)));
  const struct {
    HotUpdateStep step;
    std::string status;
  } rows[] = {
      {HotUpdateStep::kNewCopyPlaced,
       "failed: cannot copy the new files: copy failed (" + addonCopy +
           "): " + WideToUtf8(FormatWin32Error(platform::kErrorOperationAborted))},
      {HotUpdateStep::kCommitNewFilesReady, "failed: timeout waiting for processes to exit"},
  };
  RunHelper(Installed(u"resources\\helper.exe"));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.status);
    Arrange();
    SetHotUpdateStepHook([&](HotUpdateStep step, int) {
      if (step == row.step)
        SignalServiceStop();
    });
    RunCommit();
    EXPECT_EQ(testing::RecordedStatus(stored_.serviceJobFile), row.status);
    EXPECT_EQ(Generation(), "old");
    EXPECT_FALSE(AnyNewCopy());
    SetHotUpdateStepHook(nullptr);
    (void)ServiceStopEvent()->Reset();
  }
}

// A second job committed right behind the first: refused while the first one's files await
// confirmation, so the first one's rollback finds its own ".bak" copies and the files and
// the record agree; once that is settled the second one may go.
TEST_F(Commit, OneSwapOfTheInstalledFilesAtATime) {
  constexpr char16_t kSecondJobFile[] =
      u"C:\\Users\\Ann\\.zodezevadororuza\\updates\\hotupdate\\second\\job.json";
  const testing::StoredJob second = StageAnother(kSecondJobFile);
  RunCommit();
  ASSERT_EQ(Record().status, u"relaunching");
  RunCommit(kEmptySession, kSecondJobFile);
  EXPECT_EQ(testing::RecordedStatus(second.serviceJobFile),
            "staged: another hot update is in progress");
  EXPECT_EQ(queued_.size(), 1u);
  EXPECT_EQ(Generation(true), "old");

  RecoverHotUpdateJobs(GetHotUpdateDir(), lock_);  // the first one rolled back
  EXPECT_EQ(testing::RecordedStatus(stored_.serviceJobFile), "rolledback: service restart");
  EXPECT_EQ(Generation(), "old");
  EXPECT_EQ(Generation(true), "none");
  EXPECT_EQ(testing::RecordedInstalledVersion(), "2.10.0");

  RunCommit(kEmptySession, kSecondJobFile);
  EXPECT_EQ(testing::RecordedStatus(second.serviceJobFile),
            "relaunching: relaunch may have failed; rollback timer armed");
  EXPECT_EQ(Generation(), "new");
}

// A cancel between or after commit's checks answers "OK" and removes the job; commit then
// installs nothing and writes nothing: no status of its own over a job that is gone, nor
// over the new job a prepare of the same file has started meanwhile.
TEST_F(Commit, ACancelDuringTheChecksLeavesCommitNothingToInstallOrWrite) {
  const struct {
    HotUpdateStep step;
    bool preparedAgain;
  } cases[] = {{HotUpdateStep::kCommitAuthorized, false},
               {HotUpdateStep::kCommitAuthorized, true},
               {HotUpdateStep::kCommitChecked, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step) * 10 + c.preparedAgain);
    Arrange();
    EXPECT_EQ(CommitWithACancelAt(c.step, c.preparedAgain), u"OK");
    EXPECT_EQ(testing::RecordedStatus(stored_.serviceJobFile),
              c.preparedAgain ? "verifying" : "none");
    EXPECT_EQ(Generation(), "old");
    EXPECT_EQ(Generation(true), "none");
    EXPECT_TRUE(queued_.empty());
  }
}

// The rollback ends the process named by pidHint only while it is still the relaunched
// desktop application: the installed Korvadesk.exe, in the job's session, started no
// earlier than the relaunch. Anything else keeps running.
TEST_F(Commit, TheRollbackEndsOnlyTheRelaunchedApplication) {
  const std::u16string desktopApp = Installed(u"Korvadesk.exe");
  struct Case {
    const char* what;
    std::u16string image;
    std::int64_t startedLater;   // ms added to the relaunch time recorded
    std::uint32_t otherSession;  // added to the process's session
    bool ended;
  } const cases[] = {
      {"the relaunched application", desktopApp, 0, 0, true},
      {"another program", Installed(u"resources\\other.exe"), 0, 0, false},
      {"started before the relaunch", desktopApp, 60000, 0, false},
      {"in another session", desktopApp, 0, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HotUpdateJob job = Record();
    job.startedAt = NowMilliseconds() + c.startedLater;
    job.pidHint = RunHelper(c.image);
    ASSERT_NE(job.pidHint, 0u);
    ASSERT_TRUE(platform::ProcessSessionId(job.pidHint, &job.sessionId));
    job.sessionId += c.otherSession;
    EXPECT_EQ(TerminateRelaunchedApplication(job), c.ended);
    const platform::ProcessHandle process =
        platform::OpenProcessById(job.pidHint, platform::kSynchronize);
    ASSERT_TRUE(process.valid());
    EXPECT_EQ(platform::WaitForProcessExit(process, 0),
              c.ended ? platform::WaitResult::kSignalled : platform::WaitResult::kTimeout);
    helpers_->Stop(job.pidHint);
  }
}

// Each protected write of commit, confirm and recovery failing once, then the next start.
// Right after the failing work the files must already agree with the record when the work
// could not go on (a commit that cannot record "replacing" swaps nothing, one that cannot
// record "relaunching" puts the old files back); after the restart the files are all old or
// all new, the record and the installed version agree with them, and no ".bak" is left.
TEST_F(Commit, FailingWrites) {
  enum class Work { kCommit, kRecovery, kConfirm };
  using Step = HotUpdateStep;
  const std::u16string jobRecordTemp = stored_.serviceJobFile + u".tmp";
  const std::u16string versionTemp = InstalledVersionStatePath() + u".tmp";
  const std::u16string rowTemp = JoinPath(stored_.jobDir, u"swapped-2.tmp");
  const std::u16string addonCopy = NewCopyPathOf(Installed(kTable[1].installed));
  const std::string kRestart = "rolledback: service restart";
  struct Row {
    const char* what;
    Work work;
    HotUpdateStep arm;  // the write after this step fails
    std::u16string path;
    std::string generation;  // right after the work
    std::string status;      // right after the work (a prefix)
    std::string restarted;   // the record after the restart (a prefix); files old then,
                             // unless "done"
    int armIndex = 0;        // the index the step must reach with
  } const rows[] = {
      {"commit: committing", Work::kCommit, Step::kCommitChecked, jobRecordTemp, "old", "staged",
       "staged"},
      {"commit: addon.node's copy", Work::kCommit, Step::kNewCopyPlaced, addonCopy, "old",
       "failed: cannot copy the new files: copy failed (", "failed: cannot copy the new files"},
      {"commit: new files ready", Work::kCommit, Step::kNewCopyPlaced, jobRecordTemp, "old",
       "failed: cannot persist committing", "failed: cannot persist committing", 2},
      {"commit: replacing", Work::kCommit, Step::kCommitNewFilesReady, jobRecordTemp, "old",
       "failed: cannot persist replacing", "failed: cannot persist replacing"},
      {"commit: korvaCF.exe's swap", Work::kCommit, Step::kCommitReplacing, rowTemp, "old",
       "rolledback: replace failed: cannot record the swap of ",
       "rolledback: replace failed: cannot record the swap of "},
      {"commit: relaunching", Work::kCommit, Step::kCommitFilesReplaced, jobRecordTemp, "old",
       "rolledback: cannot persist relaunch", "rolledback: cannot persist relaunch"},
      {"confirm: the version", Work::kConfirm, Step::kConfirmChecked, versionTemp, "new",
       "relaunching", kRestart},
      {"confirm: done", Work::kConfirm, Step::kConfirmVersionRecorded, jobRecordTemp, "new",
       "relaunching", kRestart},
      {"recovery: rollingback", Work::kRecovery, Step::kRecoveryJobFound, jobRecordTemp, "old",
       kRestart, kRestart},
      {"recovery: rolledback", Work::kRecovery, Step::kRollbackFilesRestored, jobRecordTemp, "old",
       "rollingback: service restart", kRestart},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Arrange();
    queued_.clear();
    if (row.work != Work::kCommit) {
      RunCommit();
      ASSERT_EQ(Record().status, u"relaunching");
      queued_.clear();
    }
    SetHotUpdateStepHook([&row](HotUpdateStep step, int index) {
      if (step == row.arm && index == row.armIndex)
        platform::InjectFault(platform::FaultPoint::kCreateFileForWrite, row.path,
                              platform::kErrorDiskFull, 1);
    });
    RequestContext caller;
    caller.userSid = testing::kUpdateSid;
    std::u16string failure;
    switch (row.work) {
      case Work::kCommit:
        RunCommit();
        break;
      case Work::kRecovery:
        RecoverHotUpdateJobs(GetHotUpdateDir(), lock_);
        break;
      case Work::kConfirm:
        EXPECT_FALSE(HotUpdateConfirm(testing::kUpdateJobFile, caller, lock_, &failure));
        break;
    }
    SetHotUpdateStepHook(nullptr);
    platform::ClearFaults();
    EXPECT_EQ(Generation(), row.generation);
    const std::string status = testing::RecordedStatus(stored_.serviceJobFile);
    EXPECT_EQ(status.rfind(row.status, 0), 0u) << status;
    EXPECT_FALSE(AnyNewCopy());
    if (row.work == Work::kCommit) {
      EXPECT_TRUE(queued_.empty());  // no timer over files that are not new
    }
    EXPECT_EQ(testing::RecordedInstalledVersion(), "2.10.0");

    RecoverHotUpdatesAtStartup(lock_);  // the next start
    const std::string restarted = testing::RecordedStatus(stored_.serviceJobFile);
    EXPECT_EQ(restarted.rfind(row.restarted, 0), 0u) << restarted;
    EXPECT_EQ(Generation(), "old");
    EXPECT_EQ(Generation(/*backups=*/true), "none");
    EXPECT_FALSE(AnyNewCopy());
    EXPECT_EQ(testing::RecordedInstalledVersion(), "2.10.0");
  }
}

}  // namespace
}  // namespace vovu
