// Where the desktop application's executable is, for the relaunches after a commit or a
// rollback.
#pragma once

#include <string>

namespace vovu {

// The installation directory's Korvadesk.exe when it exists as a file. Otherwise the first
// "*.exe" file the directory enumeration yields (spelled as on disk) that is not
// korvaCF.exe, vovudidavuda.exe or a name beginning with "uninstall" or "setup" (letter case
// ignored). When there is none, or the enumeration cannot start, the Korvadesk.exe path all
// the same: the launch that uses it then fails and says so. Never fails.
[[nodiscard]] std::u16string FindDesktopAppExecutable();

}  // namespace vovu
