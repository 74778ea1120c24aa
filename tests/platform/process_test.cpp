// The process boundary, on both targets: the list, image paths, sessions, ending a process
// and the direct start's failures.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/fault_injection.h"
#include "support/korvacf_standin.h"
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
  ASSERT_TRUE(CreateProcessDirect(start, &pid)) << LastError();
  const ProcessHandle process = OpenProcessById(pid, kProcessTerminate | kSynchronize);
  ASSERT_TRUE(process);
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

}  // namespace
}  // namespace vovu::platform
