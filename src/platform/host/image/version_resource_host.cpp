// Version resources on the host: the executable is read whole through the emulated file
// system and its version block is found by parsing the image (see version_block.h).
#include <algorithm>
#include <span>

#include "platform/error.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "platform/host/core/host_util.h"
#include "platform/host/image/version_block.h"
#include "platform/version_resource.h"

namespace vovu::platform {
namespace {

// Images larger than this are refused rather than read into memory.
constexpr std::int64_t kMaxImageSize = std::int64_t{1} << 30;

// The version block of the executable at `path`, copied out; false with the last error set.
bool LoadVersionBlock(const std::u16string& path, std::vector<std::uint8_t>* block) {
  std::vector<std::uint8_t> image;
  if (!host::ReadWholeFile(path, &image, kMaxImageSize))
    return false;
  std::span<const std::uint8_t> found;
  if (const Win32Error error = host::LocateVersionBlock(image, &found); error != kErrorSuccess) {
    SetLastErrorCode(error);
    return false;
  }
  block->assign(found.begin(), found.end());
  return true;
}

}  // namespace

std::uint32_t GetVersionInfoSize(const std::u16string& path) {
  if (FaultDue(FaultPoint::kVersionInfo, path))
    return 0;
  std::vector<std::uint8_t> block;
  if (!LoadVersionBlock(path, &block))
    return 0;
  return static_cast<std::uint32_t>(block.size());
}

bool GetVersionInfo(const std::u16string& path, std::uint32_t size,
                    std::vector<std::uint8_t>* block) {
  if (FaultDue(FaultPoint::kVersionInfo, path))
    return false;
  std::vector<std::uint8_t> found;
  if (!LoadVersionBlock(path, &found))
    return false;
  // As on Windows, a smaller buffer receives the start of the block, a larger one the whole
  // block followed by zeros.
  block->assign(size, 0);
  std::copy_n(found.begin(), std::min<std::size_t>(size, found.size()), block->begin());
  return true;
}

bool QueryRootVersionValue(const std::vector<std::uint8_t>& block, const void** value,
                           std::uint32_t* length) {
  std::uint32_t offset = 0;
  std::uint32_t valueLength = 0;
  if (!host::FindRootVersionValue(block, &offset, &valueLength))
    return false;
  *value = block.data() + offset;
  *length = valueLength;
  return true;
}

}  // namespace vovu::platform
