// What a service's process is given by the emulated service manager: the machine's block,
// whatever the starter's environment holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/host/core/machine_root.h"
#include "platform/host/scm/service_environment.h"
#include "support/test_machine.h"

namespace vovu::testing {
namespace {

// The value of `name` in `block`, or "(unset)"; several entries of one name are an error.
std::string ValueIn(const std::vector<std::string>& block, const std::string& name) {
  std::string found = "(unset)";
  int count = 0;
  for (const std::string& entry : block) {
    if (entry.compare(0, name.size() + 1, name + "=") == 0) {
      found = entry.substr(name.size() + 1);
      ++count;
    }
  }
  return count > 1 ? "(" + std::to_string(count) + " entries)" : found;
}

TEST(ServiceEnvironmentHost, TheStarterSteersNothingButTheHostsOwnSeams) {
  TestMachine machine;
  // A starter whose environment names another Windows folder, another ProgramData, another
  // session, another machine and another service, and carries a test seam.
  std::string entries[] = {
      "SystemRoot=C:\\Users\\mallory\\fake",
      "windir=C:\\Users\\mallory\\fake",
      "ProgramData=C:\\Users\\mallory\\pd",
      "PATH=/home/mallory/bin",
      "VOVU_SESSION=7",
      "VOVU_MACHINE_ROOT=/tmp/elsewhere",
      "VOVU_SCM_SERVICE=Other",
      "LD_PRELOAD=/home/mallory/hook.so",
      "VOVU_TEST_KILL_AT=3:0",
      "TEMP=C:\\Users\\mallory\\tmp",
  };
  std::vector<char*> starter;
  for (std::string& entry : entries)
    starter.push_back(entry.data());
  starter.push_back(nullptr);

  const std::vector<std::string> block =
      platform::host::ServiceEnvironment("VovudIdavUda", starter.data());
  const struct {
    const char* name;
    std::string expected;
  } rows[] = {
      {"SystemRoot", "C:\\Windows"},
      {"windir", "C:\\Windows"},
      {"ProgramData", "C:\\ProgramData"},
      {"PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"},
      {"VOVU_SESSION", "0"},
      {"VOVU_MACHINE_ROOT", platform::host::MachineRoot()},
      {"VOVU_SCM_SERVICE", "VovudIdavUda"},
      {"LD_PRELOAD", "(unset)"},
      {"TEMP", "(unset)"},
      {"VOVU_TEST_KILL_AT", "3:0"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(ValueIn(block, row.name), row.expected) << row.name;
  // Nothing else of the starter's came along.
  for (const std::string& entry : entries) {
    if (entry.rfind("VOVU_TEST_", 0) != 0) {
      EXPECT_EQ(std::count(block.begin(), block.end(), entry), 0) << entry;
    }
  }
}

}  // namespace
}  // namespace vovu::testing
