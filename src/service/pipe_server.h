// The service's side of the command pipe: one connection, one request, one reply.
#pragma once

#include <string>
#include <vector>

#include "caller/request_context.h"
#include "platform/pipe.h"
#include "platform/sync.h"

namespace vovu {

// LocalSystem and Administrators: everything. Interactive and built-in users: read, write
// data and attributes (0x12019b is the generic read and write rights without
// FILE_APPEND_DATA, which on a pipe is the right to create instances of it), so that no user
// can add an instance of the service's pipe (docs/pipe-security.md).
inline constexpr char16_t kPipeSddl[] =
    u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)(A;;0x12019b;;;BU)";
inline constexpr std::uint32_t kPipeBufferSize = 8192;
inline constexpr std::uint32_t kMaxRequestBytes = 8190;
// The bound of every transfer of an exchange: reading the request, writing the reply, and
// waiting for the client to take the reply.
inline constexpr std::uint32_t kPipeTransferTimeoutMs = 30000;
inline constexpr std::uint32_t kPipeCreateRetryMs = 1000;

// How a request is carried out: ExecuteWhitelistedCommand, or a stand-in in tests.
using CommandDispatcher = bool (*)(const std::u16string& word,
                                   const std::vector<std::u16string>& args,
                                   const RequestContext& context, std::u16string* failure);

// The pipe thread's loop, until `stop` is set: serves clients one exchange at a time, in the
// order they connected. The name is never free while it runs: the first instance is
// created as the first of its name (when another process holds the name, that is logged
// and retried every second, never shared), and a further instance listens while a client
// is served, so a client that arrives meanwhile waits for its turn instead of failing.
void RunPipeServer(const platform::Event& stop, CommandDispatcher dispatch);

// Serves one connected client: reads one request of 1 to 8190 bytes (within 30 s), builds
// the caller's context, dispatches, writes "OK" or "ERROR " + the failure text, and waits
// up to 30 s for the client to take it. An empty, oversized, slow or interrupted request gets
// no reply. Every wait ends at once when `stop` is set.
void HandlePipeClient(const platform::PipeHandle& pipe, const platform::Event& stop,
                      CommandDispatcher dispatch);

// The reply to one request text: split into lines, the first normalised as the command
// word, dispatched for `context`; "OK" on success, else "ERROR " + the failure text. A
// command that throws answers "ERROR internal service error" and leaves the debugger line
// "pipe command threw: " + the command word.
[[nodiscard]] std::u16string ReplyForRequest(const std::u16string& request,
                                             const RequestContext& context,
                                             CommandDispatcher dispatch);

}  // namespace vovu
