// The headers every reader of a PE image walks first: DOS header, PE signature, COFF header,
// the optional header's place and magic, the section table and the data directories.
#pragma once

#include <cstdint>

#include "platform/host/core/byte_reader.h"

namespace vovu::platform::host {

inline constexpr std::uint16_t kPe32Magic = 0x10B;
inline constexpr std::uint16_t kPe32PlusMagic = 0x20B;
inline constexpr std::uint64_t kSectionHeaderSize = 40;

struct PeHeaders {
  std::uint64_t coff = 0;  // offset of the COFF header
  std::uint16_t sectionCount = 0;
  std::uint16_t optionalSize = 0;         // size of the optional header
  std::uint64_t optional = 0;             // offset of the optional header
  std::uint16_t magic = 0;                // kPe32Magic or kPe32PlusMagic
  std::uint64_t directoryCountField = 0;  // NumberOfRvaAndSizes, relative to `optional`
  std::uint64_t sectionTable = 0;         // offset of the section table
};

// False when the bytes are not a PE32 or PE32+ image whose headers and section table lie
// within it.
[[nodiscard]] bool ReadPeHeaders(const ByteReader& image, PeHeaders* headers);

// Data directory `index` as stored (`address` is an RVA, or a file offset for the
// certificate table) and the file offset of its entry. False when the optional header has
// no such entry.
[[nodiscard]] bool ReadDataDirectory(const ByteReader& image, const PeHeaders& headers,
                                     std::uint32_t index, std::uint64_t* entryOffset,
                                     std::uint32_t* address, std::uint32_t* size);

}  // namespace vovu::platform::host
