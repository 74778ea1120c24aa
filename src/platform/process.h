// Processes: the process list, a process's image path and session, ending a process, and
// starting programs, either as the service itself or as a token's user.
//
// Windows: CreateToolhelp32Snapshot with Process32FirstW/Process32NextW, OpenProcess,
// QueryFullProcessImageNameW, ProcessIdToSessionId, TerminateProcess, WaitForSingleObject,
// DuplicateTokenEx, CreateEnvironmentBlock/DestroyEnvironmentBlock, CreateProcessW and
// CreateProcessAsUserW.
//
// Host: processes are Linux processes read from /proc.
//   - A process's image name is the file name of /proc/<pid>/exe (the Name line of
//     /proc/<pid>/status when the link cannot be read); its full image path is that link
//     mapped back to a Windows path.
//   - A process's session is the value of kSessionMarkerVariable in the environment it was
//     started with (/proc/<pid>/environ) when it has one, else its Linux session (getsid).
//     Linux cannot move a process into an existing session, so a program started as a
//     token's user carries the token's session in that variable, and its children inherit it
//     the way Windows children inherit their parent's session.
//   - A started program is not the caller's child (forked twice, nothing waits for it), runs
//     with its standard handles on /dev/null and ignores the desktop name. Started as a
//     user it leads a new Linux session and takes the token's groups, gid and uid (only root
//     can switch user: anyone else gets 1314 unless the token is its own user).
//   - A program started with StartProgram is different: it is the caller's own child, which
//     the caller waits for, terminates and asks for its exit code (a terminated child's code
//     is the one given to TerminateProcessWithCode; one killed by any other signal has 1).
//     Its standard handles are the ones given, or /dev/null. Arguments that are absolute
//     Windows paths (a drive letter, a colon and a backslash) reach it as host paths, since
//     the machine's programs that take paths (its tar.exe is the host's bsdtar) are Linux
//     programs. A child still running when its last handle closes is left to run; it is
//     reaped when the service exits.
// Tests reach the failures through the fault points kProcessSnapshot, kDuplicateToken,
// kCreateEnvironmentBlock and kCreateProcess.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/identity.h"
#include "platform/native_handle.h"
#include "platform/sync.h"

namespace vovu::platform {

inline constexpr Win32Error kErrorPrivilegeNotHeld = 1314;

// GetExitCodeProcess's answer for a process that still runs (STILL_ACTIVE).
inline constexpr std::uint32_t kStillActive = 259;

// OpenProcess access rights.
inline constexpr std::uint32_t kProcessTerminate = 0x0001;
inline constexpr std::uint32_t kProcessQueryLimitedInformation = 0x1000;
inline constexpr std::uint32_t kSynchronize = 0x00100000;

// Process creation flags.
inline constexpr std::uint32_t kCreateUnicodeEnvironment = 0x00000400;
inline constexpr std::uint32_t kCreateNoWindow = 0x08000000;

// The interactive desktop of a session.
inline constexpr char16_t kInteractiveDesktop[] = u"winsta0\\default";

// The host's record of the session a started program belongs to (see above).
inline constexpr char kSessionMarkerVariable[] = "VOVU_SESSION";

struct ProcessHandleTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return 0; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);
};
// An open process, closed when the owner goes.
using ProcessHandle = UniqueHandle<ProcessHandleTraits>;

// One entry of the process list: the process id and the file name of its executable
// ("korvaCF.exe", no directory).
struct ProcessEntry {
  std::uint32_t processId = 0;
  std::u16string exeName;
};

// Takes the list of all processes at once. False (list untouched) when it cannot be taken.
[[nodiscard]] bool SnapshotProcesses(std::vector<ProcessEntry>* processes);

// The calling process's id.
[[nodiscard]] std::uint32_t CurrentProcessId();

// ProcessIdToSessionId: the session of process `processId`. False with 87 when there is no
// such process, 5 when it may not be asked.
[[nodiscard]] bool ProcessSessionId(std::uint32_t processId, std::uint32_t* sessionId);

// OpenProcess(access, no inheritance); invalid with the last error (87 for no such process)
// on failure.
[[nodiscard]] ProcessHandle OpenProcessById(std::uint32_t processId, std::uint32_t access);

// QueryFullProcessImageNameW in Win32 form with a buffer of `capacity` characters: false
// with 122 when the path (and its terminator) does not fit, 5 when it may not be read.
[[nodiscard]] bool QueryProcessImagePath(const ProcessHandle& process, std::u16string* path,
                                         std::uint32_t capacity);

// GetProcessTimes: when the process was created, in 100-ns units since 1601-01-01 UTC. The
// handle needs kProcessQueryLimitedInformation. The host knows the start to one clock tick
// (/proc/<pid>/stat) and answers the end of that tick, never a time before the real start.
[[nodiscard]] bool QueryProcessStartTime(const ProcessHandle& process, std::int64_t* created);

// TerminateProcess. Ending a process that has already ended succeeds on the host; Windows
// answers 5.
[[nodiscard]] bool TerminateProcessWithCode(const ProcessHandle& process, std::uint32_t exitCode);

// Waits up to `timeoutMs` (kInfiniteWait: no limit) for the process to end; the handle needs
// kSynchronize access.
[[nodiscard]] WaitResult WaitForProcessExit(const ProcessHandle& process, std::uint32_t timeoutMs);

// DuplicateTokenEx to a primary token with TOKEN_ASSIGN_PRIMARY, TOKEN_DUPLICATE,
// TOKEN_QUERY, TOKEN_ADJUST_DEFAULT and TOKEN_ADJUST_SESSIONID, default security,
// SecurityIdentification. Invalid with the last error on failure: 1346 when `token` is a
// pipe client's token at identification level (the client did not allow impersonation).
[[nodiscard]] TokenHandle DuplicatePrimaryToken(const TokenHandle& token);

inline constexpr Win32Error kErrorBadImpersonationLevel = 1346;

struct EnvironmentBlockTraits {
  using Type = void*;
  static constexpr Type Invalid() { return nullptr; }
  static constexpr bool IsValid(Type block) { return block != nullptr; }
  static void Close(Type block);  // DestroyEnvironmentBlock
};
// A user's environment block (UTF-16 "NAME=value" strings, each NUL-terminated, then one
// more NUL), destroyed when the owner goes.
using EnvironmentBlock = UniqueHandle<EnvironmentBlockTraits>;

// CreateEnvironmentBlock(token, inherit = FALSE): the token user's own environment, not the
// caller's. The host gives the user's Windows variables (USERPROFILE, USERNAME, HOMEDRIVE,
// HOMEPATH, APPDATA, LOCALAPPDATA, SystemRoot, windir, SystemDrive, ProgramData), the
// Linux ones (HOME, USER, LOGNAME, SHELL, PATH) and the machine root's variable. Invalid
// with the last error on failure.
[[nodiscard]] EnvironmentBlock CreateUserEnvironmentBlock(const TokenHandle& token);

// What to start. An empty application name takes the program from the command line's first
// word; an empty directory keeps the caller's; an empty desktop names none.
struct ProcessStart {
  std::u16string applicationName;
  std::u16string commandLine;
  std::u16string currentDirectory;
  std::u16string desktop;
  std::uint32_t creationFlags = kCreateNoWindow;
  const EnvironmentBlock* environment = nullptr;  // null: the caller's own environment
};

// CreateProcessAsUserW with the primary token `token`, no inherited handles, default
// security. The new process's id goes to `*processId` (when not null); its process and
// thread handles are closed at once. False with the last error (2/3 for a missing program,
// 5 for one that may not be run, 193 for one that is not a program, 267 for a missing
// directory, 1314 without the right to start as another user) when nothing was started.
[[nodiscard]] bool CreateProcessAsToken(const TokenHandle& token, const ProcessStart& start,
                                        std::uint32_t* processId);

// CreateProcessW in the caller's own context (same user and session), otherwise as above.
[[nodiscard]] bool CreateProcessDirect(const ProcessStart& start, std::uint32_t* processId);

// A started program's standard input, output and error. Each must be inheritable.
struct StandardHandles {
  const FileHandle* input = nullptr;
  const FileHandle* output = nullptr;
  const FileHandle* error = nullptr;
};

// CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, inheritable, CREATE_ALWAYS,
// FILE_ATTRIBUTE_TEMPORARY): a file to take a program's output. Invalid with the last error
// on failure (kCreateFileForWrite for the path reaches it in tests).
[[nodiscard]] FileHandle CreateInheritableOutputFile(const std::u16string& path);

// CreateFileW("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, inheritable,
// OPEN_EXISTING): the null device, as a program's input.
[[nodiscard]] FileHandle OpenInheritableNullDevice();

// CreateProcessW in the caller's context with the command line alone (no application name,
// the caller's environment and directory), keeping the process handle (with terminate,
// synchronize and query rights) for the caller; the thread handle is closed at once. With
// `handles`, they become the program's standard handles and are the only handles it
// inherits (an explicit inherit list: another inheritable handle of the caller, such as
// another thread's output file, is never passed on); without, nothing is inherited. False with the
// last error (as CreateProcessDirect) when nothing was started.
[[nodiscard]] bool StartProgram(const ProcessStart& start, const StandardHandles* handles,
                                ProcessHandle* process);

// WaitForMultipleObjects({event, process}, any, timeoutMs): kSignalled when either ended the
// wait, with `*processEnded` false when it was the event (the event wins when both are
// set). A null event waits for the process alone.
[[nodiscard]] WaitResult WaitForProcessOrEvent(const ProcessHandle& process, const Event* event,
                                               std::uint32_t timeoutMs, bool* processEnded);

// GetExitCodeProcess: the exit code, or kStillActive while the process runs.
[[nodiscard]] bool GetProcessExitCode(const ProcessHandle& process, std::uint32_t* exitCode);

}  // namespace vovu::platform
