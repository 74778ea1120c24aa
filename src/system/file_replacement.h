// Swapping installed application files for staged ones, keeping the previous file as a
// ".bak" beside it, and putting the backups back.
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

// Moves the target (when there is one) to its backup, replacing an older backup, then
// copies the staged file over the target and deletes the staged file. Failures: "backup
// failed (<target>): ..." (nothing changed) and "replace failed (<target>): ..." (the
// backup has been moved back). `step` only names the file to the step seam (step_hook.h).
[[nodiscard]] bool ReplaceFileWithBackup(const std::u16string& stagedPath,
                                         const std::u16string& targetPath, std::u16string* error,
                                         int step = 0);

// Moves the backup (when there is one) back over the target. True when there was nothing to
// restore or the move succeeded.
[[nodiscard]] bool RestoreFromBackup(const std::u16string& targetPath);

}  // namespace vovu
