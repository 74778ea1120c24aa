// The version resource of a PE image (PE32 or PE32+), read from the image's bytes.
#pragma once

#include <cstdint>
#include <span>

#include "platform/host/image/image_lookup.h"

namespace vovu::platform::host {

// Finds the data of the first RT_VERSION resource (type 16, its first name, its first
// language), as the loader does for a version query. `*data` views into `image`.
//
// kNotThisFormat: no DOS header, no "PE\0\0" signature, an unknown optional-header magic, or
// headers that run past the end of the image. kMissing: no resource directory, no version
// resource, or a resource tree whose offsets point outside the image's section data.
[[nodiscard]] ImageLookup FindPeVersionResource(std::span<const std::uint8_t> image,
                                                std::span<const std::uint8_t>* data);

}  // namespace vovu::platform::host
