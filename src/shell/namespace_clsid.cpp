#include "shell/namespace_clsid.h"

#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/registry.h"
#include "shell/registry_string.h"
#include "shell/registry_tree.h"

namespace vovu {
namespace {

constexpr std::uint32_t kMirrorAccess =
    platform::kKeyRead | platform::kKeyWrite | platform::kKeyWow64_64Key;

bool IsHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// The class's tree in the user's registry: first below the user's classes hive, then below
// the user's own hive. An invalid key when neither opens.
platform::RegistryKey OpenSourceClass(const std::u16string& sid, const std::u16string& clsid) {
  platform::RegistryKey source;
  if (sid.empty())
    return source;
  const std::u16string classPath = u"Software\\Classes\\CLSID\\" + clsid;
  for (const std::u16string& hive : {sid + u"_Classes", sid}) {
    platform::RegistryKey hiveKey;
    if (platform::OpenRegistryKey(platform::kRegistryUsers, hive, platform::kKeyRead, &hiveKey) !=
        platform::kErrorSuccess) {
      continue;
    }
    if (platform::OpenRegistryKey(hiveKey.get(), classPath, platform::kKeyRead, &source) ==
        platform::kErrorSuccess) {
      return source;
    }
  }
  return source;
}

}  // namespace

bool IsValidClsidText(const std::u16string& text) {
  if (text.size() != 38 || text.front() != u'{' || text.back() != u'}')
    return false;
  for (std::size_t i = 0; i < 36; ++i) {
    const char16_t c = text[i + 1];
    const bool dashPosition = i == 8 || i == 13 || i == 18 || i == 23;
    if (dashPosition ? c != u'-' : !IsHexDigit(c))
      return false;
  }
  return true;
}

bool ReadNamespaceClsid(platform::NativeHandle syncRootKey, std::u16string* clsid,
                        std::u16string* error) {
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (platform::QueryRegistryValue(syncRootKey, u"NamespaceCLSID", &type, nullptr, &size) !=
      platform::kErrorSuccess) {
    return false;
  }
  if (type != platform::kRegSz && type != platform::kRegExpandSz) {
    *error = u"unexpected registry value type " + ToDecimal(static_cast<unsigned long long>(type));
    return false;
  }
  // The smallest even size above the value's: room for one more NUL whatever was stored.
  std::vector<char16_t> buffer(size / 2 + 1, u'\0');
  std::uint32_t read = static_cast<std::uint32_t>(buffer.size() * sizeof(char16_t));
  if (platform::QueryRegistryValue(syncRootKey, u"NamespaceCLSID", &type, buffer.data(), &read) !=
      platform::kErrorSuccess) {
    return false;
  }
  std::u16string text(buffer.data(), read / 2);
  while (!text.empty() && text.back() == u'\0')
    text.pop_back();
  *clsid = text;
  return true;
}

bool MirrorClsidInto(const std::u16string& root, platform::NativeHandle source,
                     const std::u16string& clsid, std::u16string* error) {
  platform::RegistryKey rootKey;
  platform::Win32Error status =
      platform::OpenRegistryKey(platform::kRegistryLocalMachine, root, kMirrorAccess, &rootKey);
  if (status != platform::kErrorSuccess) {
    *error = u"RegOpenKeyExW failed for " + root + u": " + FormatWin32Error(status);
    return false;
  }
  platform::RegistryKey destination;
  status = platform::CreateRegistryKey(rootKey.get(), clsid, kMirrorAccess, &destination, nullptr);
  if (status != platform::kErrorSuccess) {
    *error =
        u"RegCreateKeyExW failed for " + root + u"\\" + clsid + u": " + FormatWin32Error(status);
    return false;
  }
  if (!CopyRegistryTree(source, destination.get(), error))
    return false;
  // The machine-wide copy is always usable from any thread, whatever the user's said.
  platform::RegistryKey inProcServer;
  if (platform::OpenRegistryKey(destination.get(), u"InProcServer32", platform::kKeySetValue,
                                &inProcServer) == platform::kErrorSuccess) {
    return SetRegistryString(inProcServer.get(), u"ThreadingModel", u"Both", error);
  }
  return true;
}

bool RecordMirroredClsid(const std::u16string& clsid, const std::u16string& syncRootId,
                         std::u16string* error) {
  platform::RegistryKey index;
  const platform::Win32Error status = platform::CreateRegistryKey(
      platform::kRegistryLocalMachine, kMirroredNamespaceIndex,
      platform::kKeySetValue | platform::kKeyWow64_64Key, &index, nullptr);
  if (status != platform::kErrorSuccess) {
    *error = u"create mirrored-namespace index failed: " + FormatWin32Error(status);
    return false;
  }
  return SetRegistryString(index.get(), clsid, syncRootId, error);
}

bool MirrorNamespaceClsid(const RequestContext& context, const std::u16string& clsid,
                          const std::u16string& syncRootId, std::u16string* error) {
  if (!IsValidClsidText(clsid)) {
    *error = u"invalid NamespaceCLSID: " + clsid;
    return false;
  }
  platform::RegistryKey source = OpenSourceClass(context.userSid, clsid);
  if (!source.valid()) {
    *error = u"source CLSID tree not found in user hive for " + clsid;
    return false;
  }
  if (!MirrorClsidInto(kClassRoot64, source.get(), clsid, error))
    return false;
  std::u16string problem;
  if (!MirrorClsidInto(kClassRoot32, source.get(), clsid, &problem)) {
    LogDebug(u"VovudIdavUda: 32-bit NamespaceCLSID mirror skipped (non-fatal): " + problem);
  }
  problem.clear();
  if (!RecordMirroredClsid(clsid, syncRootId, &problem))
    LogDebug(u"VovudIdavUda: failed to record mirrored NamespaceCLSID: " + problem);
  return true;
}

}  // namespace vovu
