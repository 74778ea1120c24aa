#include "hotupdate/swap_record.h"

#include "foundation/diagnostics.h"
#include "foundation/file_io.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "platform/files.h"
#include "state/protected_storage.h"
#include "system/file_replacement.h"

namespace vovu {
namespace {

std::u16string RowPath(const std::u16string& jobDir, std::size_t row) {
  return JoinPath(jobDir, u"swapped-" + Utf8ToWide(std::to_string(row)));
}

bool Exists(const std::u16string& path) {
  return platform::GetAttributes(path) != platform::kInvalidFileAttributes;
}

bool IsSwapStatus(const std::u16string& status) {
  return status == kStatusCommitting || status == kStatusReplacing ||
         status == kStatusRelaunching || status == kStatusRollingBack;
}

}  // namespace

std::u16string JobDirOf(const std::u16string& serviceJobFile) {
  const std::size_t last = serviceJobFile.find_last_of(u"\\/");
  return last == std::u16string::npos ? std::u16string() : serviceJobFile.substr(0, last);
}

bool RecordSwapRow(const std::u16string& jobDir, std::size_t row) {
  if (row >= kInstalledFiles.size())
    return false;
  return WriteFileAtomic(RowPath(jobDir, row), WideToUtf8(kInstalledFiles[row]));
}

bool HasSwapRow(const std::u16string& jobDir, std::size_t row) {
  return Exists(RowPath(jobDir, row));
}

bool HasAnySwapRow(const std::u16string& jobDir) {
  for (std::size_t row = 0; row < kInstalledFiles.size(); ++row) {
    if (HasSwapRow(jobDir, row))
      return true;
  }
  return false;
}

bool ForgetSwapRow(const std::u16string& jobDir, std::size_t row) {
  const std::u16string path = RowPath(jobDir, row);
  return !Exists(path) || platform::DeleteFileAt(path);
}

bool ForgetSwapRows(const std::u16string& jobDir) {
  bool all = true;
  for (std::size_t row = 0; row < kInstalledFiles.size(); ++row)
    all = ForgetSwapRow(jobDir, row) && all;
  return all;
}

bool RestoreSwappedRows(const std::u16string& jobDir) {
  const std::u16string installDir = GetInstallDirectory();
  bool allRestored = true;
  for (std::size_t row = 0; row < kInstalledFiles.size(); ++row) {
    if (!HasSwapRow(jobDir, row))
      continue;
    if (!RestoreFromBackup(JoinPath(installDir, kInstalledFiles[row]))) {
      allRestored = false;
      continue;
    }
    ReachStep(HotUpdateStep::kFileRestored, static_cast<int>(row));
    // A row whose file is back but whose record stays is restored again next time: its
    // ".bak" is gone by then, so that finds nothing to move.
    (void)ForgetSwapRow(jobDir, row);
  }
  return allRestored;
}

bool NeedsRestore(const HotUpdateJob& job, const std::u16string& jobDir) {
  return job.status != kStatusDone && HasAnySwapRow(jobDir);
}

void ForEachJobDirectory(const std::u16string& hotUpdateDir,
                         const std::function<void(const std::u16string& jobDir,
                                                  const std::u16string& serviceJobFile)>& visit) {
  platform::FindData entry;
  platform::FindHandle find = platform::FindFirstEntry(JoinPath(hotUpdateDir, u"*"), &entry);
  if (!find)
    return;
  do {
    if ((entry.attributes & platform::kFileAttributeDirectory) == 0 || entry.name == u"." ||
        entry.name == u"..") {
      continue;
    }
    const std::u16string jobDir = JoinPath(hotUpdateDir, entry.name);
    visit(jobDir, JoinPath(jobDir, u"service-job.json"));
  } while (platform::FindNextEntry(find, &entry));
}

bool AnotherSwapUnsettled(const std::u16string& ownJobDir) {
  bool unsettled = false;
  ForEachJobDirectory(GetHotUpdateDir(),
                      [&](const std::u16string& jobDir, const std::u16string& serviceJobFile) {
                        if (unsettled || ToLower(jobDir) == ToLower(ownJobDir))
                          return;
                        HotUpdateJob job;
                        if (!ReadJobFile(serviceJobFile, &job)) {
                          // A record that cannot be read says nothing; rows it left still count.
                          unsettled = HasAnySwapRow(jobDir);
                          return;
                        }
                        unsettled = IsSwapStatus(job.status) || NeedsRestore(job, jobDir);
                      });
  return unsettled;
}

}  // namespace vovu
