#include "system/file_replacement.h"

#include "foundation/diagnostics.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "platform/file_handles.h"
#include "platform/files.h"

namespace vovu {
namespace {

// Something that is there and is not a directory.
bool IsPresentNonDirectory(const std::u16string& path) {
  const std::uint32_t attributes = platform::GetAttributes(path);
  return attributes != platform::kInvalidFileAttributes &&
         (attributes & platform::kFileAttributeDirectory) == 0;
}

// A file itself: neither a directory nor a link.
bool IsPlainFile(const std::u16string& path) {
  const std::uint32_t attributes = platform::GetAttributes(path);
  return attributes != platform::kInvalidFileAttributes &&
         (attributes &
          (platform::kFileAttributeDirectory | platform::kFileAttributeReparsePoint)) == 0;
}

}  // namespace

std::u16string BackupPathOf(const std::u16string& targetPath) {
  return targetPath + u".bak";
}

std::u16string NewCopyPathOf(const std::u16string& targetPath) {
  return targetPath + u".new";
}

bool DiscardNewCopy(const std::u16string& targetPath, std::u16string* error) {
  const std::u16string path = NewCopyPathOf(targetPath);
  if (platform::GetAttributes(path) == platform::kInvalidFileAttributes) {
    const platform::Win32Error code = platform::LastError();
    if (code == platform::kErrorFileNotFound || code == platform::kErrorPathNotFound)
      return true;
    *error = u"cannot remove " + path + u": " + FormatWin32Error(code);
    return false;
  }
  // Through a handle of the entry itself: a link goes, never what it points to.
  const platform::FileHandle entry = platform::OpenEntryNoFollow(path);
  if (!entry || !platform::DeleteByHandle(entry, path)) {
    *error = u"cannot remove " + path + u": " + FormatWin32Error(platform::LastError());
    return false;
  }
  return true;
}

bool SwapInNewCopy(const std::u16string& targetPath, std::u16string* error, int step) {
  const std::u16string backup = BackupPathOf(targetPath);
  const std::u16string fresh = NewCopyPathOf(targetPath);
  // Checked before anything moves: a missing copy leaves the installed file where it is.
  if (!IsPlainFile(fresh)) {
    *error = u"replace failed (" + targetPath + u"): " +
             FormatWin32Error(platform::GetAttributes(fresh) == platform::kInvalidFileAttributes
                                  ? platform::LastError()
                                  : platform::kErrorAccessDenied);
    return false;
  }
  if (IsPresentNonDirectory(targetPath) && !platform::MoveFileReplacing(targetPath, backup)) {
    *error = u"backup failed (" + targetPath + u"): " + FormatWin32Error(platform::LastError());
    return false;
  }
  ReachStep(HotUpdateStep::kFileBackedUp, step);
  if (platform::MoveFileReplacing(fresh, targetPath)) {
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
