#include "platform/host/core/machine_root.h"
#include "platform/long_path.h"

namespace vovu::platform {

bool CanonicalLongPath(const std::u16string& path, std::u16string* canonical) {
  std::u16string plain = path;
  if (plain.rfind(u"\\\\?\\", 0) == 0 && plain.rfind(u"\\\\?\\UNC\\", 0) != 0)
    plain = plain.substr(4);
  std::string hostPath;
  if (!host::ToHostPath(plain, &hostPath))
    return false;
  *canonical = host::ToWindowsPath(hostPath);
  return true;
}

}  // namespace vovu::platform
