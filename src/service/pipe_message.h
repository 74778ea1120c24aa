// The bytes of a pipe message: UTF-16 little-endian code units, no byte-order mark, no
// terminator. One packer for both ends of the command pipe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vovu {

// Two bytes per code unit, low byte first.
[[nodiscard]] std::vector<std::uint8_t> PipeMessageBytes(const std::u16string& text);

// The first `count` / 2 code units in `bytes` (an odd last byte is ignored).
[[nodiscard]] std::u16string PipeMessageText(const std::uint8_t* bytes, std::uint32_t count);

}  // namespace vovu
