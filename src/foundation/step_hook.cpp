#include "foundation/step_hook.h"

#include <utility>

namespace vovu {
namespace {

HotUpdateStepHook& TheHook() {
  static HotUpdateStepHook hook;
  return hook;
}

}  // namespace

void SetHotUpdateStepHook(HotUpdateStepHook hook) {
  TheHook() = std::move(hook);
}

void ReachStep(HotUpdateStep step, int index) {
  if (TheHook())
    TheHook()(step, index);
}

}  // namespace vovu
