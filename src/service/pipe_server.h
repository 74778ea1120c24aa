// The service's side of the command pipe: one connection, one request, one reply.
#pragma once

#include <cstddef>
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
// How long a client has, from its connection, to send its request. The service's own
// client writes it as soon as it has checked the server.
inline constexpr std::uint32_t kPipeRequestTimeoutMs = 2000;
// The bound of writing the reply and of waiting for the client to take it.
inline constexpr std::uint32_t kPipeTransferTimeoutMs = 30000;
inline constexpr std::uint32_t kPipeCreateRetryMs = 1000;
// Clients are served side by side on this many threads (pipe_serving.h). One user's
// connections are served on at most kPipeConnectionsServedPerUser of them at once, and one
// user holds at most kPipeConnectionsHeldPerUser connections, served or waiting for a turn;
// a further one is closed at once.
inline constexpr std::size_t kPipeServingThreads = 8;
inline constexpr std::size_t kPipeConnectionsServedPerUser = 4;
inline constexpr std::size_t kPipeConnectionsHeldPerUser = 64;

// How a request is carried out: ExecuteWhitelistedCommand, or a stand-in in tests.
using CommandDispatcher = bool (*)(const std::u16string& word,
                                   const std::vector<std::u16string>& args,
                                   const RequestContext& context, std::u16string* failure);

// The pipe thread's loop, until `stop` is set. The name is never free while it runs: the
// first instance is created as the first of its name (when another process holds the name,
// that is logged and retried every second, never shared), and from then on an instance
// always listens. A connected client is handed to the serving threads (pipe_serving.h)
// once the next instance listens; if that instance cannot be made, the client is served on
// this thread and its instance connects again afterwards. A connect that fails (a client
// that left before it was taken: 232) disconnects the instance and connects it again, so the
// name never lacks an instance. Returns once the serving threads have ended.
void RunPipeServer(const platform::Event& stop, CommandDispatcher dispatch);

// Serves one connected client: reads one request of 1 to 8190 bytes (within
// `requestTimeoutMs`; one that is already there is read even with 0), builds the caller's
// context, dispatches, writes "OK" or "ERROR " + the failure text, and waits up to 30 s for
// the client to take it. Commands run one at a time in the process, whichever thread serves
// their client. An empty, oversized, slow or interrupted request gets no reply. Every wait
// ends at once when `stop` is set.
void HandlePipeClient(const platform::PipeHandle& pipe, const platform::Event& stop,
                      CommandDispatcher dispatch, std::uint32_t requestTimeoutMs);

// The reply to one request text: split into lines, the first normalised as the command
// word, dispatched for `context`; "OK" on success, else "ERROR " + the failure text. A
// command that throws answers "ERROR internal service error" and leaves the debugger line
// "pipe command threw: " + the command word.
[[nodiscard]] std::u16string ReplyForRequest(const std::u16string& request,
                                             const RequestContext& context,
                                             CommandDispatcher dispatch);

}  // namespace vovu
