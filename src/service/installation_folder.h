// The installation folder must be the machine's.
//
// The service runs its own executable from it as LocalSystem, Windows loads the DLLs the
// executable asks for from it before the system folder (anything that is not a known DLL),
// korvaCF.exe in it is a machine-wide COM server, and a hot update replaces files below it
// by path. A user who is not an administrator and may change any of these, or the folders
// above them, has LocalSystem. So "install" refuses such a folder, and the service checks
// it at every start and, while it is open, refuses "hot-update-prepare" and
// "hot-update-commit".
//
// Rights are read with platform/object_rights.h (wine's made-up descriptors are described
// there). Nothing that a user or an administrator may set turns the check off.
#pragma once

#include <string>

namespace vovu {

// The line that starts every refusal.
inline constexpr char16_t kOpenInstallationFolder[] =
    u"installation folder is open to non-administrators: ";

// Most entries looked at below the installation folder (an application with its native
// modules has a few hundred); a larger tree is refused.
inline constexpr std::size_t kMaxInstallationEntries = 16384;

// Checks the folder of `executablePath`:
// - each folder above it, up to the drive's root: a trusted owner, no link, and no one
//   untrusted may delete or rename its entries or change its security (creating new names
//   in a folder above is harmless, since a name that exists cannot be made again: Windows
//   lets every user create folders in C:\);
// - the folder itself and every folder below it: also no one untrusted may add files or
//   folders or delete it;
// - every file below it: no one untrusted may write, append to or delete it.
// No entry below the folder may be a link. True when all hold; else false with
// kOpenInstallationFolder + "<path>: <what>", <what> being "owned by <SID>", "<SID> may
// write", "<SID> may add folders", "<SID> may delete it", "<SID> may delete its entries",
// "<SID> may change its security", "is a link", "cannot be read: <error text>" or "more
// than 16384 entries".
[[nodiscard]] bool CheckInstallationFolder(const std::u16string& executablePath,
                                           std::u16string* reason);

// What the running service found at its start: the refusal of the hot update for this run,
// empty when the folder is the machine's. Safe from any thread.
void SetInstallationFolderRefusal(const std::u16string& refusal);
[[nodiscard]] std::u16string InstallationFolderRefusal();

// The start-up check of the service: CheckInstallationFolder on its own executable; an open
// folder is logged and recorded as the run's refusal.
void CheckInstallationFolderAtStart();

}  // namespace vovu
