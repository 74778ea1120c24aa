// CRC-32 with the zip polynomial, header-only so that any tool or fixture can use it without
// linking the tools' common library: the package maker writes it into package.zip, the wine
// stage's tar fixture checks it on extraction.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vovu::tools {

inline const std::array<std::uint32_t, 256>& Crc32Table() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

// Continues a CRC-32 over `length` bytes: start with 0, pass each piece's result to the next.
inline std::uint32_t ContinueCrc32(std::uint32_t crc, const void* data, std::size_t length) {
  const auto& table = Crc32Table();
  const auto* bytes = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (std::size_t i = 0; i < length; ++i)
    crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace vovu::tools
