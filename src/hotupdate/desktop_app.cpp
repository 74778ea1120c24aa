#include "hotupdate/desktop_app.h"

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/files.h"

namespace vovu {
namespace {

bool StartsWith(const std::u16string& text, const std::u16string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Executables of the installation directory that are never the desktop application.
bool IsExcluded(const std::u16string& name) {
  const std::u16string lower = ToLower(name);
  return lower == u"korvacf.exe" || lower == u"vovudidavuda.exe" ||
         StartsWith(lower, u"uninstall") || StartsWith(lower, u"setup");
}

}  // namespace

std::u16string FindDesktopAppExecutable() {
  const std::u16string directory = GetInstallDirectory();
  const std::u16string candidate = JoinPath(directory, u"Korvadesk.exe");
  const std::uint32_t attributes = platform::GetAttributes(candidate);
  if (attributes != platform::kInvalidFileAttributes &&
      (attributes & platform::kFileAttributeDirectory) == 0) {
    return candidate;
  }
  platform::FindData entry;
  platform::FindHandle find = platform::FindFirstEntry(JoinPath(directory, u"*.exe"), &entry);
  if (!find)
    return candidate;
  do {
    if ((entry.attributes & platform::kFileAttributeDirectory) == 0 && !IsExcluded(entry.name))
      return JoinPath(directory, entry.name);
  } while (platform::FindNextEntry(find, &entry));
  return candidate;
}

}  // namespace vovu
