// A test seam: make a chosen platform operation fail with a chosen Win32 error.
//
// Both implementations consult it before doing the real work, so every named failure path
// of the service can be reached by a test on either target. Nothing is injected unless a
// test asks for it; production code never calls the setters.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace vovu::platform {

enum class FaultPoint {
  kOpenFileForRead,
  kCreateFileForWrite,
  kReadFile,
  kWriteFile,
  kCreateDirectory,
  kRemoveDirectory,
  kDeleteFile,
  kCopyFile,
  kMoveFile,
  kDiskFreeSpace,  // the free-space query of a volume fails (the path is the directory asked)
  kConvertSddl,
  kSetFileSecurity,
  kSha256Provider,
  kSha256CreateHash,
  kVersionInfo,
  // Registry (consulted by the host only). The path is the key's full path in the store,
  // the hive written "HKLM" or "HKU", a 32-bit view key under its WOW6432Node name:
  // u"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{...}".
  kRegistryOpen,   // opening or creating exactly that key fails
  kRegistryWrite,  // changing that key or anything below it fails: creating a key, setting
                   // or deleting a value, deleting a tree
  // Pipes and tokens. The path is the pipe name for kCreatePipeInstance, empty otherwise.
  kCreatePipeInstance,
  kImpersonatePipeClient,
  kRevertToSelf,  // RevertToSelf fails
  kOpenThreadToken,
  kOpenProcessToken,
  kQueryTokenInformation,  // the user and session queries
  kCheckTokenMembership,
  // Processes (platform/process.h); the path is empty.
  kProcessSnapshot,         // the process list cannot be taken
  kDuplicateToken,          // DuplicateTokenEx
  kCreateEnvironmentBlock,  // CreateEnvironmentBlock
  kCreateProcess,           // CreateProcessW, CreateProcessAsUserW and StartProgram
  // HTTPS (platform/http.h): the failures no real server can cause. The path is the URL for
  // kHttpCrackUrl, empty otherwise.
  kHttpCrackUrl,            // WinHttpCrackUrl
  kHttpOpen,                // WinHttpOpen
  kHttpConnect,             // WinHttpConnect
  kHttpOpenRequest,         // WinHttpOpenRequest
  kHttpSetOption,           // WinHttpSetOption
  kHttpQueryUrlSize,        // WinHttpQueryOption(WINHTTP_OPTION_URL) asking for the size
  kHttpQueryUrl,            // WinHttpQueryOption(WINHTTP_OPTION_URL) reading the address
  kHttpQueryDataAvailable,  // WinHttpQueryDataAvailable
  kHttpReadData,            // WinHttpReadData
  // Threads (platform/sync.h); the path is the thread's name.
  kCreateThread,
};

// From now on, `point` fails with `code` for a path equal to `path` (ignoring ASCII case),
// or for every path when `path` is empty. `times` < 0 means until cleared.
void InjectFault(FaultPoint point, const std::u16string& path, Win32Error code, int times = -1);
void ClearFaults();

// Used by the implementations: true (with the last error set) when a fault is due.
[[nodiscard]] bool FaultDue(FaultPoint point, const std::u16string& path);

// From now on, the free-space query of the volume holding `directory` (ignoring ASCII case;
// every directory when empty) succeeds with `bytes`, whatever the disk holds, until
// ClearFaults: a full or nearly full volume without filling one.
void InjectFreeDiskBytes(const std::u16string& directory, std::uint64_t bytes);

// Used by the implementations: true with `*bytes` set when a free-space answer is injected.
[[nodiscard]] bool FreeDiskBytesDue(const std::u16string& directory, std::uint64_t* bytes);

}  // namespace vovu::platform
