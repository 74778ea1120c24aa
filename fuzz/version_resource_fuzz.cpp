// Fuzzes the host's reading of version resources: arbitrary bytes as an executable image.
// Locating the block and reading its root value must never crash or read outside the
// image, and whatever is found must lie inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/host/image/version_block.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> image(data, size);
  std::span<const std::uint8_t> block;
  const auto status = vovu::platform::host::LocateVersionBlock(image, &block);
  if (status != 0) {
    if (status != 193 && status != 1813)
      std::abort();
    return 0;
  }
  if (block.data() < data || block.data() + block.size() > data + size)
    std::abort();
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  if (vovu::platform::host::FindRootVersionValue(block, &offset, &length) &&
      (length == 0 || offset > block.size() || length > block.size() - offset)) {
    std::abort();
  }
  return 0;
}
