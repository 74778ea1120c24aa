// Programs started and waited for on the host: exit codes, forced ends, waits together with an
// event, standard handles, and Windows paths among the arguments.
#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/process.h"
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

TEST(ProgramRun, ExitCodesOfEndedAndTerminatedPrograms) {
  ProcessHandle exits = Start(u"Z:\\bin\\sh -c \"exit 3\"");
  EXPECT_EQ(WaitForProcessExit(exits, kInfiniteWait), WaitResult::kSignalled);
  std::uint32_t code = 0;
  ASSERT_TRUE(GetProcessExitCode(exits, &code));
  EXPECT_EQ(code, 3u);

  ProcessHandle sleeps = Start(u"Z:\\bin\\sleep 60");
  ASSERT_TRUE(GetProcessExitCode(sleeps, &code));
  EXPECT_EQ(code, kStillActive);
  bool ended = true;
  EXPECT_EQ(WaitForProcessOrEvent(sleeps, nullptr, 10, &ended), WaitResult::kTimeout);
  ASSERT_TRUE(TerminateProcessWithCode(sleeps, 1223));
  EXPECT_EQ(WaitForProcessOrEvent(sleeps, nullptr, kInfiniteWait, &ended), WaitResult::kSignalled);
  EXPECT_TRUE(ended);
  ASSERT_TRUE(GetProcessExitCode(sleeps, &code));
  EXPECT_EQ(code, 1223u);
}

TEST(ProgramRun, TheEventEndsTheWaitAndWinsOverAnEndedProcess) {
  Event stop;
  ASSERT_TRUE(Event::Create(true, false, &stop));
  ProcessHandle sleeps = Start(u"Z:\\bin\\sleep 60");
  ASSERT_TRUE(stop.Set());
  bool ended = true;
  EXPECT_EQ(WaitForProcessOrEvent(sleeps, &stop, kInfiniteWait, &ended), WaitResult::kSignalled);
  EXPECT_FALSE(ended);
  ASSERT_TRUE(TerminateProcessWithCode(sleeps, 1));
  ASSERT_EQ(WaitForProcessExit(sleeps, kInfiniteWait), WaitResult::kSignalled);
  EXPECT_EQ(WaitForProcessOrEvent(sleeps, &stop, 0, &ended), WaitResult::kSignalled);
  EXPECT_FALSE(ended);
}

TEST(ProgramRun, StandardHandlesAndWindowsPathArguments) {
  TestMachine machine;
  const std::u16string output = machine.Path(u"out.txt");
  TestMachine::WriteBytes(machine.Path(u"in.txt"), "from a file\n");
  FileHandle file = CreateInheritableOutputFile(output);
  FileHandle input = OpenInheritableNullDevice();
  ASSERT_TRUE(file.valid());
  ASSERT_TRUE(input.valid());
  const StandardHandles handles{&input, &file, &file};
  // The path argument reaches the Linux program as its host path; input is empty.
  ProcessHandle process = Start(
      u"Z:\\bin\\sh -c \"cat \\\"$0\\\"; cat; echo err >&2\" " + machine.Path(u"in.txt"), &handles);
  ASSERT_EQ(WaitForProcessExit(process, kInfiniteWait), WaitResult::kSignalled);
  file.reset();
  EXPECT_EQ(TestMachine::ReadBytes(output), "from a file\nerr\n");
}

TEST(ProgramRun, StartFailuresGiveTheSystemError) {
  ProcessStart start;
  start.commandLine = u"C:\\nowhere\\tar.exe -tf x";
  ProcessHandle process;
  TestMachine machine;
  EXPECT_FALSE(StartProgram(start, nullptr, &process));
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  EXPECT_FALSE(process.valid());
}

}  // namespace
}  // namespace vovu::platform
