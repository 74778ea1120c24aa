// The outcome of looking for something inside an executable image held in memory.
#pragma once

namespace vovu::platform::host {

enum class ImageLookup {
  kFound,          // the item was found and lies wholly inside the image
  kNotThisFormat,  // the bytes are not (a readable image of) this executable format
  kMissing,        // a readable image of this format without the item
};

}  // namespace vovu::platform::host
