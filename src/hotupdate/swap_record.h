// The installed files a job has swapped, recorded in its protected job directory before each
// swap, and the rule that only one job at a time swaps the installed files of the machine.
//
// A job records a row (an index into kInstalledFiles) before it moves that installed file to
// its ".bak". Only the rows a job recorded are ever put back for it, so a ".bak" that another
// job or a failed delete left behind never lands in the installation. A row is forgotten once
// its ".bak" went back, and all of them when the job is confirmed. A job that is not "done"
// and still holds rows has installed files that need their ".bak" copies: it blocks every
// other commit, may not be cancelled or prepared anew, and the next service start restores it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "state/hot_update_job.h"

namespace vovu {

// The refusal of a commit while another job swaps, awaits confirmation of or restores the
// installed files, or still holds rows.
inline constexpr char16_t kAnotherUpdateInProgress[] = u"another hot update is in progress";

// The job directory of a protected record file: the folder it lies in.
[[nodiscard]] std::u16string JobDirOf(const std::u16string& serviceJobFile);

// Records that the job of `jobDir` is about to swap installed file `row`. False when the
// record cannot be written; the swap must not happen then.
[[nodiscard]] bool RecordSwapRow(const std::u16string& jobDir, std::size_t row);

// Whether the job of `jobDir` recorded `row`; whether it recorded any row.
[[nodiscard]] bool HasSwapRow(const std::u16string& jobDir, std::size_t row);
[[nodiscard]] bool HasAnySwapRow(const std::u16string& jobDir);

// Forgets `row` (every row for ForgetSwapRows). False when a record stays.
bool ForgetSwapRow(const std::u16string& jobDir, std::size_t row);
bool ForgetSwapRows(const std::u16string& jobDir);

// For each row the job recorded, in kInstalledFiles order: moves its ".bak" back over the
// installed file (nothing to do when there is none) and forgets the row. Rows the job did
// not record are not looked at. True when every recorded row went back.
[[nodiscard]] bool RestoreSwappedRows(const std::u16string& jobDir);

// True when the job still holds rows that need restoring: it recorded some and is not "done".
[[nodiscard]] bool NeedsRestore(const HotUpdateJob& job, const std::u16string& jobDir);

// Calls `visit` with each job directory of `hotUpdateDir` (directories only, in enumeration
// order) and its service-job.json path.
void ForEachJobDirectory(const std::u16string& hotUpdateDir,
                         const std::function<void(const std::u16string& jobDir,
                                                  const std::u16string& serviceJobFile)>& visit);

// Whether a job other than the one of `ownJobDir` is "committing", "replacing",
// "relaunching" or "rollingback", or still holds rows that need restoring. The caller holds
// the job lock, so no claim can slip in between this look and its own.
[[nodiscard]] bool AnotherSwapUnsettled(const std::u16string& ownJobDir);

}  // namespace vovu
