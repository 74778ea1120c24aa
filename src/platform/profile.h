// A user's profile directory.
//
// Windows: GetUserProfileDirectoryW. Host: C:\Users\<login name> in the machine root,
// created (owned by the user, mode 0755) the first time it is asked for; the login name
// comes from the system's user database, "uid<N>" when the uid has none.
#pragma once

#include <cstdint>
#include <string>

#include "platform/identity.h"

namespace vovu::platform {

// The profile directory of the token's user, into a buffer of `capacity` characters:
// false when it cannot be found or does not fit (122).
[[nodiscard]] bool GetUserProfileDirectoryOf(const TokenHandle& token, std::u16string* directory,
                                             std::uint32_t capacity);

}  // namespace vovu::platform
