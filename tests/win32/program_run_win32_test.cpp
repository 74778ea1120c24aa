// Programs started and waited for on Windows (under wine in this build): exit codes, forced
// ends, standard handles; and the package extraction's answer on a machine without tar.exe.
#include <gtest/gtest.h>

#include "acquisition/package_archive.h"
#include "foundation/text.h"
#include "platform/process.h"
#include "support/korvacf_standin.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::TestMachine;

ProcessHandle Start(const std::u16string& commandLine, const StandardHandles* handles = nullptr) {
  ProcessStart start;
  start.commandLine = commandLine;
  ProcessHandle process;
  EXPECT_TRUE(StartProgram(start, handles, &process)) << LastError();
  return process;
}

TEST(ProgramRunWin32, ExitCodesOutputAndForcedEnds) {
  TestMachine machine;
  const std::u16string output = machine.Path(u"out.txt");
  FileHandle file = CreateInheritableOutputFile(output);
  FileHandle input = OpenInheritableNullDevice();
  ASSERT_TRUE(file.valid());
  ASSERT_TRUE(input.valid());
  const StandardHandles handles{&input, &file, &file};
  ProcessHandle exits = Start(u"cmd.exe /c \"echo listed& exit 3\"", &handles);
  bool ended = false;
  ASSERT_EQ(WaitForProcessOrEvent(exits, nullptr, 30000, &ended), WaitResult::kSignalled);
  EXPECT_TRUE(ended);
  std::uint32_t code = 0;
  ASSERT_TRUE(GetProcessExitCode(exits, &code));
  EXPECT_EQ(code, 3u);
  file.reset();
  EXPECT_EQ(TestMachine::ReadBytes(output), "listed\r\n");

  const std::u16string helper = machine.Path(u"korvaCF.exe");
  testing::PlaceHelperCopy(helper);
  ProcessHandle waits = Start(QuoteIfNeeded(helper));
  Event stop;
  ASSERT_TRUE(Event::Create(true, true, &stop));
  ended = true;
  EXPECT_EQ(WaitForProcessOrEvent(waits, &stop, 30000, &ended), WaitResult::kSignalled);
  EXPECT_FALSE(ended);
  ASSERT_TRUE(GetProcessExitCode(waits, &code));
  EXPECT_EQ(code, kStillActive);
  ASSERT_TRUE(TerminateProcessWithCode(waits, 1223));
  ASSERT_EQ(WaitForProcessExit(waits, 30000), WaitResult::kSignalled);
  ASSERT_TRUE(GetProcessExitCode(waits, &code));
  EXPECT_EQ(code, 1223u);
}

TEST(ProgramRunWin32, ExtractionWithoutTarSaysSo) {
  TestMachine machine;
  std::u16string error;
  // Wine has no tar.exe in System32; Windows 10 and later have one.
  if (TestMachine::Exists(SystemTarPath()))
    GTEST_SKIP() << "this machine has a tar.exe";
  EXPECT_FALSE(ExtractPackage(machine.Path(u"package.zip"), machine.Dir(), &error));
  EXPECT_EQ(error, u"tar.exe not found");
}

}  // namespace
}  // namespace vovu::platform
