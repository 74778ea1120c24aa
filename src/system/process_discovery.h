// Whether any of the application's programs still runs from the installation directory.
#pragma once

namespace vovu {

// True as soon as one process other than this one runs an executable whose full image path
// (read with a 32768-character buffer) starts with the installation directory (with a
// trailing '\'), both compared in their canonical long form (platform/long_path.h: no
// `\\?\` prefix, no 8.3 names) and lower-cased, so subfolders count and a sibling folder whose name
// merely begins alike does not. Another copy of the service's own executable (a path of 16
// characters or more containing "vovudidavuda.exe") does not count. False when nothing
// matches, when the process list cannot be taken, and for processes that cannot be opened
// or whose path cannot be read; nothing else is reported.
[[nodiscard]] bool IsAnyAppProcessRunning();

}  // namespace vovu
