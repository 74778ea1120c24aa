#include "state/installed_version.h"

#include <gtest/gtest.h>

#include "foundation/diagnostics.h"
#include "foundation/file_io.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/fault_injection.h"
#include "state/protected_storage.h"
#include "support/desktop_app.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::Outcome;
using testing::TestMachine;

class InstalledVersion : public ::testing::Test {
 protected:
  void SetUp() override { testing::InstallDesktopApp(machine_.Dir()); }

  // Writes a record by hand, bypassing the code under test.
  void WriteRecord(const std::u16string& baseline, const std::u16string& current) {
    ASSERT_TRUE(EnsureHotUpdateDirectories(&error_));
    TestMachine::WriteBytes(InstalledVersionStatePath(),
                            WideToUtf8(FormatInstalledVersionState(baseline, current, 1)));
  }

  std::string Record() { return TestMachine::ReadBytes(InstalledVersionStatePath()); }

  // "baseline current" as the record holds them.
  std::u16string Stored() {
    std::u16string baseline;
    std::u16string current;
    EXPECT_TRUE(ReadInstalledVersionState(&baseline, &current));
    return baseline + u" " + current;
  }

  TestMachine machine_;
  std::u16string version_;
  std::u16string error_;
};

TEST(InstalledVersionLayout, ExactBytesWithEscapedStrings) {
  EXPECT_EQ(FormatInstalledVersionState(u"2.10.0", u"2.11.0-rc.1", 13440000000123),
            u"{\n"
            u"  \"schemaVersion\": 1,\n"
            u"  \"baselineVersion\": \"2.10.0\",\n"
            u"  \"currentVersion\": \"2.11.0-rc.1\",\n"
            u"  \"updatedAt\": 13440000000123\n"
            u"}\n");
  EXPECT_NE(FormatInstalledVersionState(u"a\"b\\", u"", 0).find(u"\"a\\\"b\\\\\""),
            std::u16string::npos);
}

TEST_F(InstalledVersion, ResetWritesTheApplicationVersionAsBothWithTheCurrentTime) {
  ASSERT_EQ(Outcome(ReadDesktopAppVersion, &version_), u"ok");
  EXPECT_EQ(version_, testing::kStandinAppVersion);

  WriteRecord(u"2.10.0", u"2.12.0");
  ASSERT_TRUE(LoadInstalledVersion(&version_, &error_, /*reset=*/true)) << WideToUtf8(error_);
  EXPECT_EQ(version_, u"2.10.0");
  const std::string text = Record();
  const std::string expectedStart =
      "{\n  \"schemaVersion\": 1,\n  \"baselineVersion\": \"2.10.0\",\n"
      "  \"currentVersion\": \"2.10.0\",\n  \"updatedAt\": ";
  ASSERT_EQ(text.substr(0, expectedStart.size()), expectedStart);
  // Milliseconds since 1601: about 1.34e13 in the 2020s, thirteen or more digits.
  const std::string millis =
      text.substr(expectedStart.size(), text.size() - expectedStart.size() - 3);
  EXPECT_EQ(text.substr(text.size() - 3), "\n}\n");
  EXPECT_EQ(millis.size(), 14u);
  EXPECT_GT(std::stoll(millis), 13000000000000LL);
  EXPECT_FALSE(TestMachine::Exists(InstalledVersionStatePath() + u".tmp"));
}

TEST_F(InstalledVersion, LoadKeepsAValidRecordAndResetsEveryOther) {
  WriteRecord(u"2.10.0", u"2.12.0-beta.2");
  ASSERT_TRUE(LoadInstalledVersion(&version_, &error_, false));
  EXPECT_EQ(version_, u"2.12.0-beta.2");

  const struct {
    const char* why;
    std::string content;
  } stale[] = {
      {"baseline is not the executable's",
       "{\"baselineVersion\":\"2.9.0\",\"currentVersion\":\"2.12.0\"}"},
      {"current below baseline", "{\"baselineVersion\":\"2.10.0\",\"currentVersion\":\"2.9.9\"}"},
      {"not semantic", "{\"baselineVersion\":\"2.10.0\",\"currentVersion\":\"v2.11.0\"}"},
      {"wrong kind", "{\"baselineVersion\":\"2.10.0\",\"currentVersion\":211}"},
      {"not JSON", "{\"baselineVersion\":\"2.10.0\","},
      {"a BOM", "\xEF\xBB\xBF{\"baselineVersion\":\"2.10.0\",\"currentVersion\":\"2.11.0\"}"},
      {"an array", "[\"2.10.0\"]"},
  };
  for (const auto& c : stale) {
    SCOPED_TRACE(c.why);
    TestMachine::WriteBytes(InstalledVersionStatePath(), c.content);
    ASSERT_TRUE(LoadInstalledVersion(&version_, &error_, false));
    EXPECT_EQ(version_, u"2.10.0");
    EXPECT_EQ(Stored(), u"2.10.0 2.10.0");
  }

  // A missing record (and missing directories) is created.
  RemoveTree(GetProtectedRootDir());
  ASSERT_TRUE(LoadInstalledVersion(&version_, &error_, false));
  EXPECT_EQ(version_, u"2.10.0");
  EXPECT_EQ(Stored(), u"2.10.0 2.10.0");
}

TEST_F(InstalledVersion, RecordAcceptsOnlyVersionsNotBelowTheExecutable) {
  WriteRecord(u"2.10.0", u"2.10.0");
  ASSERT_EQ(Outcome(RecordConfirmedVersion, u"2.11.0+build.7"), u"ok");
  EXPECT_EQ(Stored(), u"2.10.0 2.11.0+build.7");

  const std::string before = Record();
  for (const char16_t* bad : {u"2.9.0", u"2.10.0-rc.1", u"2.11", u""}) {
    EXPECT_EQ(Outcome(RecordConfirmedVersion, bad),
              std::u16string(u"invalid confirmed hot-update version: ") + bad);
    EXPECT_EQ(Record(), before);
  }
  ASSERT_EQ(Outcome(RecordConfirmedVersion, u"2.10.0"), u"ok");
}

TEST_F(InstalledVersion, AFailedWriteKeepsThePreviousRecord) {
  WriteRecord(u"2.10.0", u"2.11.0");
  const std::string before = Record();
  platform::InjectFault(platform::FaultPoint::kMoveFile, InstalledVersionStatePath(), 5, 1);
  EXPECT_EQ(Outcome(RecordConfirmedVersion, u"2.12.0"),
            u"cannot persist protected installed version state: " + FormatWin32Error(5));
  EXPECT_EQ(Record(), before);

  platform::InjectFault(platform::FaultPoint::kSetFileSecurity, GetHotUpdateDir(), 5, 1);
  EXPECT_FALSE(LoadInstalledVersion(&version_, &error_, true));
  EXPECT_EQ(error_, u"SetFileSecurity failed (" + GetHotUpdateDir() + u"): " + FormatWin32Error(5));
  EXPECT_EQ(Record(), before);
}

TEST(DesktopAppVersion, MissingOrVersionlessExecutableNamesTheFailure) {
  TestMachine machine;
  std::u16string version;
  std::u16string error;
  platform::SetModulePathForTesting(machine.Path(u"vovudidavuda.exe"));
  EXPECT_EQ(Outcome(ReadDesktopAppVersion, &version),
            u"cannot read Korvadesk.exe version size: " + FormatWin32Error(2));
  EXPECT_FALSE(LoadInstalledVersion(&version, &error, true));
  EXPECT_FALSE(TestMachine::Exists(InstalledVersionStatePath()));

  testing::InstallDesktopAppWithoutVersion(machine.Dir());
  EXPECT_FALSE(ReadDesktopAppVersion(&version, &error));
  // The code itself is the system's: 1813 on Windows and the host, 1812 under wine.
  const std::u16string prefix = u"cannot read Korvadesk.exe version size: error=181";
  EXPECT_EQ(error.substr(0, prefix.size()), prefix);
}

}  // namespace
}  // namespace vovu
