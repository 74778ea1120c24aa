// Programs the caller starts and waits for: CreateProcessW keeping the process handle, with
// inheritable standard handles when asked (and only those, through an explicit inherit
// list), and the waits and exit code around it.
#include <vector>

#include "platform/fault_injection.h"
#include "platform/process.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {
namespace {

HANDLE H(const ProcessHandle& process) {
  return win32::ToHandle(process.get());
}

HANDLE HandleOf(const FileHandle* file) {
  return file != nullptr ? win32::ToHandle(file->get()) : nullptr;
}

SECURITY_ATTRIBUTES Inheritable() {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.bInheritHandle = TRUE;
  return attributes;
}

}  // namespace

FileHandle CreateInheritableOutputFile(const std::u16string& path) {
  if (FaultDue(FaultPoint::kCreateFileForWrite, path))
    return FileHandle();
  SECURITY_ATTRIBUTES attributes = Inheritable();
  return FileHandle(
      win32::FromHandle(::CreateFileW(win32::W(path), GENERIC_WRITE, FILE_SHARE_READ, &attributes,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr)));
}

FileHandle OpenInheritableNullDevice() {
  SECURITY_ATTRIBUTES attributes = Inheritable();
  return FileHandle(
      win32::FromHandle(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &attributes, OPEN_EXISTING, 0, nullptr)));
}

bool StartProgram(const ProcessStart& start, const StandardHandles* handles,
                  ProcessHandle* process) {
  if (FaultDue(FaultPoint::kCreateProcess, u""))
    return false;
  std::vector<wchar_t> commandLine(start.commandLine.begin(), start.commandLine.end());
  commandLine.push_back(L'\0');
  STARTUPINFOEXW startupEx{};
  STARTUPINFOW& startup = startupEx.StartupInfo;
  startup.cb = sizeof startup;
  // With handles to pass on, the program inherits exactly those (an explicit inherit list):
  // the caller's other inheritable handles, of any thread, stay its own.
  std::vector<HANDLE> inherited;
  std::vector<unsigned char> attributeList;
  if (handles != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = HandleOf(handles->input);
    startup.hStdOutput = HandleOf(handles->output);
    startup.hStdError = HandleOf(handles->error);
    for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
      bool listed = h == nullptr || h == INVALID_HANDLE_VALUE;
      for (HANDLE seen : inherited)
        listed = listed || seen == h;
      if (!listed)
        inherited.push_back(h);
    }
  }
  DWORD flags = start.creationFlags;
  if (!inherited.empty()) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    attributeList.resize(size);
    startupEx.lpAttributeList =
        reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeList.data());
    if (!::InitializeProcThreadAttributeList(startupEx.lpAttributeList, 1, 0, &size))
      return false;
    if (!::UpdateProcThreadAttribute(startupEx.lpAttributeList, 0,
                                     PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                     inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
      const DWORD error = ::GetLastError();
      ::DeleteProcThreadAttributeList(startupEx.lpAttributeList);
      ::SetLastError(error);
      return false;
    }
    startup.cb = sizeof startupEx;
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  // Wine gives a console program started with CREATE_NO_WINDOW by a process without a console
  // a console host of its own, which inherits every inheritable handle of the caller and
  // outlives the program by a moment: the caller's output file stays open elsewhere and
  // cannot be read or deleted right after the program ends. Without a console at all the
  // program writes to the handles it was given just the same, so under wine, and only when
  // handles are passed on, it is started detached instead.
  if (handles != nullptr && (flags & CREATE_NO_WINDOW) != 0 && win32::RunsUnderWine())
    flags = (flags & ~static_cast<DWORD>(CREATE_NO_WINDOW)) | DETACHED_PROCESS;
  PROCESS_INFORMATION info{};
  const BOOL started =
      ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr,
                       handles != nullptr ? TRUE : FALSE, flags, nullptr, nullptr, &startup, &info);
  const DWORD error = ::GetLastError();
  if (startupEx.lpAttributeList != nullptr)
    ::DeleteProcThreadAttributeList(startupEx.lpAttributeList);
  if (!started) {
    ::SetLastError(error);
    return false;
  }
  ::CloseHandle(info.hThread);
  process->reset(win32::FromHandle(info.hProcess));
  return true;
}

WaitResult WaitForProcessOrEvent(const ProcessHandle& process, const Event* event,
                                 std::uint32_t timeoutMs, bool* processEnded) {
  HANDLE objects[2];
  DWORD count = 0;
  if (event != nullptr)
    objects[count++] = win32::ToHandle(event->native());
  objects[count++] = H(process);
  const DWORD result = ::WaitForMultipleObjects(count, objects, FALSE, timeoutMs);
  if (result == WAIT_TIMEOUT) {
    ::SetLastError(WAIT_TIMEOUT);
    return WaitResult::kTimeout;
  }
  if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
    *processEnded = result - WAIT_OBJECT_0 == count - 1;
    return WaitResult::kSignalled;
  }
  return WaitResult::kFailed;
}

bool GetProcessExitCode(const ProcessHandle& process, std::uint32_t* exitCode) {
  DWORD code = 0;
  if (!::GetExitCodeProcess(H(process), &code))
    return false;
  *exitCode = code;
  return true;
}

}  // namespace vovu::platform
