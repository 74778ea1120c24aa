#include <vector>

#include "platform/fault_injection.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {

using win32::FromHandle;
using win32::ToHandle;
using win32::W;

void FileHandleTraits::Close(Type h) {
  ::CloseHandle(ToHandle(h));
}

FileHandle OpenFileForRead(const std::u16string& path, std::uint32_t shareMode) {
  if (FaultDue(FaultPoint::kOpenFileForRead, path))
    return FileHandle();
  return FileHandle(FromHandle(::CreateFileW(W(path), GENERIC_READ, shareMode, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

FileHandle CreateFileForWrite(const std::u16string& path, std::uint32_t shareMode,
                              bool createAlways) {
  if (FaultDue(FaultPoint::kCreateFileForWrite, path))
    return FileHandle();
  return FileHandle(FromHandle(::CreateFileW(W(path), GENERIC_WRITE, shareMode, nullptr,
                                             createAlways ? CREATE_ALWAYS : CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL, nullptr)));
}

bool GetFileSize(const FileHandle& file, std::int64_t* size) {
  LARGE_INTEGER value;
  if (!::GetFileSizeEx(ToHandle(file.get()), &value))
    return false;
  *size = value.QuadPart;
  return true;
}

bool ReadFromFile(const FileHandle& file, void* buffer, std::uint32_t size,
                  std::uint32_t* bytesRead) {
  *bytesRead = 0;
  if (FaultDue(FaultPoint::kReadFile, u""))
    return false;
  DWORD read = 0;
  if (!::ReadFile(ToHandle(file.get()), buffer, size, &read, nullptr))
    return false;
  *bytesRead = read;
  return true;
}

bool WriteToFile(const FileHandle& file, const void* data, std::uint32_t size) {
  if (FaultDue(FaultPoint::kWriteFile, u""))
    return false;
  DWORD written = 0;
  if (!::WriteFile(ToHandle(file.get()), data, size, &written, nullptr))
    return false;
  if (written != size) {
    ::SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  return true;
}

bool FlushFile(const FileHandle& file) {
  return ::FlushFileBuffers(ToHandle(file.get())) != 0;
}

std::uint32_t GetAttributes(const std::u16string& path) {
  return ::GetFileAttributesW(W(path));
}

bool GetAttributesAndSize(const std::u16string& path, std::uint32_t* attributes,
                          std::uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(W(path), GetFileExInfoStandard, &data))
    return false;
  *attributes = data.dwFileAttributes;
  *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool CreateDirectoryAt(const std::u16string& path) {
  if (FaultDue(FaultPoint::kCreateDirectory, path))
    return false;
  return ::CreateDirectoryW(W(path), nullptr) != 0;
}

bool RemoveDirectoryAt(const std::u16string& path) {
  if (FaultDue(FaultPoint::kRemoveDirectory, path))
    return false;
  return ::RemoveDirectoryW(W(path)) != 0;
}

bool DeleteFileAt(const std::u16string& path) {
  if (FaultDue(FaultPoint::kDeleteFile, path))
    return false;
  return ::DeleteFileW(W(path)) != 0;
}

bool CopyFileTo(const std::u16string& from, const std::u16string& to, bool failIfExists,
                const Event* stop) {
  if (FaultDue(FaultPoint::kCopyFile, to))
    return false;
  // Not CopyFileW: it may carry the source's explicit security entries to the copy. The
  // target is created here with no security attributes, so it gets what its folder passes
  // on; CREATE_NEW never opens an existing name, a link included.
  const FileHandle source = OpenFileForRead(from, kShareRead);
  if (!source)
    return false;
  FileHandle target = CreateFileForWrite(to, kShareNone, !failIfExists);
  if (!target)
    return false;
  std::vector<unsigned char> buffer(1 << 20);
  for (std::uint32_t pieces = 0;; ++pieces) {
    // Every 64 pieces of 1 MiB: a stop ends the copy and the part written goes.
    if (pieces % 64 == 0 && stop != nullptr && stop->Wait(0) == WaitResult::kSignalled) {
      target.reset();
      (void)DeleteFileAt(to);
      SetLastErrorCode(kErrorOperationAborted);
      return false;
    }
    std::uint32_t got = 0;
    if (!ReadFromFile(source, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got))
      return false;
    if (got == 0)
      return FlushFile(target);
    if (!WriteToFile(target, buffer.data(), got))
      return false;
  }
}

bool MoveFileReplacing(const std::u16string& from, const std::u16string& to) {
  if (FaultDue(FaultPoint::kMoveFile, from) || FaultDue(FaultPoint::kMoveFile, to))
    return false;
  return ::MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool GetFreeDiskBytes(const std::u16string& directory, std::uint64_t* freeBytes) {
  if (FreeDiskBytesDue(directory, freeBytes))
    return true;
  if (FaultDue(FaultPoint::kDiskFreeSpace, directory))
    return false;
  ULARGE_INTEGER available;
  if (!::GetDiskFreeSpaceExW(W(directory), &available, nullptr, nullptr))
    return false;
  *freeBytes = available.QuadPart;
  return true;
}

void FindHandleTraits::Close(Type h) {
  ::FindClose(ToHandle(h));
}

namespace {
void Fill(const WIN32_FIND_DATAW& data, FindData* entry) {
  entry->name = reinterpret_cast<const char16_t*>(data.cFileName);
  entry->attributes = data.dwFileAttributes;
}
}  // namespace

FindHandle FindFirstEntry(const std::u16string& pattern, FindData* entry) {
  WIN32_FIND_DATAW data;
  FindHandle find(FromHandle(::FindFirstFileW(W(pattern), &data)));
  if (find)
    Fill(data, entry);
  return find;
}

bool FindNextEntry(const FindHandle& find, FindData* entry) {
  WIN32_FIND_DATAW data;
  if (!::FindNextFileW(ToHandle(find.get()), &data))
    return false;
  Fill(data, entry);
  return true;
}

}  // namespace vovu::platform
