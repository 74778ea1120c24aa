#include "hotupdate/new_copies.h"

#include "foundation/diagnostics.h"
#include "foundation/service_stop.h"
#include "foundation/sha256.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/package_contents.h"
#include "platform/files.h"
#include "system/file_replacement.h"

namespace vovu {
namespace {

std::u16string Decimal(std::uint64_t value) {
  return Utf8ToWide(std::to_string(value));
}

std::u16string InstalledPath(const Replacement& entry) {
  return JoinPath(GetInstallDirectory(), entry.installed);
}

// Reads the copy back: it must be a file (not a link) of the described size and digest.
bool CopyMatches(const std::u16string& copy, std::uint64_t size, const std::u16string& sha256) {
  std::uint32_t attributes = 0;
  std::uint64_t actualSize = 0;
  if (!platform::GetAttributesAndSize(copy, &attributes, &actualSize) ||
      (attributes & (platform::kFileAttributeDirectory | platform::kFileAttributeReparsePoint)) !=
          0 ||
      actualSize != size) {
    return false;
  }
  std::u16string digest;
  std::u16string ignored;
  return FileSha256Hex(copy, &digest, &ignored) && ToLower(digest) == sha256;
}

}  // namespace

bool DiscardNewCopies(std::u16string* reason) {
  bool all = true;
  for (const Replacement& entry : kReplacements) {
    std::u16string error;
    if (!DiscardNewCopy(InstalledPath(entry), &error) && all) {
      *reason = error;
      all = false;
    }
  }
  return all;
}

bool EnoughSpaceForNewCopies(const HotUpdateJob& job, std::u16string* reason) {
  std::uint64_t needed = 0;
  for (const Replacement& entry : kReplacements) {
    const std::u16string staged = JoinPath(job.dir, entry.staged);
    std::uint32_t attributes = 0;
    std::uint64_t size = 0;
    if (!platform::GetAttributesAndSize(staged, &attributes, &size)) {
      *reason = u"cannot read file metadata: " + staged;
      return false;
    }
    needed += size;
  }
  std::uint64_t available = 0;
  if (!platform::GetFreeDiskBytes(GetInstallDirectory(), &available)) {
    *reason = u"cannot read the free space of the installation volume: " +
              FormatWin32Error(platform::LastError());
    return false;
  }
  if (available < needed) {
    *reason = kNotEnoughDiskSpace + Decimal(needed) + u" bytes needed, " + Decimal(available) +
              u" available";
    return false;
  }
  return true;
}

bool PlaceNewCopies(const HotUpdateJob& job, std::u16string* reason) {
  for (std::size_t row = 0; row < kReplacements.size(); ++row) {
    const Replacement& entry = kReplacements[row];
    std::uint64_t size = 0;
    std::u16string sha256;
    if (!DescribedPackageFile(job, entry.staged, &size, &sha256, reason))
      return false;
    const std::u16string copy = NewCopyPathOf(InstalledPath(entry));
    // Created new: a name that exists by now (a link included) fails the copy, it is never
    // written through.
    if (!platform::CopyFileTo(JoinPath(job.dir, entry.staged), copy, /*failIfExists=*/true,
                              ServiceStopEvent())) {
      *reason = u"copy failed (" + copy + u"): " + FormatWin32Error(platform::LastError());
      return false;
    }
    if (!CopyMatches(copy, size, sha256)) {
      *reason = u"copy does not match the package (" + copy + u")";
      return false;
    }
    ReachStep(HotUpdateStep::kNewCopyPlaced, static_cast<int>(row));
  }
  return true;
}

}  // namespace vovu
