// The package download: HTTPS on port 443 from a host inside the update domain, at the first
// address and at every redirect, of exactly the size the job announced and the manifest
// confirmed, within the package's deadline (download_limits.h). The body goes to destPath +
// ".part", renamed over destPath only when it is complete.
#pragma once

#include <cstdint>
#include <string>

#include "platform/http.h"

namespace vovu {

inline constexpr std::uint64_t kMaxPackageBytes = 2147483648ull;  // 2 GiB
inline constexpr std::uint32_t kDownloadBufferBytes = 65536;

// True when the host consists only of ASCII letters, digits, '-' and '.' and, lowered, is
// strictly longer than "." + the update domain and ends with it: a name below the domain.
// The bare domain, a name that merely ends in the domain's letters, an IP address and any
// name with another character (a NUL, '%', ':', a blank) are refused.
[[nodiscard]] bool IsAllowedUpdateHost(const std::u16string& host);

// A redirect's resolved target, checked before anything is sent there: it cracks ("cannot
// crack redirect location"), is https ("hot-update redirect target must be https"), and names
// an allowed host on port 443 without a user name or password ("hot-update redirect target
// host is not allowed").
[[nodiscard]] bool IsAllowedPackageAddress(const std::u16string& url, std::u16string* error);

// Examines where an executed request finally went: https and an allowed host (the port is
// not examined). Failures: "cannot query final redirect url", "cannot read final redirect
// url: " + the error text, "cannot crack final redirect url", "hot-update redirect target
// host is not allowed".
[[nodiscard]] bool CheckFinalUrl(const platform::HttpHandle& request, std::u16string* error);

// Downloads `url` to `destPath`. On success destPath holds exactly `expectedSize` bytes; on
// failure it is as it was, and no ".part" file remains (except after a failed final rename,
// "move .part failed: ..."). Redirects (301, 302, 303, 307, 308) are followed here, at most
// kMaxPackageRedirects, each target checked before it is requested. Failures, exactly one
// of: "invalid expected package size", "WinHttpCrackUrl failed: ...", "hot-update package
// must be https", "hot-update package host is not allowed", OpenHttpsGet's messages, "no
// response", "package download timed out" (the deadline), "package receive timed out" (one
// wait), "download cancelled" (the service's stop), "too many redirects", "redirect without
// a usable location", IsAllowedPackageAddress's messages, CheckFinalUrl's messages, "http
// status=N", "create output failed: ...", "query data failed", "package size mismatch",
// "read data failed", "package exceeds expected size", "write download failed", "move .part
// failed: ...".
[[nodiscard]] bool DownloadPackage(const std::u16string& url, const std::u16string& destPath,
                                   std::uint64_t expectedSize, std::u16string* error);

}  // namespace vovu
