// The headers every reader of a PE image walks first: DOS header, PE signature, COFF header
// and the optional header's place and magic.
#pragma once

#include <cstdint>

#include "platform/host/byte_reader.h"

namespace vovu::platform::host {

inline constexpr std::uint16_t kPe32Magic = 0x10B;
inline constexpr std::uint16_t kPe32PlusMagic = 0x20B;

struct PeHeaders {
  std::uint64_t coff = 0;  // offset of the COFF header
  std::uint16_t sectionCount = 0;
  std::uint16_t optionalSize = 0;  // size of the optional header
  std::uint64_t optional = 0;      // offset of the optional header
  std::uint16_t magic = 0;         // kPe32Magic, kPe32PlusMagic or anything else
};

// False when the bytes are not a PE image whose headers lie within it.
[[nodiscard]] bool ReadPeHeaders(const ByteReader& image, PeHeaders* headers);

}  // namespace vovu::platform::host
