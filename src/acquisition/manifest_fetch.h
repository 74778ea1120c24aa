// The official manifest: fetched afresh over HTTPS from the address built into the program,
// with redirects refused, for every authorization.
#pragma once

#include <cstddef>
#include <string>

namespace vovu {

// The largest manifest body accepted, and the most read at once.
inline constexpr std::size_t kMaxManifestBytes = 1048576;
inline constexpr std::size_t kManifestReadPiece = 16384;

// Fetches OfficialManifestUrl and gives its body as text (UTF-8 decoded, malformed
// sequences as U+FFFD, one leading byte-order mark removed). Blocks until the body is read,
// a failure, the manifest's deadline (download_limits.h) or the service's stop event, both
// watched while waiting. Failures, exactly one of: "invalid built-in hot-update manifest
// URL", "WinHttpOpen failed", "WinHttpConnect failed", "WinHttpOpenRequest failed", "cannot
// disable redirects", "cannot limit request: ...", "manifest request timed out" (the
// deadline), "manifest receive timed out" (one wait), "manifest request failed: " + the
// error text, "manifest HTTP status=N" (0 when the status cannot be read),
// "manifest request cancelled", "manifest query data failed", "manifest read failed",
// "manifest is too large", "manifest is empty or not UTF-8".
[[nodiscard]] bool FetchOfficialManifest(std::u16string* text, std::u16string* error);

}  // namespace vovu
