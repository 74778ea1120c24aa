#include "support/host/pe_image.h"

#include <cstring>

namespace vovu::testing {
namespace {

void Put16(Bytes* bytes, std::size_t at, std::uint16_t value) {
  if (bytes->size() < at + 2)
    bytes->resize(at + 2);
  (*bytes)[at] = static_cast<std::uint8_t>(value);
  (*bytes)[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Bytes* bytes, std::size_t at, std::uint32_t value) {
  Put16(bytes, at, static_cast<std::uint16_t>(value));
  Put16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace

Bytes BuildPeImage(const Bytes& versionBlock, bool pe32Plus, bool withResources) {
  constexpr std::size_t kPeOffset = 0x40;
  constexpr std::size_t kRawPointer = 0x200;
  constexpr std::uint32_t kSectionRva = 0x1000;
  const std::uint16_t optionalSize = pe32Plus ? 240 : 224;
  const std::size_t countField = pe32Plus ? 108 : 92;
  const std::size_t optional = kPeOffset + 4 + 20;
  const std::size_t sectionTable = optional + optionalSize;

  // The resource section: directory tables, a data entry, then the block.
  Bytes rsrc;
  Put16(&rsrc, 0x00 + 14, 2);  // root: two id entries
  Put32(&rsrc, 0x10, 3);
  Put32(&rsrc, 0x14, 0x80000000u | 0x7FFFFFF0u);
  Put32(&rsrc, 0x18, 16);
  Put32(&rsrc, 0x1C, 0x80000000u | 0x20);
  Put16(&rsrc, 0x20 + 14, 1);  // type 16: one name
  Put32(&rsrc, 0x30, 1);
  Put32(&rsrc, 0x34, 0x80000000u | 0x38);
  Put16(&rsrc, 0x38 + 14, 1);  // name 1: one language
  Put32(&rsrc, 0x48, 0x409);
  Put32(&rsrc, 0x4C, 0x50);
  Put32(&rsrc, 0x50, kSectionRva + 0x60);  // data entry
  Put32(&rsrc, 0x54, static_cast<std::uint32_t>(versionBlock.size()));
  rsrc.resize(0x60);
  rsrc.insert(rsrc.end(), versionBlock.begin(), versionBlock.end());
  const auto rawSize = static_cast<std::uint32_t>((rsrc.size() + 0x1FF) & ~std::size_t{0x1FF});

  Bytes image(kRawPointer);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(&image, 0x3C, kPeOffset);
  Put32(&image, kPeOffset, 0x00004550);
  Put16(&image, kPeOffset + 4, pe32Plus ? 0x8664 : 0x14C);
  Put16(&image, kPeOffset + 6, 1);
  Put16(&image, kPeOffset + 20, optionalSize);
  Put16(&image, kPeOffset + 22, 0x22);  // executable, large-address aware
  Put16(&image, optional, pe32Plus ? 0x20B : 0x10B);
  Put32(&image, optional + 32, 0x1000);  // section alignment
  Put32(&image, optional + 36, 0x200);   // file alignment
  Put16(&image, optional + 40, 6);
  Put16(&image, optional + 48, 6);
  Put32(&image, optional + 56, kSectionRva + ((rawSize + 0xFFF) & ~0xFFFu));  // size of image
  Put32(&image, optional + 60, kRawPointer);                                  // size of headers
  Put16(&image, optional + 68, 3);                                            // console
  Put32(&image, optional + countField, 16);
  if (withResources) {
    Put32(&image, optional + countField + 4 + 2 * 8, kSectionRva);
    Put32(&image, optional + countField + 4 + 2 * 8 + 4, static_cast<std::uint32_t>(rsrc.size()));
  }
  std::memcpy(image.data() + sectionTable, ".rsrc", 5);
  Put32(&image, sectionTable + 8, static_cast<std::uint32_t>(rsrc.size()));
  Put32(&image, sectionTable + 12, kSectionRva);
  Put32(&image, sectionTable + 16, rawSize);
  Put32(&image, sectionTable + 20, kRawPointer);
  Put32(&image, sectionTable + 36, 0x40000040);  // initialised, readable data
  image.insert(image.end(), rsrc.begin(), rsrc.end());
  image.resize(kRawPointer + rawSize);
  return image;
}

}  // namespace vovu::testing
