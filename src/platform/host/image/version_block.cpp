#include "platform/host/image/version_block.h"

#include <algorithm>

#include "platform/host/core/byte_reader.h"
#include "platform/host/image/elf_sections.h"
#include "platform/host/image/pe_resources.h"
#include "platform/version_resource.h"

namespace vovu::platform::host {
namespace {

constexpr char16_t kRootKey[] = u"VS_VERSION_INFO";
constexpr std::uint64_t kRootHeaderSize = 6;

}  // namespace

Win32Error LocateVersionBlock(std::span<const std::uint8_t> image,
                              std::span<const std::uint8_t>* block) {
  std::span<const std::uint8_t> found;
  ImageLookup lookup = FindPeVersionResource(image, &found);
  if (lookup == ImageLookup::kNotThisFormat)
    lookup = FindElfSection(image, kElfVersionSection, &found);
  if (lookup == ImageLookup::kNotThisFormat)
    return kErrorBadExeFormat;
  if (lookup == ImageLookup::kMissing || found.empty())
    return kErrorResourceTypeNotFound;
  *block = found;
  return kErrorSuccess;
}

bool FindRootVersionValue(std::span<const std::uint8_t> block, std::uint32_t* offset,
                          std::uint32_t* length) {
  const ByteReader reader(block);
  std::uint16_t totalLength = 0, valueLength = 0, type = 0;
  if (!reader.Read16(0, &totalLength) || !reader.Read16(2, &valueLength) ||
      !reader.Read16(4, &type)) {
    return false;
  }
  // The block ends at its declared length, or earlier when the buffer is shorter.
  const std::uint64_t end = std::min<std::uint64_t>(totalLength, block.size());

  std::uint64_t at = kRootHeaderSize;
  for (const char16_t* key = kRootKey;; ++key) {
    std::uint16_t unit = 0;
    if (at + 2 > end || !reader.Read16(at, &unit) || unit != *key)
      return false;
    at += 2;
    if (*key == u'\0')
      break;
  }
  const std::uint64_t valueOffset = (at + 3) & ~std::uint64_t{3};
  if (valueLength == 0 || valueOffset > end || valueLength > end - valueOffset)
    return false;
  *offset = static_cast<std::uint32_t>(valueOffset);
  *length = valueLength;
  return true;
}

}  // namespace vovu::platform::host
