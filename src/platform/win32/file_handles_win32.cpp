#include <cstring>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/file_handles.h"
#include "platform/win32/privilege_scope.h"
#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <winternl.h>

namespace vovu::platform {

using win32::FromHandle;
using win32::ToHandle;
using win32::W;

namespace {

// What the handle of an entry checked, listed or locked down needs. With the backup and
// restore privileges and backup semantics, the system grants these whatever the entry's
// DACL says, as it must for a directory another user made and closed to everybody else.
// DELETE is not asked for by the open of a path: it would collide with any handle of the
// directory open meanwhile (the service's own enumerations included) that does not share
// deletion. The rename and the deletion reopen the entry through its handle with DELETE when
// the handle lacks it; an entry opened relative to its directory (inside a tree being
// removed) asks for DELETE at once.
constexpr DWORD kEntryAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_LIST_DIRECTORY |
                               FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens `name` relative to `root` without following a link; an empty name opens `root`'s own
// entry again, with the access asked for. Null with the last error on failure.
HANDLE OpenRelative(HANDLE root, const std::u16string& name, ACCESS_MASK access) {
  UNICODE_STRING objectName;
  objectName.Buffer = const_cast<PWSTR>(W(name));
  objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  objectName.MaximumLength = objectName.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK status{};
  HANDLE handle = nullptr;
  const win32::FileAdminPrivileges privileges;
  const NTSTATUS result = ::NtCreateFile(
      &handle, access | SYNCHRONIZE, &attributes, &status, nullptr, 0, kShareAll, FILE_OPEN,
      FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr,
      0);
  if (result < 0) {
    ::SetLastError(::RtlNtStatusToDosError(result));
    return nullptr;
  }
  return handle;
}

bool ValidComponent(const std::u16string& name) {
  return !name.empty() && name != u"." && name != u".." &&
         name.find_first_of(u"\\/:*?\"<>|") == std::u16string::npos &&
         name.find(u'\0') == std::u16string::npos && name.size() < 32767;
}

// Runs `action` on the entry's handle; when that handle lacks the delete right, once more on
// the same entry reopened through it with DELETE.
template <typename Action>
bool WithDeleteRight(const FileHandle& entry, Action action) {
  if (action(ToHandle(entry.get())))
    return true;
  if (::GetLastError() != ERROR_ACCESS_DENIED)
    return false;
  const FileHandle deletable(FromHandle(OpenRelative(ToHandle(entry.get()), u"", DELETE)));
  return deletable && action(ToHandle(deletable.get()));
}

}  // namespace

FileHandle OpenEntryNoFollow(const std::u16string& path) {
  const win32::FileAdminPrivileges privileges;
  return FileHandle(FromHandle(
      ::CreateFileW(W(path), kEntryAccess, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
}

FileHandle OpenDirectoryForNames(const std::u16string& path) {
  const win32::FileAdminPrivileges privileges;
  return FileHandle(FromHandle(::CreateFileW(
      W(path),
      FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
}

FileHandle OpenChildNoFollow(const FileHandle& directory, const std::u16string& name) {
  if (!ValidComponent(name)) {
    ::SetLastError(ERROR_INVALID_NAME);
    return FileHandle();
  }
  // Relative to the directory's handle: the path above is never walked again.
  HANDLE handle = OpenRelative(ToHandle(directory.get()), name,
                               READ_CONTROL | DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES);
  return handle != nullptr ? FileHandle(FromHandle(handle)) : FileHandle();
}

std::uint32_t GetHandleAttributes(const FileHandle& entry) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!::GetFileInformationByHandle(ToHandle(entry.get()), &information))
    return kInvalidFileAttributes;
  return information.dwFileAttributes;
}

bool ListDirectoryByHandle(const FileHandle& directory, std::vector<FindData>* entries) {
  entries->clear();
  std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));  // 8-byte aligned
  FILE_INFO_BY_HANDLE_CLASS type = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!::GetFileInformationByHandleEx(ToHandle(directory.get()), type, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof(buffer[0])))) {
      return ::GetLastError() == ERROR_NO_MORE_FILES;
    }
    type = FileIdBothDirectoryInfo;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (std::size_t offset = 0;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + offset);
      const std::u16string name =
          win32::FromW(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name != u"." && name != u"..")
        entries->push_back({name, info->FileAttributes});
      if (info->NextEntryOffset == 0)
        break;
      offset += info->NextEntryOffset;
    }
  }
}

bool RenameByHandle(const FileHandle& entry, const FileHandle& parent,
                    const std::u16string& newName) {
  if (FaultDue(FaultPoint::kMoveFile, newName))
    return false;
  if (!ValidComponent(newName)) {
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  // The NT call itself, with the parent's handle as the root directory: the name is resolved
  // relative to that handle, never to a path or to the process's current directory (which
  // a Win32 layer may take a bare name for).
  const std::size_t nameBytes = newName.size() * sizeof(wchar_t);
  std::vector<std::uint64_t> buffer((sizeof(FILE_RENAME_INFO) + nameBytes) / 8 + 1);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = ToHandle(parent.get());
  info->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(info->FileName, W(newName), nameBytes);
  return WithDeleteRight(entry, [&](HANDLE handle) {
    IO_STATUS_BLOCK status{};
    const NTSTATUS result = ::NtSetInformationFile(
        handle, &status, info, static_cast<ULONG>(buffer.size() * 8), FileRenameInformation);
    if (result < 0)
      ::SetLastError(::RtlNtStatusToDosError(result));
    return result >= 0;
  });
}

bool DeleteByHandle(const FileHandle& entry, const std::u16string& label) {
  const std::uint32_t attributes = GetHandleAttributes(entry);
  if (attributes == kInvalidFileAttributes)
    return false;
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  if (FaultDue(directory ? FaultPoint::kRemoveDirectory : FaultPoint::kDeleteFile, label))
    return false;
  const FileHandle deletable(FromHandle(OpenRelative(ToHandle(entry.get()), u"", DELETE)));
  if (!deletable)
    return false;
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return ::SetFileInformationByHandle(ToHandle(deletable.get()), FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != 0;
}

}  // namespace vovu::platform
