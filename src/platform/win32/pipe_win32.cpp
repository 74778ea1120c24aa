// Named pipes on Windows. The server's operations are overlapped, so that every wait can
// watch the stop event too; the client's are synchronous.
#include <vector>

#include "platform/fault_injection.h"
#include "platform/pipe.h"
#include "platform/win32/security_descriptor_impl.h"
#include "platform/win32/windows_api.h"

#include <sddl.h>

#include <cwchar>
#include <vector>

namespace vovu::platform {
namespace {

HANDLE H(const PipeHandle& pipe) {
  return win32::ToHandle(pipe.get());
}

enum class IoStart { kDone, kPending, kFailed };

// Waits for an overlapped operation started on `pipe` with `overlapped` to finish, for
// `timeoutMs` at most, or until `stop` is set (the stop event wins a tie). A cancelled
// operation is waited for until it has completed, so that its buffer and `overlapped` may
// go once this returns. True with `*transferred` when the operation succeeded.
bool FinishOverlapped(HANDLE pipe, OVERLAPPED* overlapped, std::uint32_t timeoutMs,
                      const Event& stop, DWORD* transferred) {
  HANDLE handles[2] = {win32::ToHandle(stop.native()), overlapped->hEvent};
  const DWORD wait = ::WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
  if (wait == WAIT_OBJECT_0 + 1)
    return ::GetOverlappedResult(pipe, overlapped, transferred, FALSE) != 0;
  const DWORD reason = wait == WAIT_OBJECT_0  ? ERROR_OPERATION_ABORTED
                       : wait == WAIT_TIMEOUT ? WAIT_TIMEOUT
                                              : ::GetLastError();
  ::CancelIoEx(pipe, overlapped);
  DWORD ignored = 0;
  ::GetOverlappedResult(pipe, overlapped, &ignored, TRUE);
  ::SetLastError(reason);
  return false;
}

// An overlapped record with its own manual-reset event.
class OverlappedIo {
 public:
  OverlappedIo() { overlapped_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~OverlappedIo() {
    if (overlapped_.hEvent != nullptr) {
      const DWORD saved = ::GetLastError();
      ::CloseHandle(overlapped_.hEvent);
      ::SetLastError(saved);
    }
  }
  OverlappedIo(const OverlappedIo&) = delete;
  OverlappedIo& operator=(const OverlappedIo&) = delete;
  bool valid() const { return overlapped_.hEvent != nullptr; }
  OVERLAPPED* get() { return &overlapped_; }

 private:
  OVERLAPPED overlapped_{};
};

}  // namespace

void PipeHandleTraits::Close(Type h) {
  ::CloseHandle(win32::ToHandle(h));
}

PipeHandle CreatePipeInstance(const std::u16string& name, const PipeInstanceSettings& settings,
                              const SecurityDescriptor* security) {
  if (FaultDue(FaultPoint::kCreatePipeInstance, name))
    return PipeHandle();
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.bInheritHandle = FALSE;
  const bool withSecurity = security != nullptr && security->impl() != nullptr;
  if (withSecurity)
    attributes.lpSecurityDescriptor = security->impl()->descriptor;
  const DWORD first = settings.firstInstance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0;
  HANDLE pipe = ::CreateNamedPipeW(
      win32::W(name), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | first,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      settings.maxInstances, settings.outBufferSize, settings.inBufferSize,
      settings.defaultTimeoutMs, withSecurity ? &attributes : nullptr);
  return PipeHandle(pipe == INVALID_HANDLE_VALUE ? -1 : win32::FromHandle(pipe));
}

bool ConnectPipeClient(const PipeHandle& instance, const Event& stop) {
  OverlappedIo io;
  if (!io.valid())
    return false;
  if (::ConnectNamedPipe(H(instance), io.get()))
    return true;
  const DWORD error = ::GetLastError();
  if (error == ERROR_PIPE_CONNECTED)
    return true;
  if (error != ERROR_IO_PENDING)
    return false;
  DWORD ignored = 0;
  return FinishOverlapped(H(instance), io.get(), INFINITE, stop, &ignored);
}

bool ReadPipeMessageWithin(const PipeHandle& instance, void* buffer, std::uint32_t size,
                           std::uint32_t* bytesRead, std::uint32_t timeoutMs, const Event& stop) {
  *bytesRead = 0;
  OverlappedIo io;
  if (!io.valid())
    return false;
  DWORD read = 0;
  bool ok = ::ReadFile(H(instance), buffer, size, nullptr, io.get()) != 0;
  if (ok || ::GetLastError() == ERROR_MORE_DATA) {
    // Finished at once; the count is in the overlapped record.
    ok = ::GetOverlappedResult(H(instance), io.get(), &read, FALSE) != 0;
  } else if (::GetLastError() == ERROR_IO_PENDING) {
    ok = FinishOverlapped(H(instance), io.get(), timeoutMs, stop, &read);
  } else {
    return false;
  }
  const DWORD error = ::GetLastError();
  *bytesRead = read;
  ::SetLastError(error);
  return ok;
}

bool WritePipeMessageWithin(const PipeHandle& instance, const void* data, std::uint32_t size,
                            std::uint32_t timeoutMs, const Event& stop) {
  OverlappedIo io;
  if (!io.valid())
    return false;
  if (::WriteFile(H(instance), data, size, nullptr, io.get()))
    return true;
  if (::GetLastError() != ERROR_IO_PENDING)
    return false;
  DWORD written = 0;
  return FinishOverlapped(H(instance), io.get(), timeoutMs, stop, &written);
}

namespace {

// While a flush runs on the pipe thread, a thread-pool wait on the stop event (or its
// time-out) cancels it from outside: FlushFileBuffers has no overlapped form.
struct FlushWatch {
  HANDLE pipe;
  bool cancelled = false;
  DWORD reason = 0;
};

VOID CALLBACK CancelFlush(PVOID context, BOOLEAN timedOut) {
  auto* watch = static_cast<FlushWatch*>(context);
  watch->cancelled = true;
  watch->reason = timedOut ? WAIT_TIMEOUT : ERROR_OPERATION_ABORTED;
  ::CancelIoEx(watch->pipe, nullptr);
}

}  // namespace

bool FlushPipeWithin(const PipeHandle& instance, std::uint32_t timeoutMs, const Event& stop) {
  FlushWatch watch{H(instance)};
  HANDLE wait = nullptr;
  if (!::RegisterWaitForSingleObject(&wait, win32::ToHandle(stop.native()), CancelFlush, &watch,
                                     timeoutMs, WT_EXECUTEONLYONCE)) {
    return false;
  }
  bool flushed = ::FlushFileBuffers(H(instance)) != 0;
  DWORD error = flushed ? 0 : ::GetLastError();
  // Waits for a callback that has started; after this nothing cancels I/O on the pipe.
  ::UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
  if (!flushed && watch.cancelled)
    error = watch.reason;
  ::SetLastError(error);
  return flushed;
}

bool DisconnectPipeClient(const PipeHandle& instance) {
  return ::DisconnectNamedPipe(H(instance)) != 0;
}

bool WaitForPipeInstance(const std::u16string& name, std::uint32_t timeoutMs) {
  return ::WaitNamedPipeW(win32::W(name), timeoutMs) != 0;
}

PipeHandle OpenPipe(const std::u16string& name, PipeClientLevel level) {
  // GENERIC_WRITE would include FILE_APPEND_DATA, which on a pipe is the right to create
  // instances; writing messages needs FILE_WRITE_DATA, the read-mode switch
  // FILE_WRITE_ATTRIBUTES.
  constexpr DWORD kAccess = GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
  const DWORD quality =
      level == PipeClientLevel::kIdentification ? SECURITY_IDENTIFICATION : SECURITY_IMPERSONATION;
  HANDLE pipe = ::CreateFileW(win32::W(name), kAccess, 0, nullptr, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | quality, nullptr);
  return PipeHandle(pipe == INVALID_HANDLE_VALUE ? -1 : win32::FromHandle(pipe));
}

namespace {

// The user of process `id`'s token (TokenUser) into `*buffer`. False, with the system's last
// error, when it cannot be read.
bool ReadProcessUser(DWORD id, std::vector<BYTE>* buffer) {
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (process == nullptr)
    return false;
  HANDLE token = nullptr;
  const BOOL opened = ::OpenProcessToken(process, TOKEN_QUERY, &token);
  ::CloseHandle(process);
  if (!opened)
    return false;
  DWORD needed = 0;
  (void)::GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
  buffer->assign(needed == 0 ? 1 : needed, 0);
  const bool ok = ::GetTokenInformation(token, TokenUser, buffer->data(), needed, &needed) != 0;
  const DWORD error = ::GetLastError();
  ::CloseHandle(token);
  ::SetLastError(error);
  return ok;
}

// Whether the token of process `id` is LocalSystem's. False when it cannot be read.
bool RunsAsLocalSystem(DWORD id) {
  std::vector<BYTE> buffer;
  return ReadProcessUser(id, &buffer) &&
         ::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid,
                          WinLocalSystemSid);
}

}  // namespace

bool GetPipeClientUserSid(const PipeHandle& instance, std::u16string* sid) {
  ULONG processId = 0;
  if (!::GetNamedPipeClientProcessId(H(instance), &processId))
    return false;
  std::vector<BYTE> buffer;
  wchar_t* text = nullptr;
  if (!ReadProcessUser(processId, &buffer) ||
      !::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid,
                                &text)) {
    return false;
  }
  *sid = win32::FromW(text, ::wcslen(text));
  ::LocalFree(text);
  return true;
}

bool IsPipeServerTheSystemService(const PipeHandle& client, bool* isService) {
  ULONG process = 0;
  if (!::GetNamedPipeServerProcessId(H(client), &process))
    return false;
  // A process that serves its own requests needs no check of itself. Wine runs every
  // process, its services included, as one user in one session (1), so a server's identity
  // cannot tell a service apart there; it is a single-user machine, as the host is without
  // root.
  *isService =
      process == ::GetCurrentProcessId() || win32::RunsUnderWine() || RunsAsLocalSystem(process);
  return true;
}

bool GetPipeServerProcessId(const PipeHandle& client, std::uint32_t* processId) {
  ULONG process = 0;
  if (!::GetNamedPipeServerProcessId(H(client), &process))
    return false;
  *processId = process;
  return true;
}

bool SetPipeMessageReadMode(const PipeHandle& client) {
  DWORD mode = PIPE_READMODE_MESSAGE;
  return ::SetNamedPipeHandleState(H(client), &mode, nullptr, nullptr) != 0;
}

bool WritePipeMessage(const PipeHandle& client, const void* data, std::uint32_t size) {
  DWORD written = 0;
  return ::WriteFile(H(client), data, size, &written, nullptr) != 0;
}

bool ReadPipeMessage(const PipeHandle& client, void* buffer, std::uint32_t size,
                     std::uint32_t* bytesRead) {
  DWORD read = 0;
  const bool ok = ::ReadFile(H(client), buffer, size, &read, nullptr) != 0;
  const DWORD error = ::GetLastError();
  *bytesRead = read;
  ::SetLastError(error);
  return ok;
}

}  // namespace vovu::platform
