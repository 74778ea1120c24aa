// Version resources on Windows: the system's version-information calls.
#include "platform/fault_injection.h"
#include "platform/version_resource.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {

std::uint32_t GetVersionInfoSize(const std::u16string& path) {
  if (FaultDue(FaultPoint::kVersionInfo, path))
    return 0;
  DWORD ignored = 0;
  return GetFileVersionInfoSizeW(win32::W(path), &ignored);
}

bool GetVersionInfo(const std::u16string& path, std::uint32_t size,
                    std::vector<std::uint8_t>* block) {
  if (FaultDue(FaultPoint::kVersionInfo, path))
    return false;
  block->assign(size, 0);
  return GetFileVersionInfoW(win32::W(path), 0, size, block->data()) != FALSE;
}

bool QueryRootVersionValue(const std::vector<std::uint8_t>& block, const void** value,
                           std::uint32_t* length) {
  if (block.empty())
    return false;
  void* found = nullptr;
  UINT foundLength = 0;
  if (!VerQueryValueW(block.data(), L"\\", &found, &foundLength) || found == nullptr ||
      foundLength == 0) {
    return false;
  }
  *value = found;
  *length = foundLength;
  return true;
}

}  // namespace vovu::platform
