// The check that an extracted package may be installed: its manifest.json names the job's
// version and describes exactly the three replaceable files, each file has the described size
// and SHA-256, and the two executables are signed by the signer of the installed korvaCF.exe.
#pragma once

#include <cstdint>
#include <string>

#include "state/hot_update_job.h"

namespace vovu {

// The package manifest is read whole, so it is bounded before reading.
inline constexpr std::uint64_t kMaxPackageManifestBytes = 1048576;
// The largest file size a package manifest may describe (2 GiB).
inline constexpr double kMaxPackageFileSize = 2147483648.0;

// True when `text` has exactly 64 characters, each 0-9, a-f or A-F.
[[nodiscard]] bool IsSha256Hex(const std::u16string& text);

// True when `value` is above 0, at most 2 GiB and a whole number (it survives the round trip
// through an unsigned 64-bit integer).
[[nodiscard]] bool IsWholeSizeUpTo2GiB(double value);

// Verifies the payload directory `job.dir` against its manifest.json, the job's `version`
// and the installed korvaCF.exe's signer. Writes, deletes and logs nothing. The first failing
// check decides the failure text, in this order: "manifest missing or too large", "manifest
// parse failed", "manifest version mismatch", "manifest must describe exactly three files",
// "invalid or duplicate manifest file metadata", "installed korvaCF.exe not found: <path>",
// "cannot read installed korvaCF signer: <reason>", then for korvaCF.exe, addon.node and
// app.asar in turn: "missing in package: ", "cannot read file metadata: ", "package entry is
// not a regular file: ", "file size mismatch: ", "sha failed: ", "file sha mismatch: ",
// "signature invalid: <name>: <reason>" and "publisher mismatch (thumbprint): ", each
// followed by the package file name (app.asar's signature is not checked).
[[nodiscard]] bool VerifyPackageContents(const HotUpdateJob& job, std::u16string* failure);

// The size and the lower-case SHA-256 that the manifest.json of `job.dir` gives the package
// file `name` (one of the three, as VerifyPackageContents names them). False with the same
// manifest failures as VerifyPackageContents, or "not described in manifest: <name>".
[[nodiscard]] bool DescribedPackageFile(const HotUpdateJob& job, const std::u16string& name,
                                        std::uint64_t* size, std::u16string* sha256,
                                        std::u16string* failure);

}  // namespace vovu
