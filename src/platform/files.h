// Files and directories, in the shape of the Win32 file interfaces.
//
// Paths are Windows paths ("C:\ProgramData\..."). On the host they are mapped into the
// emulated machine (see docs/host-platform.md). Every failure returns false (or an invalid
// handle, or kInvalidFileAttributes) and leaves the Win32 error code as the last error.
#pragma once

#include <cstdint>
#include <string>

#include "platform/native_handle.h"

namespace vovu::platform {

class Event;

inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr std::uint32_t kFileAttributeReadOnly = 0x1;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;
inline constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;

// Share modes, as FILE_SHARE_*: what other openers of the same file may do meanwhile.
inline constexpr std::uint32_t kShareNone = 0;
inline constexpr std::uint32_t kShareRead = 1;
inline constexpr std::uint32_t kShareWrite = 2;
inline constexpr std::uint32_t kShareDelete = 4;

struct FileHandleTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return -1; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);
};
using FileHandle = UniqueHandle<FileHandleTraits>;

// Opens an existing file for generic read with the given share mode (OPEN_EXISTING).
[[nodiscard]] FileHandle OpenFileForRead(const std::u16string& path, std::uint32_t shareMode);

// Creates a file for generic write with the given share mode. `createAlways` replaces an
// existing file (CREATE_ALWAYS); otherwise an existing file fails with 80 (CREATE_NEW).
[[nodiscard]] FileHandle CreateFileForWrite(const std::u16string& path, std::uint32_t shareMode,
                                            bool createAlways);

// The size of an open file in bytes.
[[nodiscard]] bool GetFileSize(const FileHandle& file, std::int64_t* size);

// One read request of up to `size` bytes; `*bytesRead` is 0 at the end of the file.
[[nodiscard]] bool ReadFromFile(const FileHandle& file, void* buffer, std::uint32_t size,
                                std::uint32_t* bytesRead);

// One write request; succeeds only when every byte was written.
[[nodiscard]] bool WriteToFile(const FileHandle& file, const void* data, std::uint32_t size);

// Flushes the file's buffers to the disk.
bool FlushFile(const FileHandle& file);

// The attributes of the path itself (a link is not followed), or kInvalidFileAttributes.
// A symbolic link or junction carries kFileAttributeReparsePoint, and the directory bit
// when it stands for a directory.
[[nodiscard]] std::uint32_t GetAttributes(const std::u16string& path);

// GetFileAttributesExW: the path's attributes and size, without following a link.
[[nodiscard]] bool GetAttributesAndSize(const std::u16string& path, std::uint32_t* attributes,
                                        std::uint64_t* size);

// Creates one directory with default security; 183 when something already has that name.
[[nodiscard]] bool CreateDirectoryAt(const std::u16string& path);

// Removes an empty directory, or a directory link itself (never what it points to).
[[nodiscard]] bool RemoveDirectoryAt(const std::u16string& path);

// Deletes a file, or a file link itself.
[[nodiscard]] bool DeleteFileAt(const std::u16string& path);

// Copies a file's content; with `failIfExists` an existing target fails with 80, and so does
// a link of that name (never followed then: the target is created new). The copy gets the
// default rights of its folder, never the source's, and is flushed to the disk before the
// call returns, so that a rename of it that follows is never written ahead of its data.
// `stop`, when given, is looked at between the copy's pieces (at most 64 MiB each): once it is
// set the copy ends with 995 and the part written is deleted.
[[nodiscard]] bool CopyFileTo(const std::u16string& from, const std::u16string& to,
                              bool failIfExists, const Event* stop = nullptr);

// Renames `from` to `to`, replacing an existing file there (MOVEFILE_REPLACE_EXISTING), and
// returns only once the rename is on disk (MOVEFILE_WRITE_THROUGH; on the host, the target's
// directory is synced): these renames decide the installed files and the saved state.
[[nodiscard]] bool MoveFileReplacing(const std::u16string& from, const std::u16string& to);

// GetDiskFreeSpaceExW: the bytes the caller may still write on the volume that holds the
// existing directory `directory` (quotas included). On the host, statvfs of the mapped
// directory: the blocks free to unprivileged writers times the fragment size.
[[nodiscard]] bool GetFreeDiskBytes(const std::u16string& directory, std::uint64_t* freeBytes);

// One entry of a directory enumeration.
struct FindData {
  std::u16string name;
  std::uint32_t attributes = 0;
};

struct FindHandleTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return -1; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);
};
using FindHandle = UniqueHandle<FindHandleTraits>;

// Starts enumerating `pattern` (a directory joined with "*" or with "*.<extension>"; the
// host supports only those two forms) and fills the first entry, "." and ".." included as on
// Windows when they match. No match at all fails with 2 (file not found).
[[nodiscard]] FindHandle FindFirstEntry(const std::u16string& pattern, FindData* entry);

// The next entry; false with 18 (no more files) at the end.
[[nodiscard]] bool FindNextEntry(const FindHandle& find, FindData* entry);

inline constexpr Win32Error kErrorNoMoreFiles = 18;

}  // namespace vovu::platform
