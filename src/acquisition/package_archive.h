// The package archive: listed and extracted by the system's own tar.exe, never unpacked by
// the service itself. The listing must name exactly the four required files at the top
// level and nothing else before tar may extract anything. Both runs are bounded in time and
// end when the service is asked to stop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vovu {

// The four files a package holds, as compared (lower case). Each is the file name
// (FileNameOf, foundation/text.h) of a path the application installs, or the package's own
// manifest.
inline constexpr std::array<std::u16string_view, 4> RequiredPackageEntries = {
    u"manifest.json", u"app.asar", u"addon.node", u"korvacf.exe"};

// Time limits of the two tar runs and of the wait after a forced end, in milliseconds; the
// exit code a forced end gives; the largest listing accepted.
inline constexpr std::uint32_t kTarListTimeoutMs = 30000;
inline constexpr std::uint32_t kTarExtractTimeoutMs = 120000;
inline constexpr std::uint32_t kTarTerminateWaitMs = 5000;
inline constexpr std::uint32_t kTarTerminateExitCode = 1223;
inline constexpr std::uint64_t kMaxTarListingBytes = 65536;

// SystemRoot (read with a 260-character buffer; empty when unset) + "\System32\tar.exe".
[[nodiscard]] std::u16string SystemTarPath();

// Applies the entry rules to tar's listing text, line by line: leading "./" removed
// (repeatedly), blank results skipped, "package contains unsafe path" for a separator or
// "." or "..", "package contains unexpected or duplicate entry" for a name outside the
// required set or seen before (ASCII case ignored), then "package is missing a required
// entry" when a required name never appeared. The first offending line decides.
[[nodiscard]] bool CheckPackageEntryList(const std::u16string& listing, std::u16string* error);

// Reads tar's listing file, at most kMaxTarListingBytes ("tar entry list is too large" when
// larger, "cannot read tar entry list"), deletes it on every path and checks the listing with
// CheckPackageEntryList.
[[nodiscard]] bool CheckListingFile(const std::u16string& listingPath, std::u16string* error);

// Runs `tarExe -tf archivePath` with its output and errors into archivePath + ".entries"
// (deleted on every path once created), bounded by 30 s and the stop event, and checks the
// listing with CheckPackageEntryList. Failures: "cannot create tar listing output",
// "CreateProcess(tar list) failed: ...", "tar list cancelled", "tar list timed out", "tar list
// failed, exit=N", "tar entry list is too large", "cannot read tar entry list", and the
// rules' messages.
[[nodiscard]] bool ListAndCheckPackageEntries(const std::u16string& tarExe,
                                              const std::u16string& archivePath,
                                              std::u16string* error);

// Locates tar, lists and checks the archive, then extracts it into the existing
// destinationDir, bounded by 120 s and the stop event. True only when the listing passed
// and tar exited with 0. Failures: "tar.exe not found", the listing's messages,
// "CreateProcess(tar) failed: ...", "tar extract cancelled", "tar extract timed out", "tar
// extract failed, exit=N". Files tar wrote before failing stay.
[[nodiscard]] bool ExtractPackage(const std::u16string& archivePath,
                                  const std::u16string& destinationDir, std::u16string* error);

}  // namespace vovu
