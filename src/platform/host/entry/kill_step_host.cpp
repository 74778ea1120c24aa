#include "platform/host/entry/kill_step_host.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "foundation/step_hook.h"

namespace vovu::platform::host {
namespace {

bool ParseNumber(const std::string& text, int* value) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = std::atoi(text.c_str());
  return true;
}

}  // namespace

void InstallKillAtStepFromEnvironment() {
  const char* value = std::getenv(kKillAtStepVariable);
  if (value == nullptr)
    return;
  const std::string text = value;
  const std::size_t colon = text.find(':');
  int step = 0;
  int index = 0;
  if (colon == std::string::npos || !ParseNumber(text.substr(0, colon), &step) ||
      !ParseNumber(text.substr(colon + 1), &index)) {
    return;
  }
  SetHotUpdateStepHook([step, index](HotUpdateStep reached, int reachedIndex) {
    if (static_cast<int>(reached) == step && reachedIndex == index)
      kill(getpid(), SIGKILL);
  });
}

}  // namespace vovu::platform::host
