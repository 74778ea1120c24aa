// The service's side of the command pipe: one connection, one request, one reply.
#pragma once

#include <string>
#include <vector>

#include "caller/request_context.h"
#include "platform/pipe.h"

namespace vovu {

inline constexpr char16_t kPipeSddl[] = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)(A;;GRGW;;;BU)";
inline constexpr std::uint32_t kPipeBufferSize = 8192;
inline constexpr std::uint32_t kMaxRequestBytes = 8190;
inline constexpr std::uint32_t kPipeTransferTimeoutMs = 30000;
inline constexpr std::uint32_t kPipeCreateRetryMs = 1000;

// The pipe thread: serves clients one after another until ServiceStopEvent is signalled,
// which ends a wait for a client at once. Returns 0.
unsigned PipeServerThread();

// Serves one connected client: reads one request of 1 to 8190 bytes (within 30 s), builds
// the caller's context, dispatches, and writes "OK" or "ERROR " + the failure text. An empty,
// oversized, slow or interrupted request gets no reply.
void HandlePipeClient(const platform::PipeHandle& pipe);

// How a request is carried out: ExecuteWhitelistedCommand, or a stand-in in tests.
using CommandDispatcher = bool (*)(const std::u16string& word,
                                   const std::vector<std::u16string>& args,
                                   const RequestContext& context, std::u16string* failure);

// The reply to one request text: split into lines, the first normalised as the command
// word, dispatched for `context`; "OK" on success, else "ERROR " + the failure text. A
// command that throws answers "ERROR internal service error" and leaves the debugger line
// "pipe command threw: " + the command word.
[[nodiscard]] std::u16string ReplyForRequest(const std::u16string& request,
                                             const RequestContext& context,
                                             CommandDispatcher dispatch);

}  // namespace vovu
