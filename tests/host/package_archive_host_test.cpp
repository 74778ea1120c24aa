// Listing and extraction with the machine's tar.exe (the host's bsdtar), on zip packages made
// by bsdtar for each test: the rules, the limits, the interruptions, and what is left behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "acquisition/package_archive.h"
#include "foundation/diagnostics.h"
#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/fault_injection.h"
#include "support/stop_event.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

namespace fs = std::filesystem;
using testing::TestMachine;

const char* const kRequired[] = {"manifest.json", "app.asar", "addon.node", "korvaCF.exe"};

class PackageArchive : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v bsdtar >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "bsdtar is not installed (Debian package libarchive-tools)";
    std::u16string saved;
    if (platform::GetEnvironmentValue(u"SystemRoot", &saved, 260) > 0)
      savedSystemRoot_ = saved;
    ASSERT_TRUE(platform::SetEnvironmentValue(u"SystemRoot", u"C:\\Windows"));
    tar_ = TestMachine::Native(u"C:\\Windows\\System32\\tar.exe");
    fs::create_directories(tar_.parent_path());
    fs::create_symlink("/usr/bin/bsdtar", tar_);
    archive_ = machine_.Path(u"package.zip");
    payload_ = machine_.Path(u"payload");
    fs::create_directories(TestMachine::Native(payload_));
    testing::InstallStopEvent();
  }

  void TearDown() override {
    ReplaceServiceStopEvent(nullptr);
    (void)platform::SetEnvironmentValue(u"SystemRoot", savedSystemRoot_);
  }

  // Makes package.zip from files named `names` (each holding its own name) with bsdtar.
  void MakePackage(const std::vector<std::string>& names) {
    const fs::path source = TestMachine::Native(machine_.Path(u"source"));
    fs::remove_all(source);
    fs::create_directories(source);
    std::string list;
    for (const std::string& name : names) {
      fs::create_directories((source / name).parent_path());
      if (name.back() != '/')
        std::ofstream(source / name) << name;
      list += " '" + name + "'";
    }
    const std::string command = "cd '" + source.string() + "' && bsdtar --format zip -cf '" +
                                TestMachine::Native(archive_).string() + "' -n" + list;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  std::string Extract() {
    std::u16string error;
    return ExtractPackage(archive_, payload_, &error) ? "ok" : WideToUtf8(error);
  }

  // What tar left in the payload directory, sorted.
  std::vector<std::string> Payload() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(TestMachine::Native(payload_)))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  bool ListingRemains() { return TestMachine::Exists(archive_ + u".entries"); }

  // Replaces the machine's tar.exe with a shell script.
  void ScriptedTar(const std::string& body) {
    fs::remove(tar_);
    std::ofstream(tar_) << "#!/bin/sh\n" << body;
    fs::permissions(tar_, fs::perms::owner_all);
  }

  TestMachine machine_;
  fs::path tar_;
  std::u16string archive_;
  std::u16string payload_;
  std::u16string savedSystemRoot_;
};

TEST_F(PackageArchive, FourTopLevelFilesAreListedCheckedAndExtracted) {
  MakePackage({"manifest.json", "app.asar", "addon.node", "korvaCF.exe"});
  EXPECT_EQ(Extract(), "ok");
  EXPECT_EQ(Payload(),
            (std::vector<std::string>{"addon.node", "app.asar", "korvaCF.exe", "manifest.json"}));
  EXPECT_EQ(TestMachine::ReadBytes(JoinPath(payload_, u"app.asar")), "app.asar");
  EXPECT_FALSE(ListingRemains());
}

// The listing rules are the entry list suite's; here, that real tar's listing of a path or a
// directory meets them, and that tar then never extracts.
TEST_F(PackageArchive, BadListingsAreRefusedAndTarNeverExtracts) {
  struct {
    const char* name;
    std::vector<std::string> entries;
    const char* expected;
  } const cases[] = {
      {"a path",
       {"manifest.json", "resources/app.asar", "addon.node", "korvaCF.exe"},
       "package contains unsafe path"},
      {"a directory",
       {"sub/", "manifest.json", "app.asar", "addon.node", "korvaCF.exe"},
       "package contains unsafe path"},
  };
  for (const auto& c : cases) {
    MakePackage(c.entries);
    EXPECT_EQ(Extract(), c.expected) << c.name;
    EXPECT_TRUE(Payload().empty()) << c.name;
    EXPECT_FALSE(ListingRemains()) << c.name;
  }
}

// Unique names whose listing lines (name and LF) add up to exactly `total` bytes, no line
// longer than 256 bytes (a name of 255 characters, the most a Linux file name has).
std::vector<std::string> NamesForListing(std::size_t total) {
  std::vector<std::size_t> lines;
  while (total > 512) {
    lines.push_back(256);
    total -= 256;
  }
  lines.push_back(total / 2);
  lines.push_back(total - total / 2);
  std::vector<std::string> names;
  for (std::size_t line : lines) {
    std::string name = std::to_string(100000 + names.size());
    name.resize(line - 1, 'n');
    names.push_back(name);
  }
  return names;
}

TEST_F(PackageArchive, ListingOutputOfMoreThan64KiBIsRefused) {
  // Exactly 65536 bytes are read and checked: these names then break the rules.
  MakePackage(NamesForListing(65536));
  EXPECT_EQ(Extract(), "package contains unexpected or duplicate entry");
  EXPECT_FALSE(ListingRemains());
  MakePackage(NamesForListing(65537));
  EXPECT_EQ(Extract(), "tar entry list is too large");
  EXPECT_FALSE(ListingRemains());
  EXPECT_TRUE(Payload().empty());
}

TEST_F(PackageArchive, WhatTarWritesToItsErrorStreamIsCheckedLikeEntries) {
  // A tar that lists the four names and warns on its error stream, exiting 0.
  ScriptedTar(
      "printf 'manifest.json\\napp.asar\\naddon.node\\nkorvaCF.exe\\n'\n"
      "echo 'tar: Ignoring unknown extended header keyword' >&2\n");
  std::u16string error;
  EXPECT_FALSE(ListAndCheckPackageEntries(u"C:\\Windows\\System32\\tar.exe", archive_, &error));
  EXPECT_EQ(error, u"package contains unexpected or duplicate entry");
  EXPECT_FALSE(ListingRemains());
}

TEST_F(PackageArchive, TarFailuresGiveTheirExitCodes) {
  TestMachine::WriteBytes(archive_, "this is no archive");
  EXPECT_EQ(Extract(), "tar list failed, exit=1");
  EXPECT_FALSE(ListingRemains());
  // The listing passes, then extraction into a directory that is not there fails.
  MakePackage({"manifest.json", "app.asar", "addon.node", "korvaCF.exe"});
  std::u16string error;
  EXPECT_FALSE(ExtractPackage(archive_, machine_.Path(u"absent"), &error));
  EXPECT_EQ(error, u"tar extract failed, exit=1");
}

TEST_F(PackageArchive, TarThatCannotBeFoundOrStarted) {
  MakePackage({"manifest.json", "app.asar", "addon.node", "korvaCF.exe"});
  // The listing's tar removes itself, so the extraction's start finds nothing.
  ScriptedTar("rm -f \"$0\"\nprintf 'manifest.json\\napp.asar\\naddon.node\\nkorvaCF.exe\\n'\n");
  EXPECT_EQ(Extract(), "CreateProcess(tar) failed: " + WideToUtf8(FormatWin32Error(2)));
  EXPECT_EQ(Extract(), "tar.exe not found");
  fs::create_directory(tar_);
  EXPECT_EQ(Extract(), "tar.exe not found");
  fs::remove(tar_);
  ASSERT_TRUE(platform::SetEnvironmentValue(u"SystemRoot", u""));
  EXPECT_EQ(SystemTarPath(), u"\\System32\\tar.exe");
}

TEST_F(PackageArchive, ListingStartFailures) {
  MakePackage({"manifest.json", "app.asar", "addon.node", "korvaCF.exe"});
  platform::InjectFault(platform::FaultPoint::kCreateFileForWrite, archive_ + u".entries", 5);
  EXPECT_EQ(Extract(), "cannot create tar listing output");
  platform::ClearFaults();
  platform::InjectFault(platform::FaultPoint::kCreateProcess, u"", 8);
  EXPECT_EQ(Extract(), "CreateProcess(tar list) failed: " + WideToUtf8(FormatWin32Error(8)));
  platform::ClearFaults();
  EXPECT_FALSE(ListingRemains());
  EXPECT_TRUE(Payload().empty());
}

// The archive is a FIFO: tar blocks reading it until the test writes, so a stop can be given
// while tar certainly runs.
class StoppedArchive : public PackageArchive {
 protected:
  void SetUp() override {
    PackageArchive::SetUp();
    if (IsSkipped())
      return;
    fifo_ = TestMachine::Native(archive_);
    ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
  }

  // Blocks until a tar opens the archive for reading.
  int OpenForTar() { return open(fifo_.c_str(), O_WRONLY | O_CLOEXEC); }

  fs::path fifo_;
};

TEST_F(StoppedArchive, StopWhileListingCancelsAndLeavesNoListing) {
  std::string outcome;
  std::thread extract([&] { outcome = Extract(); });
  const int writer = OpenForTar();
  ASSERT_GE(writer, 0);
  SignalServiceStop();
  extract.join();
  close(writer);
  EXPECT_EQ(outcome, "tar list cancelled");
  EXPECT_FALSE(ListingRemains());
  EXPECT_TRUE(Payload().empty());
}

TEST_F(StoppedArchive, StopWhileExtractingCancels) {
  // The listing comes from a script that leaves the archive alone; the extraction is bsdtar,
  // which opens the archive and waits for bytes that never come.
  ScriptedTar(
      "if [ \"$1\" = -tf ]; then printf 'manifest.json\\napp.asar\\naddon.node\\nkorvaCF.exe\\n'; "
      "exit 0; fi\nexec bsdtar \"$@\"\n");
  std::string outcome;
  std::thread extract([&] { outcome = Extract(); });
  const int writer = OpenForTar();
  ASSERT_GE(writer, 0);
  SignalServiceStop();
  extract.join();
  close(writer);
  EXPECT_EQ(outcome, "tar extract cancelled");
  EXPECT_FALSE(ListingRemains());
}

// The real time limits (30 s and 120 s), against a tar that never ends: ctest entries of their
// own, labelled long (tests/CMakeLists.txt), run beside the rest.
class EndlessTar : public PackageArchive {
 protected:
  // True while the process exists and has not ended (a zombie has ended).
  static bool Running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
      return false;
    const std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
  }

  // The pid the endless tar wrote.
  pid_t EndlessPid() {
    std::ifstream in(pidFile());
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
  }

  std::string pidFile() { return TestMachine::Native(machine_.Path(u"tar.pid")).string(); }

  // A tar that answers the listing (when `listing`) and never ends the other run.
  void EndlessTarFor(const char* run, bool listing) {
    ScriptedTar(std::string(listing ? "if [ \"$1\" = -tf ]; then printf "
                                      "'manifest.json\\napp.asar\\naddon.node\\nkorvaCF.exe\\n'; "
                                      "exit 0; fi\n"
                                    : "") +
                "if [ \"$1\" = " + run + " ]; then echo $$ > '" + pidFile() +
                "'; exec sleep 100000; fi\nexit 3\n");
  }
};

TEST_F(EndlessTar, LongListingThatNeverEndsTimesOutAndTarIsEnded) {
  MakePackage({"manifest.json", "app.asar", "addon.node", "korvaCF.exe"});
  EndlessTarFor("-tf", false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Extract(), "tar list timed out");
  const auto seconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count() /
                       1000.0;
  std::printf("tar list ended after %.1f s\n", seconds);
  RecordProperty("seconds", std::to_string(seconds));
  const pid_t pid = EndlessPid();
  ASSERT_GT(pid, 0);
  EXPECT_FALSE(Running(pid));
  EXPECT_FALSE(ListingRemains());
  EXPECT_TRUE(Payload().empty());
}

TEST_F(EndlessTar, LongExtractionThatNeverEndsTimesOutAndTarIsEnded) {
  MakePackage({"manifest.json", "app.asar", "addon.node", "korvaCF.exe"});
  EndlessTarFor("-xf", true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Extract(), "tar extract timed out");
  const auto seconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count() /
                       1000.0;
  std::printf("tar extract ended after %.1f s\n", seconds);
  RecordProperty("seconds", std::to_string(seconds));
  const pid_t pid = EndlessPid();
  ASSERT_GT(pid, 0);
  EXPECT_FALSE(Running(pid));
}

}  // namespace
}  // namespace vovu
