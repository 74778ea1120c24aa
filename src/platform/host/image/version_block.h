// The host's reading of VS_VERSIONINFO blocks: finding the block in an executable image and
// the fixed file information at its root.
#pragma once

#include <cstdint>
#include <span>

#include "platform/error.h"

namespace vovu::platform::host {

// Finds the version block of a PE image (its RT_VERSION resource) or of an ELF stand-in (its
// kElfVersionSection section). Returns 0 and sets `*block` (a view into `image`) when found;
// otherwise the Win32 error a version query gives: 193 when the bytes are neither a PE nor an
// ELF image, 1813 when the image carries no (non-empty) version block.
[[nodiscard]] Win32Error LocateVersionBlock(std::span<const std::uint8_t> image,
                                            std::span<const std::uint8_t>* block);

// The root value of a VS_VERSIONINFO block: a 16-bit total length, a 16-bit value length and
// a 16-bit type, the key "VS_VERSION_INFO" with its terminating NUL, padding to a 32-bit
// boundary, then the value. True with the value's offset in `block` and its length when the
// header is well formed, the value is not empty and lies within both the block and its
// declared length; false otherwise.
[[nodiscard]] bool FindRootVersionValue(std::span<const std::uint8_t> block, std::uint32_t* offset,
                                        std::uint32_t* length);

}  // namespace vovu::platform::host
