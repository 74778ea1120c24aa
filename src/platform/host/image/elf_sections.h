// Named sections of an ELF image (32- or 64-bit, either byte order), read from its bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/host/image/image_lookup.h"

namespace vovu::platform::host {

// Finds the contents of the first section called `name` (looked up through the section
// header string table). `*contents` views into `image`.
//
// kNotThisFormat: no ELF identification, an unknown class or byte order, or a section header
// table or string table that runs past the end of the image. kMissing: no section of that
// name, or one without file contents (SHT_NOBITS) or whose contents lie outside the image.
[[nodiscard]] ImageLookup FindElfSection(std::span<const std::uint8_t> image, std::string_view name,
                                         std::span<const std::uint8_t>* contents);

}  // namespace vovu::platform::host
