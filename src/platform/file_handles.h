// Files and directories by handle: an entry is opened once, without following a link in its
// last component, and then checked, listed, renamed and deleted through that handle, so that
// a name swapped for a link (or a junction) after the open changes nothing that is done.
//
// Windows: CreateFileW with FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS (the
// backup and restore privileges enabled around it), NtCreateFile relative to a directory's
// handle (or to the entry's own, with an empty name) with FILE_OPEN_REPARSE_POINT,
// GetFileInformationByHandle(Ex) and NtSetInformationFile (FileRenameInformation) and
// SetFileInformationByHandle (FileDispositionInfo). Host: open/openat with O_NOFOLLOW (O_PATH for a
// link, which is opened as itself); renames and deletions name the entry by the path the kernel
// keeps for the descriptor and act only when that name still leads to the same inode
// (docs/host-platform.md).
//
// Components above the last one are followed, as every Windows path call follows them: only
// a handle, never a path, proves where something is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace vovu::platform {

// Opens the file, directory or link at `path` itself. The handle may read attributes, read
// and set security, list a directory, rename and delete (those two reopen the same entry
// through the handle with the delete right). Others may keep using the entry meanwhile:
// whatever they rename, the handle still names the same entry.
[[nodiscard]] FileHandle OpenEntryNoFollow(const std::u16string& path);

// Opens the directory `path` (links followed, as by any path call) only to name entries
// relative to it, such as the target of RenameByHandle. It asks for no right that others'
// handles could conflict with: they may do anything meanwhile.
[[nodiscard]] FileHandle OpenDirectoryForNames(const std::u16string& path);

// The same for `name` (one component, not "." or "..") inside the open `directory`, relative
// to the handle and never through a path. A bad name fails with 123.
[[nodiscard]] FileHandle OpenChildNoFollow(const FileHandle& directory, const std::u16string& name);

// The attributes of the open entry (GetFileInformationByHandle): a link carries
// kFileAttributeReparsePoint. kInvalidFileAttributes with the last error on failure.
[[nodiscard]] std::uint32_t GetHandleAttributes(const FileHandle& entry);

// Every entry of the open directory except "." and "..", with its attributes as
// FindFirstFile reports them (a link as a link).
[[nodiscard]] bool ListDirectoryByHandle(const FileHandle& directory,
                                         std::vector<FindData>* entries);

// Renames the open entry to `newName` (one component) inside the open directory `parent`
// (relative to that handle: NtSetInformationFile, FileRenameInformation with a root
// directory), never replacing anything: 183 when the name is taken.
[[nodiscard]] bool RenameByHandle(const FileHandle& entry, const FileHandle& parent,
                                  const std::u16string& newName);

// Deletes the open entry: a file, a link itself, or an empty directory (145 otherwise). A
// file with the read-only attribute stays (5). `label` is the entry's path as the caller
// knows it, used only by the fault seam (kDeleteFile, or kRemoveDirectory for a directory).
// On Windows the entry goes when its last handle closes.
[[nodiscard]] bool DeleteByHandle(const FileHandle& entry, const std::u16string& label);

}  // namespace vovu::platform
