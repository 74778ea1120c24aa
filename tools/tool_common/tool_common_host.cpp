#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/host/core/machine_root.h"
#include "tool_common.h"

namespace vovu::tools {

void NoteMachineRoot(std::string_view tool) {
  if (std::getenv(platform::host::kMachineRootVariable) != nullptr)
    return;
  const std::string root = platform::host::MachineRoot();
  std::fprintf(stderr, "%.*s: machine root %s (%s is not set)\n", static_cast<int>(tool.size()),
               tool.data(), root.c_str(), platform::host::kMachineRootVariable);
}

}  // namespace vovu::tools
