#include "platform/common/module_path_override.h"

#include <mutex>

#include "platform/environment.h"

namespace vovu::platform {
namespace {

std::mutex& OverrideMutex() {
  static std::mutex mutex;
  return mutex;
}

std::u16string& OverridePath() {
  static std::u16string path;
  return path;
}

}  // namespace

void SetModulePathForTesting(const std::u16string& path) {
  std::lock_guard lock(OverrideMutex());
  OverridePath() = path;
}

bool ModulePathOverride(std::u16string* path) {
  std::lock_guard lock(OverrideMutex());
  if (OverridePath().empty())
    return false;
  *path = OverridePath();
  return true;
}

}  // namespace vovu::platform
