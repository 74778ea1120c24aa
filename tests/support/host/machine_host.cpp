// Host tests run in a machine root of their own, with a drive C: and a scratch folder.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/host/core/machine_root.h"
#include "support/test_machine.h"

namespace vovu::testing {

void PrepareMachine(const std::filesystem::path& top, std::u16string* scratch,
                    std::string* savedState) {
  const char* previous = std::getenv(platform::host::kMachineRootVariable);
  *savedState = previous == nullptr ? "" : previous;
  const std::filesystem::path root = top / "machine";
  std::filesystem::create_directories(root / "drive_c" / "scratch");
  // The pipe namespace exists on every machine, open to every user's new names.
  std::filesystem::create_directories(root / "pipes");
  chmod((root / "pipes").c_str(), geteuid() == 0 ? 01777 : 0755);
  setenv(platform::host::kMachineRootVariable, root.c_str(), 1);
  *scratch = u"C:\\scratch";
}

void OpenLikeProgramData(const std::filesystem::path& native) {
  chmod(native.c_str(), 01777);
}

void RestoreMachine(const std::string& savedState) {
  if (savedState.empty()) {
    unsetenv(platform::host::kMachineRootVariable);
  } else {
    setenv(platform::host::kMachineRootVariable, savedState.c_str(), 1);
  }
}

std::filesystem::path TestMachine::Native(const std::u16string& windowsPath) {
  std::string hostPath;
  if (!platform::host::ToHostPath(windowsPath, &hostPath))
    return {};
  return hostPath;
}

}  // namespace vovu::testing
