#include "shell/namespace_clsid.h"

#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/registry.h"
#include "shell/namespace_class.h"
#include "shell/registry_string.h"

namespace vovu {
namespace {

constexpr std::uint32_t kMirrorAccess =
    platform::kKeyRead | platform::kKeyWrite | platform::kKeyWow64_64Key;

bool IsHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// The class's key in the user's registry: first below the user's classes hive, then below
// the user's own hive, each opened without following any link (a link refuses the class).
// An invalid key when neither opens.
bool OpenSourceClass(const std::u16string& sid, const std::u16string& clsid,
                     platform::RegistryKey* source, std::u16string* error) {
  if (sid.empty())
    return true;
  const std::u16string classPath = u"\\Software\\Classes\\CLSID\\" + clsid;
  for (const std::u16string& hive : {sid + u"_Classes", sid}) {
    if (!OpenKeyWithoutLinks(platform::kRegistryUsers, hive + classPath, source, error))
      return false;
    if (source->valid())
      return true;
  }
  return true;
}

// True when the mirror index names `clsid` for `syncRootId`: the class is the service's own
// copy for this sync root, not a machine class nor another user's mirror.
bool IndexNamesClass(const std::u16string& clsid, const std::u16string& syncRootId) {
  platform::RegistryKey index;
  if (platform::OpenRegistryKey(platform::kRegistryLocalMachine, kMirroredNamespaceIndex,
                                platform::kKeyQueryValue | platform::kKeyWow64_64Key,
                                &index) != platform::kErrorSuccess) {
    return false;
  }
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (platform::QueryRegistryValue(index.get(), clsid, &type, nullptr, &size) !=
          platform::kErrorSuccess ||
      type != platform::kRegSz || size > 1024) {
    return false;
  }
  std::u16string data(size / 2, u'\0');
  if (platform::QueryRegistryValue(index.get(), clsid, &type, data.data(), &size) !=
      platform::kErrorSuccess) {
    return false;
  }
  while (!data.empty() && data.back() == u'\0')
    data.pop_back();
  return data == syncRootId;
}

// Removes the 64-bit copy a failed first mirror made, so that the class is not left
// looking like the machine's.
bool DeleteMirroredClass(const std::u16string& clsid) {
  platform::RegistryKey root;
  return platform::OpenRegistryKey(platform::kRegistryLocalMachine, kClassRoot64,
                                   kMirrorAccess | platform::kKeyDelete,
                                   &root) == platform::kErrorSuccess &&
         platform::DeleteRegistryTree(root.get(), clsid) == platform::kErrorSuccess;
}

bool MachineClassExists(const std::u16string& root, const std::u16string& clsid) {
  platform::RegistryKey key;
  return platform::OpenRegistryKeyWithOptions(
             platform::kRegistryLocalMachine, root + u"\\" + clsid, platform::kRegOptionOpenLink,
             platform::kKeyQueryValue | platform::kKeyWow64_64Key, &key) == platform::kErrorSuccess;
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

bool MirrorClsidInto(const std::u16string& root, const ClassKey& wanted,
                     const std::u16string& clsid, bool mayReuse, bool* madeKey,
                     std::u16string* error) {
  *madeKey = false;
  platform::RegistryKey rootKey;
  platform::Win32Error status =
      platform::OpenRegistryKey(platform::kRegistryLocalMachine, root, kMirrorAccess, &rootKey);
  if (status != platform::kErrorSuccess) {
    *error = u"RegOpenKeyExW failed for " + root + u": " + FormatWin32Error(status);
    return false;
  }
  platform::RegistryKey destination;
  bool created = false;
  status = platform::CreateRegistryKey(rootKey.get(), clsid, kMirrorAccess, &destination, &created);
  if (status != platform::kErrorSuccess) {
    *error =
        u"RegCreateKeyExW failed for " + root + u"\\" + clsid + u": " + FormatWin32Error(status);
    return false;
  }
  *madeKey = created;
  // A key that appeared since the caller looked is someone else's class.
  if (!created && !mayReuse) {
    *error = kMachineClassRefusal + clsid;
    return false;
  }
  return WriteClassExactly(destination.get(), wanted, error);
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
  platform::RegistryKey source;
  if (!OpenSourceClass(context.userSid, clsid, &source, error))
    return false;
  if (!source.valid()) {
    *error = u"source CLSID tree not found in user hive for " + clsid;
    return false;
  }
  ClassKey wanted;
  if (!ReadNamespaceClass(source.get(), &wanted, error))
    return false;

  // Only the service's own copy for this sync root is ever rewritten: a class either root
  // already holds is the machine's (or another user's mirror) unless the index says it is
  // this sync root's. A first copy must be a key this call created, and is named in the
  // index before the mirror answers (or removed again).
  const bool ours = IndexNamesClass(clsid, syncRootId);
  if (!ours &&
      (MachineClassExists(kClassRoot64, clsid) || MachineClassExists(kClassRoot32, clsid))) {
    *error = kMachineClassRefusal + clsid;
    return false;
  }
  bool madeKey = false;
  if (!MirrorClsidInto(kClassRoot64, wanted, clsid, ours, &madeKey, error)) {
    if (madeKey && !ours)
      (void)DeleteMirroredClass(clsid);
    return false;
  }
  if (!ours && !RecordMirroredClsid(clsid, syncRootId, error)) {
    (void)DeleteMirroredClass(clsid);
    return false;
  }
  std::u16string problem;
  if (!MirrorClsidInto(kClassRoot32, wanted, clsid, ours, &madeKey, &problem)) {
    LogDebug(u"VovudIdavUda: 32-bit NamespaceCLSID mirror skipped (non-fatal): " + problem);
  }
  return true;
}

}  // namespace vovu
