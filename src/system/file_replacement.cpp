#include "system/file_replacement.h"

#include "foundation/diagnostics.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "platform/files.h"

namespace vovu {
namespace {

// Something that is there and is not a directory.
bool IsPresentNonDirectory(const std::u16string& path) {
  const std::uint32_t attributes = platform::GetAttributes(path);
  return attributes != platform::kInvalidFileAttributes &&
         (attributes & platform::kFileAttributeDirectory) == 0;
}

}  // namespace

std::u16string BackupPathOf(const std::u16string& targetPath) {
  return targetPath + u".bak";
}

bool ReplaceFileWithBackup(const std::u16string& stagedPath, const std::u16string& targetPath,
                           std::u16string* error, int step) {
  const std::u16string backup = BackupPathOf(targetPath);
  if (IsPresentNonDirectory(targetPath) && !platform::MoveFileReplacing(targetPath, backup)) {
    *error = u"backup failed (" + targetPath + u"): " + FormatWin32Error(platform::LastError());
    return false;
  }
  ReachStep(HotUpdateStep::kFileBackedUp, step);
  if (platform::CopyFileTo(stagedPath, targetPath, /*failIfExists=*/false)) {
    (void)platform::DeleteFileAt(stagedPath);
    ReachStep(HotUpdateStep::kFileReplaced, step);
    return true;
  }
  *error = u"replace failed (" + targetPath + u"): " + FormatWin32Error(platform::LastError());
  // Only a backup that is a file goes back; a directory of that name is nothing of ours.
  if (IsPresentNonDirectory(backup))
    (void)platform::MoveFileReplacing(backup, targetPath);
  return false;
}

bool RestoreFromBackup(const std::u16string& targetPath) {
  const std::u16string backup = BackupPathOf(targetPath);
  if (!IsPresentNonDirectory(backup))
    return true;
  return platform::MoveFileReplacing(backup, targetPath);
}

}  // namespace vovu
