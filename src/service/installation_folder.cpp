#include "service/installation_folder.h"

#include <mutex>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/object_rights.h"

namespace vovu {
namespace {

enum class Level { kAbove, kFolder, kFile };

std::mutex refusalMutex;
std::u16string refusal;

bool Refuse(const std::u16string& path, const std::u16string& what, std::u16string* reason) {
  *reason = kOpenInstallationFolder + path + u": " + what;
  return false;
}

// The rights of one object at `level`; `path` must not be a link.
bool CheckObject(const std::u16string& path, Level level, std::u16string* reason) {
  const std::uint32_t attributes = platform::GetAttributes(path);
  if (attributes == platform::kInvalidFileAttributes)
    return Refuse(path, u"cannot be read: " + FormatWin32Error(platform::LastError()), reason);
  if ((attributes & platform::kFileAttributeReparsePoint) != 0)
    return Refuse(path, u"is a link", reason);
  platform::UntrustedRights rights;
  if (!platform::ReadUntrustedRights(path, &rights))
    return Refuse(path, u"cannot be read: " + FormatWin32Error(platform::LastError()), reason);
  if (!rights.owner.empty())
    return Refuse(path, u"owned by " + rights.owner, reason);
  if (!rights.changeSecurity.empty())
    return Refuse(path, rights.changeSecurity + u" may change its security", reason);
  if (level != Level::kAbove) {
    if (!rights.writeData.empty())
      return Refuse(path, rights.writeData + u" may write", reason);
    if (!rights.appendData.empty())
      return Refuse(path, rights.appendData + u" may add folders", reason);
    if (!rights.deleteSelf.empty())
      return Refuse(path, rights.deleteSelf + u" may delete it", reason);
  }
  if (!rights.deleteChild.empty())
    return Refuse(path, rights.deleteChild + u" may delete its entries", reason);
  return true;
}

// The folders of `folder`'s path from the drive's root down, without `folder` itself.
std::vector<std::u16string> FoldersAbove(const std::u16string& folder) {
  std::vector<std::u16string> above;
  for (std::size_t at = folder.find_first_of(u"\\/"); at != std::u16string::npos;
       at = folder.find_first_of(u"\\/", at + 1)) {
    if (at + 1 == folder.size())
      break;
    // "C:\" keeps its separator: "C:" alone names the current folder of the drive.
    above.push_back(folder.substr(0, at == 2 && folder[1] == u':' ? at + 1 : at));
  }
  return above;
}

// Every entry below `folder`, depth first, counting into `*seen`.
bool CheckTree(const std::u16string& folder, std::size_t* seen, std::u16string* reason) {
  platform::FindData entry;
  platform::FindHandle find = platform::FindFirstEntry(JoinPath(folder, u"*"), &entry);
  if (!find.valid()) {
    if (platform::LastError() == platform::kErrorFileNotFound)
      return true;
    return Refuse(folder, u"cannot be read: " + FormatWin32Error(platform::LastError()), reason);
  }
  std::vector<platform::FindData> entries;
  do {
    if (entry.name != u"." && entry.name != u"..")
      entries.push_back(entry);
    if (*seen + entries.size() > kMaxInstallationEntries)
      return Refuse(folder, u"more than 16384 entries", reason);
  } while (platform::FindNextEntry(find, &entry));
  *seen += entries.size();
  for (const platform::FindData& found : entries) {
    const std::u16string path = JoinPath(folder, found.name);
    const bool directory = (found.attributes & platform::kFileAttributeDirectory) != 0;
    if ((found.attributes & platform::kFileAttributeReparsePoint) != 0)
      return Refuse(path, u"is a link", reason);
    if (!CheckObject(path, directory ? Level::kFolder : Level::kFile, reason))
      return false;
    if (directory && !CheckTree(path, seen, reason))
      return false;
  }
  return true;
}

}  // namespace

bool CheckInstallationFolder(const std::u16string& executablePath, std::u16string* reason) {
  const std::size_t slash = executablePath.find_last_of(u"\\/");
  if (slash == std::u16string::npos || slash == 0)
    return Refuse(executablePath, u"has no folder", reason);
  const std::u16string folder = executablePath.substr(0, slash);
  for (const std::u16string& above : FoldersAbove(folder)) {
    if (!CheckObject(above, Level::kAbove, reason))
      return false;
  }
  if (!CheckObject(folder, Level::kFolder, reason))
    return false;
  std::size_t seen = 0;
  return CheckTree(folder, &seen, reason);
}

void SetInstallationFolderRefusal(const std::u16string& text) {
  std::lock_guard lock(refusalMutex);
  refusal = text;
}

std::u16string InstallationFolderRefusal() {
  std::lock_guard lock(refusalMutex);
  return refusal;
}

void CheckInstallationFolderAtStart() {
  std::u16string reason;
  if (CheckInstallationFolder(GetModulePath(), &reason)) {
    SetInstallationFolderRefusal(u"");
    return;
  }
  LogDebug(u"VovudIdavUda: " + reason + u"; hot updates are refused");
  SetInstallationFolderRefusal(reason);
}

}  // namespace vovu
