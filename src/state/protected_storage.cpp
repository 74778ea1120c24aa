#include "state/protected_storage.h"

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/security.h"

namespace vovu {
namespace {

constexpr std::uint32_t kEnvironmentCapacity = 32768;

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
  platform::SecurityDescriptor descriptor;
  if (!platform::ConvertSddlToSecurityDescriptor(kProtectedDirectorySddl, &descriptor)) {
    *error = u"security descriptor creation failed: " + FormatWin32Error(platform::LastError());
    return false;
  }
  if (!platform::SetProtectedFileDacl(path, descriptor)) {
    *error = u"SetFileSecurity failed (" + path + u"): " + FormatWin32Error(platform::LastError());
    return false;
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
