// Programs started and waited for, the same on both targets: the exit code and the output
// through inherited handles, a forced end with its code, and waits together with an event,
// which wins over an ended process.
#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/process.h"
#include "support/korvacf_standin.h"
#include "support/shell_command.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::TestMachine;

// Bounds a wait that should end at once, so a fault fails the test instead of hanging it.
constexpr std::uint32_t kBound = 30000;

ProcessHandle Start(const std::u16string& commandLine, const StandardHandles* handles = nullptr) {
  ProcessStart start;
  start.commandLine = commandLine;
  ProcessHandle process;
  EXPECT_TRUE(StartProgram(start, handles, &process)) << LastError();
  return process;
}

TEST(ProgramRun, ExitCodeAndOutputThroughInheritedHandles) {
  TestMachine machine;
  const std::u16string output = machine.Path(u"out.txt");
  FileHandle file = CreateInheritableOutputFile(output);
  FileHandle input = OpenInheritableNullDevice();
  ASSERT_TRUE(file.valid());
  ASSERT_TRUE(input.valid());
  const StandardHandles handles{&input, &file, &file};
  const testing::ShellCommand command = testing::ListedThenExit3();
  ProcessHandle exits = Start(command.commandLine, &handles);
  bool ended = false;
  ASSERT_EQ(WaitForProcessOrEvent(exits, nullptr, kBound, &ended), WaitResult::kSignalled);
  EXPECT_TRUE(ended);
  std::uint32_t code = 0;
  ASSERT_TRUE(GetProcessExitCode(exits, &code));
  EXPECT_EQ(code, 3u);
  file.reset();
  EXPECT_EQ(TestMachine::ReadBytes(output), command.output);
}

TEST(ProgramRun, AForcedEndGivesItsCodeAndTheEventWinsTheWait) {
  TestMachine machine;
  const std::u16string helper = machine.Path(u"korvaCF.exe");
  testing::PlaceHelperCopy(helper);
  ProcessHandle runs = Start(QuoteIfNeeded(helper));  // runs until it is ended
  std::uint32_t code = 0;
  ASSERT_TRUE(GetProcessExitCode(runs, &code));
  EXPECT_EQ(code, kStillActive);
  bool ended = true;
  EXPECT_EQ(WaitForProcessOrEvent(runs, nullptr, 10, &ended), WaitResult::kTimeout);

  Event stop;
  ASSERT_TRUE(Event::Create(true, false, &stop));
  ASSERT_TRUE(stop.Set());
  EXPECT_EQ(WaitForProcessOrEvent(runs, &stop, kBound, &ended), WaitResult::kSignalled);
  EXPECT_FALSE(ended);

  ASSERT_TRUE(TerminateProcessWithCode(runs, 1223));
  ASSERT_EQ(WaitForProcessExit(runs, kBound), WaitResult::kSignalled);
  ASSERT_TRUE(GetProcessExitCode(runs, &code));
  EXPECT_EQ(code, 1223u);
  // Both are set now: the event wins.
  EXPECT_EQ(WaitForProcessOrEvent(runs, &stop, 0, &ended), WaitResult::kSignalled);
  EXPECT_FALSE(ended);
}

}  // namespace
}  // namespace vovu::platform
