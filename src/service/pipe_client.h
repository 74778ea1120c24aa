// The client side of the command pipe, used by the command line.
#pragma once

#include <cstdint>
#include <string>

namespace vovu {

inline constexpr std::uint32_t kPipeClientWaitMs = 3000;
inline constexpr std::uint32_t kMaxReplyBytes = 4094;

// Sends `request` (UTF-16LE, no terminator) as one message and reads one reply of at most
// 4094 bytes. True when a reply was received, whatever it says; `*reply` is replaced only
// then. The client waits up to 3000 ms in all for an instance it can open: one taken by
// another client first (231) is waited for again within that time. It opens the pipe at
// impersonation level, and before it writes anything it checks that the pipe is served by
// the service (LocalSystem in the services' session; docs/pipe-security.md). False,
// with the last error, when no instance could be opened in time (121, 2, 231), the server is
// not the service (5, and the debugger line "pipe server is not the service"), the write
// failed or the reply was missing or longer.
[[nodiscard]] bool SendPipeRequest(const std::u16string& request, std::u16string* reply);

}  // namespace vovu
