// Processes on Windows: the process list, image paths, sessions, ending and starting
// processes.
#include <vector>

#include "platform/fault_injection.h"
#include "platform/process.h"
#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <tlhelp32.h>
#include <userenv.h>

namespace vovu::platform {
namespace {

HANDLE H(const ProcessHandle& process) {
  return win32::ToHandle(process.get());
}

// The application name, command line (which CreateProcess may write to) and directory of
// `start` as the calls take them.
struct StartText {
  explicit StartText(const ProcessStart& start)
      : commandLine(start.commandLine.begin(), start.commandLine.end()),
        desktop(start.desktop.begin(), start.desktop.end()) {
    commandLine.push_back(L'\0');
    desktop.push_back(L'\0');
    application = start.applicationName.empty() ? nullptr : win32::W(start.applicationName);
    directory = start.currentDirectory.empty() ? nullptr : win32::W(start.currentDirectory);
  }
  std::vector<wchar_t> commandLine;
  std::vector<wchar_t> desktop;
  const wchar_t* application;
  const wchar_t* directory;
};

void Finish(const PROCESS_INFORMATION& info, std::uint32_t* processId) {
  if (processId != nullptr)
    *processId = info.dwProcessId;
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
}

// CreateProcessAsUserW with `token`, or CreateProcessW without one.
bool StartProcess(const TokenHandle* token, const ProcessStart& start, std::uint32_t* processId) {
  if (FaultDue(FaultPoint::kCreateProcess, u""))
    return false;
  StartText text(start);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!start.desktop.empty())
    startup.lpDesktop = text.desktop.data();
  PROCESS_INFORMATION info{};
  void* environment = start.environment == nullptr ? nullptr : start.environment->get();
  const BOOL started =
      token != nullptr
          ? ::CreateProcessAsUserW(
                win32::ToHandle(token->get()), text.application, text.commandLine.data(), nullptr,
                nullptr, FALSE, start.creationFlags, environment, text.directory, &startup, &info)
          : ::CreateProcessW(text.application, text.commandLine.data(), nullptr, nullptr, FALSE,
                             start.creationFlags, environment, text.directory, &startup, &info);
  if (!started)
    return false;
  Finish(info, processId);
  return true;
}

}  // namespace

void ProcessHandleTraits::Close(Type h) {
  ::CloseHandle(win32::ToHandle(h));
}

void EnvironmentBlockTraits::Close(Type block) {
  ::DestroyEnvironmentBlock(block);
}

bool SnapshotProcesses(std::vector<ProcessEntry>* processes) {
  if (FaultDue(FaultPoint::kProcessSnapshot, u""))
    return false;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return false;
  std::vector<ProcessEntry> list;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry)) {
    list.push_back({entry.th32ProcessID, win32::FromW(entry.szExeFile, wcslen(entry.szExeFile))});
  }
  ::CloseHandle(snapshot);
  *processes = std::move(list);
  return true;
}

std::uint32_t CurrentProcessId() {
  return ::GetCurrentProcessId();
}

bool ProcessSessionId(std::uint32_t processId, std::uint32_t* sessionId) {
  DWORD session = 0;
  if (!::ProcessIdToSessionId(processId, &session))
    return false;
  *sessionId = session;
  return true;
}

ProcessHandle OpenProcessById(std::uint32_t processId, std::uint32_t access) {
  return ProcessHandle(win32::FromHandle(::OpenProcess(access, FALSE, processId)));
}

bool QueryProcessImagePath(const ProcessHandle& process, std::u16string* path,
                           std::uint32_t capacity) {
  std::vector<wchar_t> buffer(capacity == 0 ? 1 : capacity);
  DWORD length = capacity;
  if (!::QueryFullProcessImageNameW(H(process), 0, buffer.data(), &length))
    return false;
  *path = win32::FromW(buffer.data(), length);
  return true;
}

bool QueryProcessStartTime(const ProcessHandle& process, std::int64_t* created) {
  FILETIME creation;
  FILETIME exit;
  FILETIME kernel;
  FILETIME user;
  if (!::GetProcessTimes(H(process), &creation, &exit, &kernel, &user))
    return false;
  *created = static_cast<std::int64_t>((static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) |
                                       creation.dwLowDateTime);
  return true;
}

bool TerminateProcessWithCode(const ProcessHandle& process, std::uint32_t exitCode) {
  return ::TerminateProcess(H(process), exitCode) != 0;
}

WaitResult WaitForProcessExit(const ProcessHandle& process, std::uint32_t timeoutMs) {
  switch (::WaitForSingleObject(H(process), timeoutMs)) {
    case WAIT_OBJECT_0:
      return WaitResult::kSignalled;
    case WAIT_TIMEOUT:
      ::SetLastError(WAIT_TIMEOUT);
      return WaitResult::kTimeout;
    default:
      return WaitResult::kFailed;
  }
}

TokenHandle DuplicatePrimaryToken(const TokenHandle& token) {
  if (FaultDue(FaultPoint::kDuplicateToken, u""))
    return TokenHandle();
  constexpr DWORD kAccess = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY |
                            TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID;
  HANDLE primary = nullptr;
  if (!::DuplicateTokenEx(win32::ToHandle(token.get()), kAccess, nullptr, SecurityIdentification,
                          TokenPrimary, &primary)) {
    return TokenHandle();
  }
  return TokenHandle(win32::FromHandle(primary));
}

EnvironmentBlock CreateUserEnvironmentBlock(const TokenHandle& token) {
  if (FaultDue(FaultPoint::kCreateEnvironmentBlock, u""))
    return EnvironmentBlock();
  void* block = nullptr;
  if (!::CreateEnvironmentBlock(&block, win32::ToHandle(token.get()), FALSE))
    return EnvironmentBlock();
  return EnvironmentBlock(block);
}

bool CreateProcessAsToken(const TokenHandle& token, const ProcessStart& start,
                          std::uint32_t* processId) {
  return StartProcess(&token, start, processId);
}

bool CreateProcessDirect(const ProcessStart& start, std::uint32_t* processId) {
  return StartProcess(nullptr, start, processId);
}

}  // namespace vovu::platform
