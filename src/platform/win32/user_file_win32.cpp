// A user's file opened once for reading on Windows (platform/user_file.h).
#include "platform/fault_injection.h"
#include "platform/user_file.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {

FileHandle OpenUserFileForRead(const std::u16string& path) {
  if (FaultDue(FaultPoint::kOpenFileForRead, path))
    return FileHandle();
  const DWORD flags =
      FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  FileHandle file(win32::FromHandle(::CreateFileW(
      win32::W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, flags, nullptr)));
  if (!file)
    return file;
  if (::GetFileType(win32::ToHandle(file.get())) != FILE_TYPE_DISK) {
    ::SetLastError(ERROR_ACCESS_DENIED);  // a pipe or a device
    return FileHandle();
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(win32::ToHandle(file.get()), &information))
    return FileHandle();
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    ::SetLastError(kErrorCantResolveFilename);
    return FileHandle();
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FileHandle();
  }
  return file;
}

}  // namespace vovu::platform
