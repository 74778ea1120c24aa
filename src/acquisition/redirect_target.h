// Where a redirect of the package download leads, worked out by the service before anything
// is sent there: the Location resolved against the address that answered, and then checked
// like the first address (https, port 443, a host name inside the update domain).
#pragma once

#include <string>

namespace vovu {

// `location` resolved against `base` (an absolute https address): an absolute address as it
// is, "//host/..." on https, "/path" on base's scheme, host and port, any other text beside
// base's last path segment (a query or fragment of base is dropped). False for an empty
// location or one holding a control character or a blank (none is sent as it is).
[[nodiscard]] bool ResolveRedirectLocation(const std::u16string& base,
                                           const std::u16string& location, std::u16string* target);

}  // namespace vovu
