// Win32 error codes as the service sees them, and the calling thread's last error.
//
// Every platform operation that fails leaves a Win32 error code as the thread's last
// error, exactly as the Windows call it stands for would, so that messages that embed
// "error=N" read the same on both targets.
#pragma once

#include <cstdint>

namespace vovu::platform {

using Win32Error = std::uint32_t;

inline constexpr Win32Error kErrorSuccess = 0;
inline constexpr Win32Error kErrorInvalidFunction = 1;
inline constexpr Win32Error kErrorFileNotFound = 2;
inline constexpr Win32Error kErrorPathNotFound = 3;
inline constexpr Win32Error kErrorAccessDenied = 5;
inline constexpr Win32Error kErrorInvalidHandle = 6;
inline constexpr Win32Error kErrorNotEnoughMemory = 8;
inline constexpr Win32Error kErrorInvalidData = 13;
inline constexpr Win32Error kErrorNotSameDevice = 17;
inline constexpr Win32Error kErrorWriteFault = 29;
inline constexpr Win32Error kErrorReadFault = 30;
inline constexpr Win32Error kErrorSharingViolation = 32;
inline constexpr Win32Error kErrorHandleEof = 38;
inline constexpr Win32Error kErrorNotSupported = 50;
inline constexpr Win32Error kErrorFileExists = 80;
inline constexpr Win32Error kErrorInvalidParameter = 87;
inline constexpr Win32Error kErrorDiskFull = 112;
inline constexpr Win32Error kErrorInsufficientBuffer = 122;
inline constexpr Win32Error kErrorInvalidName = 123;
inline constexpr Win32Error kErrorDirNotEmpty = 145;
inline constexpr Win32Error kErrorAlreadyExists = 183;
inline constexpr Win32Error kErrorMoreData = 234;  // a buffer was too small for the data
inline constexpr Win32Error kErrorEnvVarNotFound = 203;
inline constexpr Win32Error kErrorFilenameExcedRange = 206;
inline constexpr Win32Error kErrorDirectory = 267;
inline constexpr Win32Error kErrorResourceDataNotFound = 1812;
inline constexpr Win32Error kErrorResourceTypeNotFound = 1813;
inline constexpr Win32Error kErrorBadExeFormat = 193;
inline constexpr Win32Error kErrorNotAReparsePoint = 4390;
inline constexpr Win32Error kErrorOperationAborted = 995;  // a stop ended the call

// The calling thread's last error (GetLastError on Windows; a thread-local on the host).
[[nodiscard]] Win32Error LastError();
void SetLastErrorCode(Win32Error code);

}  // namespace vovu::platform
