// The client side of the command pipe, used by the command line.
#pragma once

#include <string>

namespace vovu {

inline constexpr std::uint32_t kPipeClientWaitMs = 3000;
inline constexpr std::uint32_t kMaxReplyBytes = 4094;

// Sends `request` (UTF-16LE, no terminator) as one message and reads one reply of at most
// 4094 bytes. True when a reply was received, whatever it says; `*reply` is replaced only
// then. False when no instance was free within 3000 ms, the pipe could not be opened, the
// write failed or the reply was missing or longer. No retry.
[[nodiscard]] bool SendPipeRequest(const std::u16string& request, std::u16string* reply);

}  // namespace vovu
