#include "shell/namespace_class.h"

#include <cstring>
#include <optional>

#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/registry.h"
#include "shell/registry_tree.h"

namespace vovu {
namespace {

constexpr std::uint32_t kSourceAccess = platform::kKeyRead | platform::kKeyWow64_64Key;
constexpr std::uint32_t kDestinationAccess =
    platform::kKeyRead | platform::kKeyWrite | platform::kKeyDelete | platform::kKeyWow64_64Key;
// Longest value name taken from a property bag.
constexpr std::size_t kMaxPropertyNameLength = 255;
// Values of a property bag looked at, taken or not: a bag of thousands costs no more.
constexpr std::size_t kMaxPropertyBagVisits = 64;

std::vector<std::uint8_t> TextBytes(const std::u16string& text) {
  std::vector<std::uint8_t> bytes((text.size() + 1) * sizeof(char16_t), 0);
  std::memcpy(bytes.data(), text.data(), text.size() * sizeof(char16_t));
  return bytes;
}

// Value `name` of `key` as text when it is of an allowed type and short enough; trailing
// NULs are dropped, an embedded one refuses it. The read is bounded before it is made.
std::optional<std::u16string> ReadText(platform::NativeHandle key, const std::u16string& name,
                                       bool allowExpand, std::uint32_t* type) {
  std::uint32_t size = 0;
  if (platform::QueryRegistryValue(key, name, type, nullptr, &size) != platform::kErrorSuccess)
    return std::nullopt;
  if (*type != platform::kRegSz && !(allowExpand && *type == platform::kRegExpandSz))
    return std::nullopt;
  if (size % 2 != 0 || size > (kMaxClassTextLength + 2) * sizeof(char16_t))
    return std::nullopt;
  std::u16string text(size / 2, u'\0');
  std::uint32_t read = size;
  std::uint32_t readType = 0;
  if (platform::QueryRegistryValue(key, name, &readType, text.data(), &read) !=
          platform::kErrorSuccess ||
      readType != *type || read != size) {
    return std::nullopt;  // changed meanwhile
  }
  while (!text.empty() && text.back() == u'\0')
    text.pop_back();
  if (text.size() > kMaxClassTextLength || text.find(u'\0') != std::u16string::npos)
    return std::nullopt;
  return text;
}

std::optional<std::uint32_t> ReadDword(platform::NativeHandle key, const std::u16string& name) {
  std::uint32_t type = 0;
  std::uint32_t value = 0;
  std::uint32_t size = sizeof(value);
  if (platform::QueryRegistryValue(key, name, &type, &value, &size) != platform::kErrorSuccess ||
      type != platform::kRegDword || size != sizeof(value)) {
    return std::nullopt;
  }
  return value;
}

void TakeText(platform::NativeHandle key, const std::u16string& name, bool allowExpand,
              ClassKey* out) {
  std::uint32_t type = 0;
  if (const auto text = ReadText(key, name, allowExpand, &type))
    out->values.push_back({name, type, TextBytes(*text)});
}

void TakeDword(platform::NativeHandle key, const std::u16string& name, ClassKey* out) {
  if (const auto value = ReadDword(key, name)) {
    std::vector<std::uint8_t> bytes(sizeof(*value));
    std::memcpy(bytes.data(), &*value, sizeof(*value));
    out->values.push_back({name, platform::kRegDword, bytes});
  }
}

// The property bag's values: text or DWORD, bounded in number, name and size.
void TakePropertyBag(platform::NativeHandle bag, ClassKey* out) {
  std::vector<std::u16string> names;
  (void)ForEachRegistryValue(bag, /*withData=*/false,
                             [&](platform::Win32Error status, const RegistryValueEntry& value) {
                               if (status == platform::kErrorSuccess && !value.name.empty() &&
                                   value.name.size() <= kMaxPropertyNameLength) {
                                 names.push_back(value.name);
                               }
                               return names.size() < kMaxPropertyBagVisits;
                             });
  for (const std::u16string& name : names) {
    if (out->values.size() == kMaxPropertyBagValues)
      break;
    const std::size_t before = out->values.size();
    TakeText(bag, name, /*allowExpand=*/true, out);
    if (out->values.size() == before)
      TakeDword(bag, name, out);
  }
}

bool IsLink(platform::NativeHandle key) {
  std::uint32_t size = 0;
  return platform::QueryRegistryValue(key, platform::kRegistryLinkValueName, nullptr, nullptr,
                                      &size) == platform::kErrorSuccess;
}

}  // namespace

bool OpenKeyWithoutLinks(platform::NativeHandle parent, const std::u16string& path,
                         platform::RegistryKey* key, std::u16string* error) {
  key->reset();
  platform::RegistryKey current;
  std::u16string walked;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos)
      end = path.size();
    const std::u16string name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty())
      continue;
    walked += (walked.empty() ? u"" : u"\\") + name;
    platform::RegistryKey next;
    const platform::Win32Error status =
        platform::OpenRegistryKeyWithOptions(current.valid() ? current.get() : parent, name,
                                             platform::kRegOptionOpenLink, kSourceAccess, &next);
    if (status != platform::kErrorSuccess)
      return true;  // missing (or unreadable): no such key
    if (IsLink(next.get())) {
      *error = u"registry link refused in NamespaceCLSID source: " + walked;
      return false;
    }
    current = std::move(next);
  }
  *key = std::move(current);
  return true;
}

bool NamesSystemShell32(std::uint32_t type, const std::u16string& text) {
  if (EqualsIgnoringCase(text, u"shell32.dll"))
    return true;
  if (type == platform::kRegExpandSz &&
      (EqualsIgnoringCase(text, u"%SystemRoot%\\System32\\shell32.dll") ||
       EqualsIgnoringCase(text, u"%windir%\\System32\\shell32.dll"))) {
    return true;
  }
  std::u16string systemRoot;
  const std::uint32_t length = platform::GetEnvironmentValue(u"SystemRoot", &systemRoot, 260);
  return length > 0 && length < 260 &&
         EqualsIgnoringCase(text, JoinPath(systemRoot, u"System32\\shell32.dll"));
}

bool ReadNamespaceClass(platform::NativeHandle source, ClassKey* out, std::u16string* error) {
  *out = ClassKey();
  TakeText(source, u"", /*allowExpand=*/false, out);
  TakeDword(source, u"System.IsPinnedToNameSpaceTree", out);
  TakeDword(source, u"SortOrderIndex", out);

  platform::RegistryKey key;
  if (!OpenKeyWithoutLinks(source, u"DefaultIcon", &key, error))
    return false;
  if (key.valid()) {
    ClassKey icon;
    TakeText(key.get(), u"", /*allowExpand=*/true, &icon);
    if (!icon.values.empty())
      out->subkeys[u"DefaultIcon"] = icon;
  }

  if (!OpenKeyWithoutLinks(source, u"InProcServer32", &key, error))
    return false;
  if (key.valid()) {
    std::uint32_t type = 0;
    const auto server = ReadText(key.get(), u"", /*allowExpand=*/true, &type);
    if (server && NamesSystemShell32(type, *server)) {
      ClassKey inProc;
      inProc.values.push_back({u"", type, TextBytes(*server)});
      // The machine-wide copy is always usable from any thread, whatever the user's said.
      inProc.values.push_back({u"ThreadingModel", platform::kRegSz, TextBytes(u"Both")});
      out->subkeys[u"InProcServer32"] = inProc;
    }
  }

  if (!OpenKeyWithoutLinks(source, u"Instance", &key, error))
    return false;
  if (key.valid()) {
    std::uint32_t type = 0;
    const auto clsid = ReadText(key.get(), u"CLSID", /*allowExpand=*/false, &type);
    if (clsid && EqualsIgnoringCase(*clsid, kFileSystemFolderClsid)) {
      ClassKey instance;
      instance.values.push_back({u"CLSID", platform::kRegSz, TextBytes(*clsid)});
      platform::RegistryKey bag;
      if (!OpenKeyWithoutLinks(key.get(), u"InitPropertyBag", &bag, error))
        return false;
      if (bag.valid()) {
        ClassKey properties;
        TakePropertyBag(bag.get(), &properties);
        instance.subkeys[u"InitPropertyBag"] = properties;
      }
      out->subkeys[u"Instance"] = instance;
    }
  }

  if (!OpenKeyWithoutLinks(source, u"ShellFolder", &key, error))
    return false;
  if (key.valid()) {
    ClassKey folder;
    TakeDword(key.get(), u"Attributes", &folder);
    TakeDword(key.get(), u"FolderValueFlags", &folder);
    out->subkeys[u"ShellFolder"] = folder;
  }
  return true;
}

bool WriteClassExactly(platform::NativeHandle destination, const ClassKey& wanted,
                       std::u16string* error) {
  for (const ClassValue& value : wanted.values) {
    if (platform::SetRegistryValue(destination, value.name, value.type, value.data.data(),
                                   static_cast<std::uint32_t>(value.data.size())) !=
        platform::kErrorSuccess) {
      *error = u"RegSetValueExW failed while copying CLSID tree";
      return false;
    }
  }
  for (const auto& [name, child] : wanted.subkeys) {
    platform::RegistryKey key;
    if (platform::CreateRegistryKey(destination, name, kDestinationAccess, &key, nullptr) !=
        platform::kErrorSuccess) {
      *error = u"RegCreateKeyExW failed while copying CLSID tree";
      return false;
    }
    if (!WriteClassExactly(key.get(), child, error))
      return false;
  }

  // What is there and not wanted goes: names are compared as the registry does.
  std::vector<std::u16string> extraValues;
  const bool listed =
      ForEachRegistryValue(destination, /*withData=*/false,
                           [&](platform::Win32Error status, const RegistryValueEntry& value) {
                             if (status != platform::kErrorSuccess)
                               return true;
                             bool keep = false;
                             for (const ClassValue& w : wanted.values)
                               keep = keep || EqualsIgnoringCase(w.name, value.name);
                             if (!keep)
                               extraValues.push_back(value.name);
                             return true;
                           });
  if (!listed) {
    *error = u"RegQueryInfoKeyW failed while copying CLSID tree";
    return false;
  }
  for (const std::u16string& name : extraValues) {
    if (platform::DeleteRegistryValue(destination, name) != platform::kErrorSuccess) {
      *error = u"RegDeleteValueW failed while copying CLSID tree";
      return false;
    }
  }
  for (const std::u16string& name : EnumSubkeyNames(destination)) {
    bool keep = false;
    for (const auto& entry : wanted.subkeys)
      keep = keep || EqualsIgnoringCase(entry.first, name);
    if (!keep && platform::DeleteRegistryTree(destination, name) != platform::kErrorSuccess) {
      *error = u"RegDeleteTreeW failed while copying CLSID tree";
      return false;
    }
  }
  return true;
}

}  // namespace vovu
