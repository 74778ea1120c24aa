// Opening a file that a user named, for reading, the way the service may do it: once, and
// so that nothing at that path can act as the opener.
//
// The caller impersonates the user around the open, so the user's own rights decide what is
// read. The path is opened once and everything after works on that handle:
//   - a link at the last component is not followed (FILE_FLAG_OPEN_REPARSE_POINT; the host's
//     O_NOFOLLOW) and is refused with 1921, as is anything that is not a plain file on a disk
//     (a directory, a pipe, a device) with 5;
//   - a named-pipe server behind the path learns at most who opened it: the open carries
//     SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION (no impersonation, no delegation);
//   - others may go on reading, writing, renaming and deleting the file meanwhile (share
//     read, write and delete), so the reader never holds up whoever owns the file.
// Like any open, it can wait for as long as an oplock holder (a lease on the host) or a slow
// device makes it: callers that must not wait run it on a background thread.
#pragma once

#include <string>

#include "platform/files.h"

namespace vovu::platform {

inline constexpr Win32Error kErrorCantResolveFilename = 1921;

// The open described above, for generic read. Fault point kOpenFileForRead with the path.
[[nodiscard]] FileHandle OpenUserFileForRead(const std::u16string& path);

}  // namespace vovu::platform
