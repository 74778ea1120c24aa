// The token user's SID string, the same two steps on both targets: size the TokenUser
// query, then read and convert it.
#include <vector>

#include "platform/error.h"
#include "platform/identity.h"

namespace vovu::platform {

bool GetTokenUserSidString(const TokenHandle& token, std::u16string* sid) {
  std::uint32_t needed = 0;
  if (QueryTokenUser(token, nullptr, 0, &needed) || LastError() != kErrorInsufficientBuffer)
    return false;
  std::vector<std::uint8_t> buffer(needed, 0);
  if (!QueryTokenUser(token, buffer.data(), needed, &needed))
    return false;
  return ConvertTokenUserToSidString(buffer.data(), sid);
}

}  // namespace vovu::platform
