// Profiles on the host: C:\Users\<login name> in the machine root, made on first use.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/host/core/machine_root.h"
#include "platform/host/process/token_object.h"
#include "platform/profile.h"
#include "platform/text_codec.h"

namespace vovu::platform {

bool GetUserProfileDirectoryOf(const TokenHandle& token, std::u16string* directory,
                               std::uint32_t capacity) {
  const host::HostToken* object = host::TokenObjectOf(token);
  if (object == nullptr)
    return false;
  const uid_t uid = object->identity.uid;
  std::string name = "uid" + std::to_string(uid);
  passwd entry{};
  passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr) {
    name = result->pw_name;
  }
  const std::string users = host::MachineRoot() + "/drive_c/Users";
  const std::string home = users + "/" + name;
  mkdir(users.c_str(), 0755);
  struct stat st;
  if (lstat(home.c_str(), &st) != 0) {
    if (mkdir(home.c_str(), 0755) != 0) {
      SetLastErrorCode(host::Win32ErrorFromErrno(errno, home));
      return false;
    }
    if (chown(home.c_str(), uid, object->identity.gid) != 0 && geteuid() == 0) {
      SetLastErrorCode(kErrorAccessDenied);
      return false;
    }
  }
  const std::string windows = "C:\\Users\\" + name;
  const std::u16string text = MultiByteUtf8ToWide(windows.data(), windows.size());
  if (text.size() >= capacity) {
    SetLastErrorCode(kErrorInsufficientBuffer);
    return false;
  }
  *directory = text;
  return true;
}

}  // namespace vovu::platform
