#include "platform/host/image/pe_headers.h"

namespace vovu::platform::host {
namespace {
constexpr std::uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint64_t kCoffHeaderSize = 20;
}  // namespace

bool ReadPeHeaders(const ByteReader& image, PeHeaders* headers) {
  std::uint16_t dosMagic = 0;
  std::uint32_t peOffset = 0;
  std::uint32_t signature = 0;
  if (!image.Read16(0, &dosMagic) || dosMagic != kDosMagic || !image.Read32(0x3C, &peOffset) ||
      !image.Read32(peOffset, &signature) || signature != kPeSignature) {
    return false;
  }
  headers->coff = std::uint64_t{peOffset} + 4;
  if (!image.Contains(headers->coff, kCoffHeaderSize) ||
      !image.Read16(headers->coff + 2, &headers->sectionCount) ||
      !image.Read16(headers->coff + 16, &headers->optionalSize)) {
    return false;
  }
  headers->optional = headers->coff + kCoffHeaderSize;
  if (!image.Contains(headers->optional, headers->optionalSize) ||
      !image.Read16(headers->optional, &headers->magic)) {
    return false;
  }
  if (headers->magic == kPe32Magic) {
    headers->directoryCountField = 92;
  } else if (headers->magic == kPe32PlusMagic) {
    headers->directoryCountField = 108;
  } else {
    return false;
  }
  headers->sectionTable = headers->optional + headers->optionalSize;
  return image.Contains(headers->sectionTable, headers->sectionCount * kSectionHeaderSize);
}

bool ReadDataDirectory(const ByteReader& image, const PeHeaders& headers, std::uint32_t index,
                       std::uint64_t* entryOffset, std::uint32_t* address, std::uint32_t* size) {
  const std::uint64_t entry = headers.directoryCountField + 4 + std::uint64_t{index} * 8;
  std::uint32_t count = 0;
  if (entry + 8 > headers.optionalSize ||
      !image.Read32(headers.optional + headers.directoryCountField, &count) || count <= index) {
    return false;
  }
  *entryOffset = headers.optional + entry;
  return image.Read32(*entryOffset, address) && image.Read32(*entryOffset + 4, size);
}

}  // namespace vovu::platform::host
