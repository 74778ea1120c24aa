#include <gtest/gtest.h>

#include <algorithm>

#include "foundation/text.h"
#include "platform/process.h"
#include "support/korvacf_standin.h"

namespace vovu::testing {
namespace {

void End(std::uint32_t pid) {
  const platform::ProcessHandle process =
      platform::OpenProcessById(pid, platform::kProcessTerminate | platform::kSynchronize);
  if (!process)
    return;
  EXPECT_TRUE(platform::TerminateProcessWithCode(process, 1));
  EXPECT_EQ(platform::WaitForProcessExit(process, 10000), platform::WaitResult::kSignalled);
}

}  // namespace

RunningHelpers::~RunningHelpers() {
  for (std::uint32_t pid : running_)
    End(pid);
}

std::uint32_t RunningHelpers::Start(const std::u16string& windowsPath) {
  const std::uint32_t pid = TryStart(windowsPath);
  EXPECT_NE(pid, 0u) << platform::LastError();
  return pid;
}

std::uint32_t RunningHelpers::TryStart(const std::u16string& windowsPath) {
  PlaceHelperCopy(windowsPath);
  platform::ProcessStart start;
  start.applicationName = windowsPath;
  start.commandLine = QuoteIfNeeded(windowsPath);
  std::uint32_t pid = 0;
  if (!platform::CreateProcessDirect(start, &pid))
    return 0;
  running_.push_back(pid);
  return pid;
}

void RunningHelpers::Stop(std::uint32_t pid) {
  End(pid);
  std::erase(running_, pid);
}

}  // namespace vovu::testing
