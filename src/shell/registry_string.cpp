#include "shell/registry_string.h"

#include "foundation/text.h"
#include "platform/registry.h"

namespace vovu {

bool SetRegistryString(platform::NativeHandle key, const std::u16string& valueName,
                       const std::u16string& text, std::u16string* error) {
  // c_str() guarantees the NUL just past the text, so the size may include it.
  const auto size = static_cast<std::uint32_t>((text.size() + 1) * sizeof(char16_t));
  const platform::Win32Error status =
      platform::SetRegistryValue(key, valueName, platform::kRegSz, text.c_str(), size);
  if (status != platform::kErrorSuccess) {
    *error = u"RegSetValueEx failed: error=" + ToDecimal(static_cast<unsigned long long>(status));
    return false;
  }
  return true;
}

}  // namespace vovu
