// The host's URL splitting, shared by CrackUrl and the request engine (which must not
// consult CrackUrl's test seam for its own bookkeeping). Host-only.
#pragma once

#include <string>

#include "platform/http.h"

namespace vovu::platform::host {

// WinHttpCrackUrl's split without the fault point; see CrackUrl.
[[nodiscard]] bool SplitUrl(const std::u16string& url, const UrlBufferSizes* sizes,
                            UrlParts* parts);

}  // namespace vovu::platform::host
