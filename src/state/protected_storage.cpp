#include "state/protected_storage.h"

#include <random>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/file_handles.h"
#include "platform/files.h"
#include "platform/identity.h"
#include "platform/security.h"

namespace vovu {
namespace {

constexpr std::uint32_t kEnvironmentCapacity = 32768;
constexpr char16_t kAdministratorsSid[] = u"S-1-5-32-544";
// A user who can create folders beside the protected one may recreate its name each time the
// service moves theirs aside; after this many rounds the call gives up.
constexpr int kEnsureAttempts = 4;
constexpr int kAsideNameAttempts = 4;
// RemoveTree holds one handle per level; deeper content stays.
constexpr int kMaxTreeDepth = 256;
constexpr int kListPasses = 3;

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

// A name for a directory moved aside, in the same parent: "<name>.aside-<16 hex digits>",
// unpredictable, so nobody can make it first on purpose.
std::u16string AsideName(const std::u16string& path) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  std::random_device random;
  std::u16string name = FileNameOf(path) + u".aside-";
  for (int i = 0; i < 4; ++i) {
    const unsigned value = random();
    for (int shift = 0; shift < 16; shift += 4)
      name.push_back(kHex[(value >> shift) & 0xF]);
  }
  return name;
}

// Renames the open directory aside into its parent (opened as every path call opens it: the
// program-data folder, or a protected directory of the service's); false with the last error.
bool MoveAside(const platform::FileHandle& directory, const std::u16string& path,
               std::u16string* asideName) {
  const platform::FileHandle parent = platform::OpenDirectoryForNames(DirectoryOf(path));
  if (!parent)
    return false;
  for (int attempt = 0; attempt < kAsideNameAttempts; ++attempt) {
    *asideName = AsideName(path);
    if (platform::RenameByHandle(directory, parent, *asideName))
      return true;
    if (platform::LastError() != platform::kErrorAlreadyExists)
      return false;
  }
  return false;
}

// Removes the open entry and, for a plain directory, everything in it first. Each entry is
// opened relative to its directory's handle without following a link, so a link is removed
// as itself and a directory swapped for a link after it was listed is never entered.
void RemoveOpened(const platform::FileHandle& entry, const std::u16string& label, int depth) {
  const std::uint32_t attributes = platform::GetHandleAttributes(entry);
  if (attributes == platform::kInvalidFileAttributes)
    return;
  if ((attributes & platform::kFileAttributeDirectory) != 0 &&
      (attributes & platform::kFileAttributeReparsePoint) == 0) {
    if (depth >= kMaxTreeDepth)
      return;
    // Listed again while entries remain: what another user renamed inside it meanwhile goes
    // too, up to a bound.
    std::vector<platform::FindData> entries;
    for (int pass = 0; pass < kListPasses; ++pass) {
      if (!platform::ListDirectoryByHandle(entry, &entries) || entries.empty())
        break;
      ReachStep(HotUpdateStep::kTreeDirectoryListed, depth);
      for (const platform::FindData& child : entries) {
        const platform::FileHandle handle = platform::OpenChildNoFollow(entry, child.name);
        if (handle)
          RemoveOpened(handle, JoinPath(label, child.name), depth + 1);
      }
    }
  }
  (void)platform::DeleteByHandle(entry, label);
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
  platform::SecurityDescriptor descriptor;
  if (!platform::ConvertSddlToSecurityDescriptor(kProtectedDirectorySddl, &descriptor)) {
    *error = u"security descriptor creation failed: " + FormatWin32Error(platform::LastError());
    return false;
  }
  for (int attempt = 0; attempt < kEnsureAttempts; ++attempt) {
    // Created with the protected descriptor in the creation call: it never exists with the
    // rights it would inherit from ProgramData, which let its creator's users in.
    if (!platform::CreateDirectoryWithSecurity(path, descriptor)) {
      const platform::Win32Error code = platform::LastError();
      if (code != platform::kErrorAlreadyExists) {
        *error = u"CreateDirectory failed (" + path + u"): " + FormatWin32Error(code);
        return false;
      }
    }
    // From here on only the handle is used: whatever the name leads to later changes nothing.
    const platform::FileHandle directory = platform::OpenEntryNoFollow(path);
    if (!directory) {
      if (platform::LastError() == platform::kErrorFileNotFound)
        continue;  // its owner removed it meanwhile
      *error = u"protected hot-update path is not a normal directory: " + path;
      return false;
    }
    ReachStep(HotUpdateStep::kProtectedDirectoryOpened, attempt);
    std::u16string owner;
    if (!platform::GetHandleOwnerSid(directory, &owner)) {
      *error =
          u"GetFileSecurity failed (" + path + u"): " + FormatWin32Error(platform::LastError());
      return false;
    }
    if (!IsTrustedOwner(owner)) {
      // Never walked into or reused: another user's directory (or link) may hold anything,
      // and handles they opened before keep their rights. It goes aside, through the handle,
      // and a fresh one is made in its place.
      std::u16string aside;
      if (!MoveAside(directory, path, &aside)) {
        *error = u"protected directory could not be moved aside (" + path + u"): " +
                 FormatWin32Error(platform::LastError());
        return false;
      }
      LogDebug(u"protected directory was owned by " + owner + u"; moved aside as " + aside +
               u" and removed: " + path);
      ReachStep(HotUpdateStep::kProtectedDirectoryMovedAside);
      RemoveOpened(directory, JoinPath(DirectoryOf(path), aside), 0);
      continue;
    }
    const std::uint32_t attributes = platform::GetHandleAttributes(directory);
    if (attributes == platform::kInvalidFileAttributes ||
        (attributes & platform::kFileAttributeDirectory) == 0 ||
        (attributes & platform::kFileAttributeReparsePoint) != 0) {
      *error = u"protected hot-update path is not a normal directory: " + path;
      return false;
    }
    if (!platform::SetHandleProtectedSecurity(directory, path, descriptor, /*setOwner=*/true)) {
      *error =
          u"SetFileSecurity failed (" + path + u"): " + FormatWin32Error(platform::LastError());
      return false;
    }
    return true;
  }
  *error = u"protected directory keeps being replaced: " + path;
  return false;
}

bool EnsureHotUpdateDirectories(std::u16string* error) {
  return EnsureProtectedDirectory(GetProtectedRootDir(), error) &&
         EnsureProtectedDirectory(GetHotUpdateDir(), error);
}

void RemoveTree(const std::u16string& path) {
  const platform::FileHandle top = platform::OpenEntryNoFollow(path);
  if (top)
    RemoveOpened(top, path, 0);
}

}  // namespace vovu
