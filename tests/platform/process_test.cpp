// The process boundary, on both targets: the list, image paths, sessions, ending a process,
// the direct start's failures, and programs run with standard handles.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/fault_injection.h"
#include "support/korvacf_standin.h"
#include "support/shell_command.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::TestMachine;

constexpr std::uint32_t kNoSuchProcess = 0x7FFFFFF0;

TEST(ProcessBoundary, ThisProcessIsListedWithItsImageAndSession) {
  std::vector<ProcessEntry> processes;
  ASSERT_TRUE(SnapshotProcesses(&processes));
  const auto self = std::find_if(processes.begin(), processes.end(), [](const ProcessEntry& p) {
    return p.processId == CurrentProcessId();
  });
  ASSERT_NE(self, processes.end());
  EXPECT_EQ(self->exeName, FileNameOf(GetModulePath()));

  const ProcessHandle process =
      OpenProcessById(CurrentProcessId(), kProcessQueryLimitedInformation);
  ASSERT_TRUE(process);
  std::u16string image;
  ASSERT_TRUE(QueryProcessImagePath(process, &image, 32768));
  EXPECT_TRUE(EqualsIgnoringCase(image, GetModulePath())) << WideToUtf8(image);
  EXPECT_FALSE(QueryProcessImagePath(process, &image, static_cast<std::uint32_t>(image.size())));
  EXPECT_EQ(LastError(), kErrorInsufficientBuffer);

  std::uint32_t session = kNoSuchProcess;
  std::uint32_t tokenSession = 0;
  ASSERT_TRUE(ProcessSessionId(CurrentProcessId(), &session));
  ASSERT_TRUE(GetTokenSessionId(OpenCurrentProcessToken(), &tokenSession));
  EXPECT_EQ(session, tokenSession);

  // A process that does not exist is an invalid parameter.
  EXPECT_FALSE(OpenProcessById(kNoSuchProcess, kProcessQueryLimitedInformation));
  EXPECT_EQ(LastError(), kErrorInvalidParameter);
  EXPECT_FALSE(ProcessSessionId(kNoSuchProcess, &session));
  EXPECT_EQ(LastError(), kErrorInvalidParameter);

  InjectFault(FaultPoint::kProcessSnapshot, u"", kErrorAccessDenied, 1);
  processes.clear();
  EXPECT_FALSE(SnapshotProcesses(&processes));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_TRUE(processes.empty());
  ClearFaults();
}

TEST(ProcessBoundary, AStartedProgramRunsUntilTerminatedAndAFailedStartHasTheSystemsCode) {
  TestMachine machine;
  const std::u16string program = machine.Path(u"bin\\helper.exe");
  testing::PlaceHelperCopy(program);
  ProcessStart start;
  start.applicationName = program;
  start.commandLine = QuoteIfNeeded(program);
  start.currentDirectory = machine.Dir();
  std::uint32_t pid = 0;
  const std::int64_t before = GetSystemTimeAsFileTimeTicks();
  ASSERT_TRUE(CreateProcessDirect(start, &pid)) << LastError();
  const std::int64_t after = GetSystemTimeAsFileTimeTicks();
  const ProcessHandle process =
      OpenProcessById(pid, kProcessTerminate | kSynchronize | kProcessQueryLimitedInformation);
  ASSERT_TRUE(process);
  // Its creation time lies within the start (the host knows it to a 10 ms tick).
  std::int64_t created = 0;
  ASSERT_TRUE(QueryProcessStartTime(process, &created)) << LastError();
  EXPECT_GE(created, before);
  EXPECT_LE(created, after + 100000);
  EXPECT_EQ(WaitForProcessExit(process, 0), WaitResult::kTimeout);
  EXPECT_EQ(LastError(), kErrorWaitTimeout);
  ASSERT_TRUE(TerminateProcessWithCode(process, 3));
  EXPECT_EQ(WaitForProcessExit(process, 10000), WaitResult::kSignalled);

  start.currentDirectory = machine.Path(u"no-such-folder");
  EXPECT_FALSE(CreateProcessDirect(start, nullptr));
  EXPECT_EQ(LastError(), kErrorDirectory);
  start.currentDirectory.clear();
  InjectFault(FaultPoint::kCreateProcess, u"", kErrorNotEnoughMemory, 1);
  EXPECT_FALSE(CreateProcessDirect(start, nullptr));
  EXPECT_EQ(LastError(), kErrorNotEnoughMemory);
  start.applicationName = machine.Path(u"missing.exe");
  start.commandLine = QuoteIfNeeded(start.applicationName);
  EXPECT_FALSE(CreateProcessDirect(start, nullptr));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
}

// Programs started with standard handles (the tar runs): the exit code and the output through
// inherited handles, a forced end with its code, and waits together with an event, which wins
// over an ended process.
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

// A path of the machine among the arguments reaches the program as a path it can open, both
// output streams reach one inherited file, and a program in a folder that is not there gives
// the system's error and no process.
TEST(ProgramRun, PathArgumentsSharedOutputAndAMissingFolder) {
  TestMachine machine;
  const std::u16string output = machine.Path(u"out.txt");
  TestMachine::WriteBytes(machine.Path(u"in.txt"), "from a file\n");
  FileHandle file = CreateInheritableOutputFile(output);
  FileHandle input = OpenInheritableNullDevice();
  ASSERT_TRUE(file.valid());
  ASSERT_TRUE(input.valid());
  const StandardHandles handles{&input, &file, &file};
  const testing::ShellCommand command = testing::TypesFileThenErr(machine.Path(u"in.txt"));
  ProcessHandle process = Start(command.commandLine, &handles);
  ASSERT_EQ(WaitForProcessExit(process, kBound), WaitResult::kSignalled);
  file.reset();
  EXPECT_EQ(TestMachine::ReadBytes(output), "from a file\n" + command.output);

  ProcessStart missing;
  missing.commandLine = machine.Path(u"nowhere\\tar.exe") + u" -tf x";
  ProcessHandle none;
  EXPECT_FALSE(StartProgram(missing, nullptr, &none));
  // The host names the missing folder, wine (and so the Windows run) the missing file.
  EXPECT_TRUE(LastError() == kErrorPathNotFound || LastError() == kErrorFileNotFound)
      << LastError();
  EXPECT_FALSE(none.valid());
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
