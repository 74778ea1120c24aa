// Building VS_VERSIONINFO blocks, for stamping the host's ELF stand-ins and for tests that
// need a version block of their own.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vovu::stamp {

// A four-part Windows version a.b.c.d, each part 0-65535.
using FourPartVersion = std::array<std::uint16_t, 4>;

// Parses "a", "a.b", "a.b.c" or "a.b.c.d" (decimal digits, each part at most 65535, missing
// parts 0). False for anything else, `*version` untouched.
[[nodiscard]] bool ParseFourPartVersion(const std::string& text, FourPartVersion* version);

// A VS_VERSIONINFO block with the key "VS_VERSION_INFO" and a VS_FIXEDFILEINFO value
// (signature 0xFEEF04BD, structure version 1.0, an application for 32-bit Windows) carrying
// the two versions, and no children. The block is 92 bytes.
[[nodiscard]] std::vector<std::uint8_t> BuildVersionBlock(const FourPartVersion& productVersion,
                                                          const FourPartVersion& fileVersion);

}  // namespace vovu::stamp
