// Swapping installed application files for new ones, keeping the previous file as a ".bak"
// beside it, and putting the backups back.
//
// The new file is first written beside its target under a temporary name (".new"), while
// the application still runs; the swap itself is then two renames in the same folder, so
// the application is down for the renames only, whatever the size of the files. The ".new"
// copy is never taken for an installed file or a backup: nothing restores from it, and it is
// removed by the next commit and by the start-up recovery.
#pragma once

#include <array>
#include <string>

namespace vovu {

// The files a hot update replaces, relative to the installation directory, in the order
// they are handled.
inline constexpr std::array<const char16_t*, 3> kInstalledFiles = {
    u"resources\\app.asar", u"resources\\app.asar.unpacked\\Release\\addon.node", u"korvaCF.exe"};

// The backup of a file: the same path with ".bak" appended.
[[nodiscard]] std::u16string BackupPathOf(const std::u16string& targetPath);

// The temporary copy of a target's new file: the same path with ".new" appended.
[[nodiscard]] std::u16string NewCopyPathOf(const std::u16string& targetPath);

// Removes whatever has the name of the target's ".new" copy: a file, an empty folder, or a
// link itself (opened without following it, never what it points to). True when nothing is
// left there; else false with "cannot remove <path>: <error text>".
[[nodiscard]] bool DiscardNewCopy(const std::u16string& targetPath, std::u16string* error);

// Moves the target (when there is one) to its backup, replacing an older backup, then
// renames the target's ".new" copy to the target. The ".new" copy must be a file (not a link,
// not a folder): otherwise "replace failed (<target>): <error text>" with nothing moved.
// Failures: "backup failed (<target>): ..." (nothing changed) and "replace failed
// (<target>): ..." (the backup has been moved back). `step` only names the file to the step
// seam (step_hook.h).
[[nodiscard]] bool SwapInNewCopy(const std::u16string& targetPath, std::u16string* error,
                                 int step = 0);

// Moves the backup (when there is one) back over the target. True when there was nothing to
// restore or the move succeeded.
[[nodiscard]] bool RestoreFromBackup(const std::u16string& targetPath);

}  // namespace vovu
