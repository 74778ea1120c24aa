#include "shell/com_registration.h"

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/registry.h"
#include "shell/failure_list.h"
#include "shell/registry_string.h"

namespace vovu {
namespace {

constexpr char16_t kClassesClsid[] = u"SOFTWARE\\Classes\\CLSID";
constexpr char16_t kDisplayName[] = u"KorvaCF Cloud Files Handler";

std::u16string StatusText(platform::Win32Error status) {
  return u"error=" + ToDecimal(static_cast<unsigned long long>(status));
}

// Runs `step` for every handler class in both registry views, past failures, which are joined
// into `error`. True when every step succeeded.
bool ForEveryClassAndView(bool (*step)(const std::u16string&, std::uint32_t, std::u16string*),
                          std::u16string* error) {
  bool allDone = true;
  for (const char16_t* clsid : kHandlerClsids) {
    for (std::uint32_t view : kClassViews) {
      std::u16string failure;
      if (!step(clsid, view, &failure)) {
        AppendFailure(error, failure);
        allDone = false;
      }
    }
  }
  return allDone;
}

}  // namespace

std::u16string ComServerCommandLine() {
  return u"\"" + KorvaCfPath() + u"\" -Embedding";
}

bool RegisterComServer(const std::u16string& clsid, std::uint32_t view, std::u16string* error) {
  platform::RegistryKey classes;
  platform::Win32Error status =
      platform::OpenRegistryKey(platform::kRegistryLocalMachine, kClassesClsid,
                                platform::kKeyRead | platform::kKeyWrite | view, &classes);
  if (status != platform::kErrorSuccess) {
    *error = u"RegOpenKeyEx Classes\\CLSID failed: " + StatusText(status);
    return false;
  }
  platform::RegistryKey classKey;
  status = platform::CreateRegistryKey(classes.get(), clsid,
                                       platform::kKeySetValue | platform::kKeyCreateSubKey,
                                       &classKey, nullptr);
  if (status != platform::kErrorSuccess) {
    *error = u"RegCreateKeyEx failed for " + clsid + u": " + StatusText(status);
    return false;
  }
  if (!SetRegistryString(classKey.get(), u"", kDisplayName, error))
    return false;
  platform::RegistryKey server;
  status = platform::CreateRegistryKey(classKey.get(), u"LocalServer32", platform::kKeySetValue,
                                       &server, nullptr);
  if (status != platform::kErrorSuccess) {
    *error = u"RegCreateKeyEx LocalServer32 failed for " + clsid + u": " + StatusText(status);
    return false;
  }
  return SetRegistryString(server.get(), u"", ComServerCommandLine(), error);
}

bool RegisterComServers(std::u16string* error) {
  return ForEveryClassAndView(RegisterComServer, error);
}

bool UnregisterComServer(const std::u16string& clsid, std::uint32_t view, std::u16string* error) {
  platform::RegistryKey classes;
  platform::Win32Error status = platform::OpenRegistryKey(
      platform::kRegistryLocalMachine, kClassesClsid,
      platform::kKeyRead | platform::kKeyWrite | platform::kKeyDelete | view, &classes);
  if (status != platform::kErrorSuccess) {
    *error = u"RegOpenKeyEx Classes\\CLSID failed: " + StatusText(status);
    return false;
  }
  status = platform::DeleteRegistryTree(classes.get(), clsid);
  if (status == platform::kErrorSuccess || status == platform::kErrorFileNotFound)
    return true;
  *error = u"RegDeleteTree failed for " + clsid + u": " + StatusText(status);
  return false;
}

bool UnregisterComServers(std::u16string* error) {
  return ForEveryClassAndView(UnregisterComServer, error);
}

}  // namespace vovu
