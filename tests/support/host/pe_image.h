// Small PE images built byte by byte, for the host's PE readers and its Authenticode.
#pragma once

#include <cstdint>
#include <vector>

namespace vovu::testing {

using Bytes = std::vector<std::uint8_t>;

// A complete, signable image (PE32+ or PE32) with headers in 0x200 bytes and one ".rsrc"
// section. Its resource tree holds an icon-type entry that leads nowhere (it must not be
// followed) and RT_VERSION -> name 1 -> language 0x409 -> `versionBlock`. Without
// `withResources` the resource data directory is empty.
Bytes BuildPeImage(const Bytes& versionBlock, bool pe32Plus, bool withResources = true);

}  // namespace vovu::testing
