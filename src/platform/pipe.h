// Local named pipes in message mode: the server's instances and the client's connection.
//
// Names have the Windows form "\\.\pipe\<name>" (the prefix ignores case). Every failure
// returns false (or an invalid handle) and leaves a Win32 error code as the last error; the
// codes a caller meets are listed below and are the same on both targets.
//
// Windows: CreateNamedPipeW (duplex, overlapped, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE |
// PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS), ConnectNamedPipe, ReadFile, WriteFile,
// GetOverlappedResult, CancelIoEx, FlushFileBuffers, DisconnectNamedPipe on the server side;
// WaitNamedPipeW, CreateFileW (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION),
// SetNamedPipeHandleState, ReadFile and WriteFile on the client side.
//
// Host: a pipe is a SOCK_SEQPACKET Unix socket at <root>/pipes/<name> in the machine root
// (the name lower-cased; characters other than letters, digits, '.', '-' and '_' are
// escaped as %XX). The pipes directory is owned by the server's user (root in a real
// machine) with mode 0755, so no other user can create, replace or remove a socket in it;
// a server refuses a directory that it does not own (5) and closes one that others could
// write to, and a client refuses one owned by a user other than root or itself (5). Run without
// root, the emulation is single-user: the directory belongs to that user and only that user's
// processes take part. The socket file gets the ownership and mode that the instance's
// security descriptor stands for (see security.h); without a descriptor it is 0770 owned by
// the server's user and group, like the Windows default DACL that lets only the system,
// administrators and the creator open the pipe for writing.
// An instance listens while its socket is bound at the pipe's path, with room for one
// waiting client; once a client waits the socket moves to "<path>.busy", where clients
// recognise a pipe whose only instance is busy. OpenPipe returns when the instance has taken
// the client (ConnectPipeClient), so on the host a client is never connected to an instance
// that is not yet connecting; in the service the instance is always connecting. The
// emulation keeps one instance per name at a time (the service never has more), an instance
// serves one client, and a message read into too small a buffer loses its rest (Windows
// keeps it for the next read; the service never reads it). The peer's uid, gid, groups and
// session are captured when the client is taken.
#pragma once

#include <cstdint>
#include <string>

#include "platform/native_handle.h"
#include "platform/security.h"
#include "platform/sync.h"

namespace vovu::platform {

// Error codes of pipe operations.
inline constexpr Win32Error kErrorBadPipe = 230;   // not a pipe / wrong state
inline constexpr Win32Error kErrorPipeBusy = 231;  // every instance is connected
inline constexpr Win32Error kErrorNoData = 232;    // the pipe is being closed
inline constexpr Win32Error kErrorPipeNotConnected = 233;
inline constexpr Win32Error kErrorBrokenPipe = 109;     // the other end has gone
inline constexpr Win32Error kErrorSemTimeout = 121;     // WaitNamedPipe ran out of time
inline constexpr Win32Error kErrorPipeConnected = 535;  // a client came before the connect
inline constexpr Win32Error kErrorOperationAborted = 995;
inline constexpr Win32Error kErrorIoPending = 997;

// PIPE_UNLIMITED_INSTANCES.
inline constexpr std::uint32_t kPipeUnlimitedInstances = 255;

struct PipeHandleTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return -1; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);
};
// One end of a pipe: a server instance or a client connection. Closing a server instance
// that still has a client disconnects it.
using PipeHandle = UniqueHandle<PipeHandleTraits>;

struct PipeInstanceSettings {
  std::uint32_t maxInstances = kPipeUnlimitedInstances;
  std::uint32_t outBufferSize = 0;
  std::uint32_t inBufferSize = 0;
  std::uint32_t defaultTimeoutMs = 0;  // 0: the platform default (50 ms)
};

// ---- Server side. The operations below take an instance made by CreatePipeInstance. ----

// Creates one instance of the pipe `name`, ready for a client (overlapped, message type and
// read mode, blocking, remote clients refused). `security` null means the default
// security; the descriptor is only read during the call. Fault point kCreatePipeInstance
// (path: the name). Fails with 123 for a name without
// the pipe prefix, 231 when the instance limit is reached, 5 when the name belongs to
// someone else.
[[nodiscard]] PipeHandle CreatePipeInstance(const std::u16string& name,
                                            const PipeInstanceSettings& settings,
                                            const SecurityDescriptor* security);

// Waits, without a time limit, until a client connects to `instance` (a client that came
// before the call counts as connected, as ConnectNamedPipe's 535 does), or until `stop` is
// set. True when a client is connected. False with 995 when `stop` ended the wait (the
// pending connect is cancelled and has completed before the return); 232 when the client
// closed its end before it was connected; another code when the connect failed. `stop`
// must be a valid event.
[[nodiscard]] bool ConnectPipeClient(const PipeHandle& instance, const Event& stop);

// Reads one message of at most `size` bytes into `buffer`, waiting up to `timeoutMs` and
// ending early when `stop` is set. True with `*bytesRead` (0 for an empty message). False
// with 234 when the message is longer than `size` (`*bytesRead` is then `size`), 109 when
// the client has closed its end (wine reports an empty message instead), 258 when the time
// ran out, 995 when `stop` was set. A read that is
// cancelled has completed before the return, so `buffer` may be released at once.
[[nodiscard]] bool ReadPipeMessageWithin(const PipeHandle& instance, void* buffer,
                                         std::uint32_t size, std::uint32_t* bytesRead,
                                         std::uint32_t timeoutMs, const Event& stop);

// Writes `size` bytes as one message, waiting up to `timeoutMs` and ending early when `stop`
// is set. False with 258 or 995 as for reading (the write is cancelled and complete), or
// with 232 when the client has closed its end (wine accepts such a write).
[[nodiscard]] bool WritePipeMessageWithin(const PipeHandle& instance, const void* data,
                                          std::uint32_t size, std::uint32_t timeoutMs,
                                          const Event& stop);

// FlushFileBuffers: waits, without a time limit, until the client has read everything
// written to it or has gone. False with 109 when the client closed without reading.
bool FlushPipe(const PipeHandle& instance);

// DisconnectNamedPipe: ends the client's connection; what it has not read is discarded and
// its next operation fails. The instance itself stays open until its handle is closed.
bool DisconnectPipeClient(const PipeHandle& instance);

// ---- Client side. ----

// WaitNamedPipeW: true at once when an instance of `name` is listening; else waits up to
// `timeoutMs` for one. False with 2 when no instance of the pipe exists at all, 121 when
// the time ran out. A `timeoutMs` of 0 means the pipe's default time-out on Windows (none
// on the host): callers pass a real limit.
[[nodiscard]] bool WaitForPipeInstance(const std::u16string& name, std::uint32_t timeoutMs);

// Opens the pipe for read and write, no sharing, synchronous I/O, with identification-level
// impersonation for the server. Fails with 2 when no instance exists, 231 when every
// instance is busy, 5 when the pipe's security refuses the caller.
[[nodiscard]] PipeHandle OpenPipe(const std::u16string& name);

// SetNamedPipeHandleState(PIPE_READMODE_MESSAGE).
bool SetPipeMessageReadMode(const PipeHandle& client);

// One message of `size` bytes; blocks until the server has taken it into its buffer.
// False with 233 once the server has disconnected the pipe.
[[nodiscard]] bool WritePipeMessage(const PipeHandle& client, const void* data, std::uint32_t size);

// Blocks for one message of at most `size` bytes. False with 234 when the message is longer
// (`*bytesRead` is then `size`), and with 233 when the server disconnected the pipe without
// replying (Windows gives 109 when the server closed its handle without disconnecting; the
// host reports 233 for both).
[[nodiscard]] bool ReadPipeMessage(const PipeHandle& client, void* buffer, std::uint32_t size,
                                   std::uint32_t* bytesRead);

}  // namespace vovu::platform
