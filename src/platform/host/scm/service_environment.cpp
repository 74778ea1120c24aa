#include "platform/host/scm/service_environment.h"

#include <cstring>

#include "platform/host/core/machine_root.h"
#include "platform/host/scm/service_records.h"
#include "platform/process.h"

namespace vovu::platform::host {
namespace {

bool StartsWith(const char* entry, const char* prefix) {
  return std::strncmp(entry, prefix, std::strlen(prefix)) == 0;
}

// Whether the starter's `entry` ("NAME=value") is host plumbing a service keeps.
bool KeptFromStarter(const char* entry) {
  static constexpr const char* kKept[] = {"VOVU_TEST_",
                                          "ASAN_OPTIONS=", "LSAN_OPTIONS=", "UBSAN_OPTIONS="};
  for (const char* prefix : kKept) {
    if (StartsWith(entry, prefix) && std::strchr(entry, '=') != nullptr)
      return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> ServiceEnvironment(const std::string& serviceName, char* const* starter) {
  std::vector<std::string> block = {
      "ALLUSERSPROFILE=C:\\ProgramData",
      "ComSpec=C:\\Windows\\system32\\cmd.exe",
      "OS=Windows_NT",
      "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
      "ProgramData=C:\\ProgramData",
      "ProgramFiles=C:\\Program Files",
      "SystemDrive=C:",
      "SystemRoot=C:\\Windows",
      "USERNAME=SYSTEM",
      "USERPROFILE=C:\\Windows\\system32\\config\\systemprofile",
      "windir=C:\\Windows",
      std::string(kSessionMarkerVariable) + "=0",
      std::string(kMachineRootVariable) + "=" + MachineRoot(),
      std::string(kServiceMarkerVariable) + "=" + serviceName,
  };
  for (char* const* entry = starter; entry != nullptr && *entry != nullptr; ++entry) {
    if (KeptFromStarter(*entry))
      block.emplace_back(*entry);
  }
  return block;
}

}  // namespace vovu::platform::host
