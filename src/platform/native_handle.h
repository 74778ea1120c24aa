// The opaque handle value that crosses the platform boundary.
//
// On Windows it carries a HANDLE; on the host a file descriptor (always 3 or above) or a
// pointer to an object of the host implementation. 0 and -1 count as no handle, as they do
// for the service everywhere.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace vovu::platform {

using NativeHandle = std::intptr_t;

inline constexpr bool IsUsableHandle(NativeHandle h) {
  return h != 0 && h != -1;
}

}  // namespace vovu::platform
