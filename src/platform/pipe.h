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
// Host: a pipe name is a directory <root>/pipes/<name> in the machine root (the name
// lower-cased; characters other than letters, digits, '.', '-' and '_' escaped as %XX), and
// each of its instances a SOCK_SEQPACKET Unix socket in it (docs/host-platform.md, "Named
// pipes"). As on Windows, any user may create a pipe of a new name: <root>/pipes is root's,
// world-writable and sticky, so nobody can remove or rename another user's name. The name's
// directory belongs to the user who created its first instance; that user adds further
// instances, and anybody else (root included) only when that first instance's descriptor
// granted everybody FILE_APPEND_DATA, the right to create instances (else 5). The service's
// pipe grants no user that right. A name exists while one of its instances is open; a
// directory left behind by a process that ended is no name (its owner, or root, takes it
// over). Each instance's socket gets the ownership and mode that the instance's security
// descriptor stands for (see security.h); without a descriptor it is 0770 owned by the
// creator, like the Windows default DACL that lets only the system, administrators and the
// creator open the pipe for writing.
// An instance listens from its creation. A client's open completes the moment it
// connects, as the Windows pipe file system completes it without the server's thread: a
// thread waiting in ConnectPipeClient takes the client itself, and for an instance nobody
// waits on a background thread of the server's process does; taking renames the instance's
// socket aside ("<n>.busy"). A client connects to any listening instance; with every
// instance busy it gets 231 and WaitForPipeInstance waits for one to listen. An instance serves one
// client at a time; once disconnected, a connect makes it listen again at its name. A message read
// into too small a buffer loses its rest (Windows keeps it for the next read; the service never
// reads it). The peer's uid, gid, groups and session are captured when the client is taken; the
// client's impersonation level travels ahead of its first message.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"
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
  // FILE_FLAG_FIRST_PIPE_INSTANCE: fail with 5 when an instance of the name exists.
  bool firstInstance = false;
};

// How far the server may act as the client (SECURITY_IDENTIFICATION or
// SECURITY_IMPERSONATION in the client's open).
enum class PipeClientLevel {
  // The server may read the client's identity; a primary token cannot be made of it (1346).
  kIdentification,
  // The server may also act as the client, and make a primary token to start its programs.
  kImpersonation,
};

// ---- Server side. The operations below take an instance made by CreatePipeInstance. ----

// Creates one instance of the pipe `name`, listening for a client (overlapped, message type
// and read mode, blocking, remote clients refused). `security` null means the default
// security; the descriptor is only read during the call. Fault point kCreatePipeInstance
// (path: the name). Fails with 123 for a name without the pipe prefix, 231 when the instance
// limit is reached, 5 when the name exists and the settings ask for the first instance, or
// when it belongs to someone who did not grant the caller the right to add instances.
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

// FlushFileBuffers: waits until the client has read everything written to it or has gone,
// for `timeoutMs` at most and ending at once when `stop` is set. False with 109 when the
// client closed without reading, 258 when the time ran out, 995 when `stop` was set (the
// flush is cancelled and complete before the return).
bool FlushPipeWithin(const PipeHandle& instance, std::uint32_t timeoutMs, const Event& stop);

// DisconnectNamedPipe: ends the client's connection; what it has not read is discarded and
// its next operation fails. The instance itself stays open until its handle is closed, and
// ConnectPipeClient makes it listen for a new client (while it is disconnected, clients
// find it busy). Also succeeds after a connect that failed with 232, which leaves the
// instance to be disconnected before it can connect again.
bool DisconnectPipeClient(const PipeHandle& instance);

// The user SID ("S-1-5-...") of the process at the other end of the connected server
// `instance`, asked without any message from the client (impersonation needs one):
// Windows reads the token of the process that opened the pipe (GetNamedPipeClientProcessId,
// OpenProcess, OpenProcessToken), the host the identity captured when the client was taken.
// Good for sharing out the server's time between users; never for deciding what a caller may
// do, since the pipe handle may have passed to another process since it was opened. False
// with the last error when the process or its token cannot be read.
[[nodiscard]] bool GetPipeClientUserSid(const PipeHandle& instance, std::u16string* sid);

// ---- Client side. ----

// WaitNamedPipeW: true at once when an instance of `name` is listening; else waits up to
// `timeoutMs` for one. False with 2 when no instance of the pipe exists at all, 121 when
// the time ran out. A `timeoutMs` of 0 means the pipe's default time-out on Windows (none
// on the host): callers pass a real limit.
[[nodiscard]] bool WaitForPipeInstance(const std::u16string& name, std::uint32_t timeoutMs);

// Opens the pipe for reading and for writing data and attributes (not FILE_APPEND_DATA, the
// right to create instances, which the service's pipe grants no user), no sharing,
// synchronous I/O, with `level` as the server's impersonation level. Fails with 2 when no
// instance exists, 231 when every instance is busy, 5 when the pipe's security refuses the
// caller.
[[nodiscard]] PipeHandle OpenPipe(const std::u16string& name,
                                  PipeClientLevel level = PipeClientLevel::kImpersonation);

// Whether the server of the connected `client` runs as LocalSystem: Windows asks for the
// server's process (GetNamedPipeServerProcessId) and takes it when its token's user is
// S-1-5-18 (a token an ordinary user may not read, or of another user, is not taken; any
// process of session 0 is not enough, since services of other accounts run there too), or
// when it is the calling process itself; under wine, where every process shares one user and
// session, any server is taken. The host takes a server whose peer credentials name uid 0
// (LocalSystem), or, run without root (single-user mode), the client's own uid. False when
// the question could not be asked.
[[nodiscard]] bool IsPipeServerTheSystemService(const PipeHandle& client, bool* isService);

// The process id of the connected `client`'s server (GetNamedPipeServerProcessId; the
// host: the peer credentials' pid). False with the last error.
[[nodiscard]] bool GetPipeServerProcessId(const PipeHandle& client, std::uint32_t* processId);

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
