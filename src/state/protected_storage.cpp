#include "state/protected_storage.h"

#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/identity.h"
#include "platform/security.h"

namespace vovu {
namespace {

constexpr std::uint32_t kEnvironmentCapacity = 32768;
constexpr char16_t kAdministratorsSid[] = u"S-1-5-32-544";

// Owners whose directory holds nothing another user could have written: LocalSystem,
// Administrators, and the user this process runs as (the service's own, or a single-user
// host's).
bool IsTrustedOwner(const std::u16string& sid) {
  if (sid == platform::kLocalSystemSid || sid == kAdministratorsSid)
    return true;
  const platform::TokenHandle self = platform::OpenCurrentProcessToken();
  std::u16string selfSid;
  return self.valid() && platform::GetTokenUserSidString(self, &selfSid) && sid == selfSid;
}

// Removes everything inside `path`, never following a link.
void RemoveContents(const std::u16string& path) {
  std::vector<std::u16string> names;
  platform::FindData entry;
  platform::FindHandle find = platform::FindFirstEntry(JoinPath(path, u"*"), &entry);
  if (find) {
    do {
      if (entry.name != u"." && entry.name != u"..")
        names.push_back(entry.name);
    } while (platform::FindNextEntry(find, &entry));
  }
  for (const std::u16string& name : names)
    RemoveTree(JoinPath(path, name));
}

}  // namespace

std::u16string GetHotUpdateDir() {
  std::u16string base;
  const std::uint32_t length =
      platform::GetEnvironmentValue(u"ProgramData", &base, kEnvironmentCapacity);
  if (length == 0 || length >= kEnvironmentCapacity)
    base = u"C:\\ProgramData";
  return JoinPath(JoinPath(base, u"VovudIdavUda"), u"hotupdate");
}

std::u16string GetProtectedRootDir() {
  return DirectoryOf(GetHotUpdateDir());
}

bool EnsureProtectedDirectory(const std::u16string& path, std::u16string* error) {
  if (!platform::CreateDirectoryAt(path)) {
    const platform::Win32Error code = platform::LastError();
    if (code != platform::kErrorAlreadyExists) {
      *error = u"CreateDirectory failed (" + path + u"): " + FormatWin32Error(code);
      return false;
    }
  }
  const std::uint32_t attributes = platform::GetAttributes(path);
  if (attributes == platform::kInvalidFileAttributes ||
      (attributes & platform::kFileAttributeDirectory) == 0 ||
      (attributes & platform::kFileAttributeReparsePoint) != 0) {
    *error = u"protected hot-update path is not a normal directory: " + path;
    return false;
  }
  std::u16string owner;
  if (!platform::GetFileOwnerSid(path, &owner)) {
    *error = u"GetFileSecurity failed (" + path + u"): " + FormatWin32Error(platform::LastError());
    return false;
  }
  platform::SecurityDescriptor descriptor;
  if (!platform::ConvertSddlToSecurityDescriptor(kProtectedDirectorySddl, &descriptor)) {
    *error = u"security descriptor creation failed: " + FormatWin32Error(platform::LastError());
    return false;
  }
  if (!platform::SetProtectedFileSecurity(path, descriptor, /*setOwner=*/true)) {
    *error = u"SetFileSecurity failed (" + path + u"): " + FormatWin32Error(platform::LastError());
    return false;
  }
  // Locked down first, so that its former owner can add nothing while it is emptied.
  if (!IsTrustedOwner(owner)) {
    LogDebug(u"protected directory was owned by " + owner + u"; its contents were removed: " +
             path);
    RemoveContents(path);
  }
  return true;
}

bool EnsureHotUpdateDirectories(std::u16string* error) {
  return EnsureProtectedDirectory(GetProtectedRootDir(), error) &&
         EnsureProtectedDirectory(GetHotUpdateDir(), error);
}

void RemoveTree(const std::u16string& path) {
  const std::uint32_t attributes = platform::GetAttributes(path);
  if (attributes == platform::kInvalidFileAttributes)
    return;
  if ((attributes & platform::kFileAttributeReparsePoint) != 0) {
    if ((attributes & platform::kFileAttributeDirectory) != 0) {
      (void)platform::RemoveDirectoryAt(path);
    } else {
      (void)platform::DeleteFileAt(path);
    }
    return;
  }
  if ((attributes & platform::kFileAttributeDirectory) == 0) {
    (void)platform::DeleteFileAt(path);
    return;
  }
  platform::FindData entry;
  platform::FindHandle find = platform::FindFirstEntry(JoinPath(path, u"*"), &entry);
  if (find) {
    do {
      if (entry.name == u"." || entry.name == u"..")
        continue;
      RemoveTree(JoinPath(path, entry.name));
    } while (platform::FindNextEntry(find, &entry));
  }
  (void)platform::RemoveDirectoryAt(path);
}

}  // namespace vovu
