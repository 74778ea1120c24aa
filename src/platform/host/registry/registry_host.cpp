// The registry on the host: keys of the machine root's store (registry_store.h), reached
// through handles that remember the key they name and the rights granted when it was
// opened.
//
// Rights are decided when a key is opened or created, as on Windows: asking for any right
// that changes a key (set value, create subkey, delete, ...) is refused with 5 unless the
// calling thread's file-system uid may change it (registry_paths.h). The predefined roots
// grant every right to whoever may change them and read rights to everybody else.
// Deleting a tree is checked against the caller's uid at the time of the call.
#include <sys/fsuid.h>

#include <cstring>
#include <optional>

#include "platform/fault_injection.h"
#include "platform/host/registry/registry_paths.h"
#include "platform/host/registry/registry_store.h"
#include "platform/registry.h"

namespace vovu::platform {
namespace {

using host::FoldedKeyPath;
using host::KeyPath;
using host::StoredSizes;
using host::StoredValue;
using host::StoreSession;

constexpr std::uint32_t kKeyCreateLink = 0x0020;
constexpr Win32Error kErrorCantResolveFileName = 1921;
constexpr std::uint32_t kWriteDac = 0x00040000;
constexpr std::uint32_t kWriteOwner = 0x00080000;
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericExecute = 0x20000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kGenericRead = 0x80000000;
constexpr std::uint32_t kChangeRights =
    kKeySetValue | kKeyCreateSubKey | kKeyCreateLink | kKeyDelete | kWriteDac | kWriteOwner;

struct HostKey {
  KeyPath path;
  std::uint32_t access = 0;
  bool predefined = false;
};

const HostKey* PredefinedKey(NativeHandle h) {
  static const HostKey localMachine{{host::kHiveLocalMachine}, kKeyAllAccess, true};
  static const HostKey users{{host::kHiveUsers}, kKeyAllAccess, true};
  if (h == kRegistryLocalMachine)
    return &localMachine;
  if (h == kRegistryUsers)
    return &users;
  return nullptr;
}

// The key behind a handle: a predefined root or an open key; null for no handle.
const HostKey* KeyOf(NativeHandle h) {
  if (const HostKey* predefined = PredefinedKey(h))
    return predefined;
  if (!IsUsableHandle(h))
    return nullptr;
  return reinterpret_cast<const HostKey*>(h);
}

// The file-system uid of the calling thread: an invalid uid changes nothing and returns it.
std::uint32_t CallerUid() {
  return static_cast<std::uint32_t>(setfsuid(static_cast<uid_t>(-1)));
}

std::uint32_t MapGenericRights(std::uint32_t access) {
  std::uint32_t rights = access & ~(kGenericAll | kGenericExecute | kGenericWrite | kGenericRead |
                                    kKeyWow64_32Key | kKeyWow64_64Key);
  if (access & (kGenericRead | kGenericExecute))
    rights |= kKeyRead;
  if (access & kGenericWrite)
    rights |= kKeyWrite;
  if (access & kGenericAll)
    rights |= kKeyAllAccess;
  return rights;
}

std::uint32_t GrantedRights(const HostKey& key) {
  if (!key.predefined)
    return key.access;
  return host::MayChangeKey(key.path, CallerUid()) ? kKeyAllAccess : kKeyRead;
}

// The test seam, without disturbing the thread's last error (registry calls leave it).
bool RegistryFault(FaultPoint point, const KeyPath& path, Win32Error* code) {
  const Win32Error saved = LastError();
  const bool due = FaultDue(point, host::JoinKeyPath(path));
  *code = LastError();
  SetLastErrorCode(saved);
  return due;
}

// A change refused by the seam for `path` or a key above it.
bool ChangeRefused(const KeyPath& path, Win32Error* code) {
  for (std::size_t depth = path.size(); depth >= 1; --depth) {
    const KeyPath prefix(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(depth));
    if (RegistryFault(FaultPoint::kRegistryWrite, prefix, code))
      return true;
  }
  return false;
}

KeyPath Prefix(const KeyPath& path, std::size_t depth) {
  return KeyPath(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(depth));
}

// The key that parent\subKey names in the view `access` asks for.
Win32Error Resolve(NativeHandle parent, const std::u16string& subKey, std::uint32_t access,
                   KeyPath* path) {
  if ((access & kKeyWow64_32Key) && (access & kKeyWow64_64Key))
    return kErrorInvalidParameter;
  const HostKey* base = KeyOf(parent);
  if (base == nullptr)
    return kErrorInvalidHandle;
  *path = base->path;
  host::AppendSubKeyPath(subKey, path);
  host::ResolveView((access & kKeyWow64_32Key) != 0, path);
  return kErrorSuccess;
}

// The key path a link's target names: "\REGISTRY\MACHINE\..." is HKLM, "\REGISTRY\USER\..."
// HKU (ignoring case). False for anything else.
bool LinkTargetPath(const std::string& bytes, KeyPath* target) {
  std::u16string text(bytes.size() / sizeof(char16_t), u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
  while (!text.empty() && text.back() == u'\0')
    text.pop_back();
  KeyPath names;
  host::AppendSubKeyPath(text, &names);
  if (names.size() < 2 || host::FoldKeyName(names[0]) != u"REGISTRY")
    return false;
  const std::u16string hive = host::FoldKeyName(names[1]);
  if (hive == u"MACHINE")
    *target = {host::kHiveLocalMachine};
  else if (hive == u"USER")
    *target = {host::kHiveUsers};
  else
    return false;
  target->insert(target->end(), names.begin() + 2, names.end());
  return true;
}

// Follows the registry links on `path` as Windows does: a key whose kRegistryLinkValueName
// value is of type REG_LINK stands for its target, at any depth, except the last key when
// `openLink`. (Windows makes a key a link only when it is created with
// REG_OPTION_CREATE_LINK; the host takes the value alone for it, which lets an attacker do
// no less.) A key below a hive's root and the keys above it lie in one store, so each hop
// is one transaction. 2 when a target is not a key path; 1921 after 16 hops.
Win32Error FollowLinks(bool openLink, KeyPath* path) {
  for (int hop = 0; hop <= 16; ++hop) {
    std::optional<KeyPath> next;
    const Win32Error status =
        host::RunInRegistryStore(FoldedKeyPath(*path), false, [&](StoreSession& store) {
          const std::size_t last = openLink ? path->size() - 1 : path->size();
          for (std::size_t depth = 2; depth <= last; ++depth) {
            const std::u16string folded = FoldedKeyPath(Prefix(*path, depth));
            if (!store.KeyExists(folded))
              return kErrorSuccess;
            const std::optional<StoredValue> link = store.Value(folded, kRegistryLinkValueName);
            if (!link || link->type != kRegLink)
              continue;
            KeyPath target;
            if (!LinkTargetPath(link->data, &target))
              return kErrorFileNotFound;
            target.insert(target.end(), path->begin() + static_cast<std::ptrdiff_t>(depth),
                          path->end());
            next = std::move(target);
            return kErrorSuccess;
          }
          return kErrorSuccess;
        });
    if (status != kErrorSuccess)
      return status;
    if (!next)
      return kErrorSuccess;
    *path = std::move(*next);
  }
  return kErrorCantResolveFileName;
}

NativeHandle NewHandle(const KeyPath& path, std::uint32_t rights) {
  return reinterpret_cast<NativeHandle>(new HostKey{path, rights, false});
}

// Reads or writes inside one store transaction on the key of an open handle that holds
// `needed`; 6 without a handle, 5 without the right, 1018 when the key has gone.
template <typename Work>
Win32Error WithKey(NativeHandle h, std::uint32_t needed, bool write, Work work) {
  const HostKey* key = KeyOf(h);
  if (key == nullptr)
    return kErrorInvalidHandle;
  if ((GrantedRights(*key) & needed) != needed)
    return kErrorAccessDenied;
  const std::u16string folded = FoldedKeyPath(key->path);
  return host::RunInRegistryStore(folded, write, [&](StoreSession& store) -> Win32Error {
    if (!store.KeyExists(folded))
      return kErrorKeyDeleted;
    return work(store, *key, folded);
  });
}

// The size protocol of RegQueryValueExW for `bytes` into `data` / `*size`.
Win32Error CopyData(const std::string& bytes, void* data, std::uint32_t* size) {
  const auto needed = static_cast<std::uint32_t>(bytes.size());
  if (data == nullptr) {
    if (size != nullptr)
      *size = needed;
    return kErrorSuccess;
  }
  if (size == nullptr)
    return kErrorInvalidParameter;
  const std::uint32_t room = *size;
  *size = needed;
  if (room < needed)
    return kErrorMoreData;
  if (needed > 0)
    std::memcpy(data, bytes.data(), needed);
  return kErrorSuccess;
}

// A name and its NUL into a caller's buffer of `*length` characters.
Win32Error CopyName(const std::u16string& text, char16_t* name, std::uint32_t* length) {
  if (name == nullptr || length == nullptr)
    return kErrorInvalidParameter;
  if (text.size() + 1 > *length)
    return kErrorMoreData;
  std::memcpy(name, text.data(), text.size() * sizeof(char16_t));
  name[text.size()] = u'\0';
  *length = static_cast<std::uint32_t>(text.size());
  return kErrorSuccess;
}

}  // namespace

void RegistryKeyTraits::Close(Type h) {
  if (PredefinedKey(h) == nullptr)
    delete reinterpret_cast<HostKey*>(h);
}

Win32Error OpenRegistryKey(NativeHandle parent, const std::u16string& subKey, std::uint32_t access,
                           RegistryKey* key) {
  return OpenRegistryKeyWithOptions(parent, subKey, 0, access, key);
}

Win32Error OpenRegistryKeyWithOptions(NativeHandle parent, const std::u16string& subKey,
                                      std::uint32_t options, std::uint32_t access,
                                      RegistryKey* key) {
  KeyPath path;
  Win32Error status = Resolve(parent, subKey, access, &path);
  if (status != kErrorSuccess)
    return status;
  status = FollowLinks((options & kRegOptionOpenLink) != 0, &path);
  if (status != kErrorSuccess)
    return status;
  if (RegistryFault(FaultPoint::kRegistryOpen, path, &status))
    return status;
  status = host::RunInRegistryStore(FoldedKeyPath(path), false, [&](StoreSession& store) {
    return store.KeyExists(FoldedKeyPath(path)) ? kErrorSuccess : kErrorFileNotFound;
  });
  if (status != kErrorSuccess)
    return status;
  const std::uint32_t rights = MapGenericRights(access);
  if ((rights & kChangeRights) != 0 && !host::MayChangeKey(path, CallerUid()))
    return kErrorAccessDenied;
  key->reset(NewHandle(path, rights));
  return kErrorSuccess;
}

namespace {

Win32Error CreateKeyAt(KeyPath path, std::uint32_t access, bool openLink, RegistryKey* key,
                       bool* created) {
  Win32Error status = FollowLinks(openLink, &path);
  if (status != kErrorSuccess)
    return status;
  if (RegistryFault(FaultPoint::kRegistryOpen, path, &status))
    return status;
  const std::uint32_t rights = MapGenericRights(access);
  const bool mayChange = host::MayChangeKey(path, CallerUid());
  bool isNew = false;
  status =
      host::RunInRegistryStore(FoldedKeyPath(path), true, [&](StoreSession& store) -> Win32Error {
        if (store.KeyExists(FoldedKeyPath(path))) {
          return (rights & kChangeRights) != 0 && !mayChange ? kErrorAccessDenied : kErrorSuccess;
        }
        if (!mayChange)
          return kErrorAccessDenied;
        Win32Error refused = kErrorSuccess;
        if (ChangeRefused(path, &refused))
          return refused;
        // Every missing key from the deepest existing one down is created; the hive exists.
        std::size_t depth = path.size() - 1;
        while (depth > 1 && !store.KeyExists(FoldedKeyPath(Prefix(path, depth))))
          --depth;
        for (++depth; depth <= path.size(); ++depth) {
          store.AddKey(FoldedKeyPath(Prefix(path, depth)), FoldedKeyPath(Prefix(path, depth - 1)),
                       path[depth - 1]);
        }
        isNew = true;
        return kErrorSuccess;
      });
  if (status != kErrorSuccess)
    return status;
  key->reset(NewHandle(path, rights));
  if (created != nullptr)
    *created = isNew;
  return kErrorSuccess;
}

}  // namespace

Win32Error CreateRegistryKey(NativeHandle parent, const std::u16string& subKey,
                             std::uint32_t access, RegistryKey* key, bool* created) {
  KeyPath path;
  const Win32Error status = Resolve(parent, subKey, access, &path);
  if (status != kErrorSuccess)
    return status;
  return CreateKeyAt(std::move(path), access, false, key, created);
}

Win32Error CreateRegistryLink(NativeHandle parent, const std::u16string& subKey,
                              const std::u16string& target) {
  KeyPath path;
  Win32Error status = Resolve(parent, subKey, 0, &path);
  if (status != kErrorSuccess)
    return status;
  RegistryKey link;
  bool created = false;
  status = CreateKeyAt(std::move(path), kKeyAllAccess | kKeyCreateLink, true, &link, &created);
  if (status != kErrorSuccess)
    return status;
  if (!created)
    return kErrorAlreadyExists;
  return SetRegistryValue(link.get(), kRegistryLinkValueName, kRegLink, target.data(),
                          static_cast<std::uint32_t>(target.size() * sizeof(char16_t)));
}

Win32Error SetRegistryValue(NativeHandle key, const std::u16string& name, std::uint32_t type,
                            const void* data, std::uint32_t size) {
  if (data == nullptr && size != 0)
    return kErrorInvalidParameter;
  return WithKey(key, kKeySetValue, true,
                 [&](StoreSession& store, const HostKey& k, const std::u16string& folded) {
                   Win32Error refused = kErrorSuccess;
                   if (ChangeRefused(k.path, &refused))
                     return refused;
                   const char* bytes = static_cast<const char*>(data);
                   store.SetValue(folded, StoredValue{name, type, std::string(bytes, size)});
                   return kErrorSuccess;
                 });
}

Win32Error QueryRegistryValue(NativeHandle key, const std::u16string& name, std::uint32_t* type,
                              void* data, std::uint32_t* size) {
  return WithKey(key, kKeyQueryValue, false,
                 [&](StoreSession& store, const HostKey&, const std::u16string& folded) {
                   const std::optional<StoredValue> value = store.Value(folded, name);
                   if (!value)
                     return kErrorFileNotFound;
                   if (type != nullptr)
                     *type = value->type;
                   return CopyData(value->data, data, size);
                 });
}

Win32Error QueryRegistryKeyInfo(NativeHandle key, RegistryKeyInfo* info) {
  return WithKey(key, kKeyQueryValue, false,
                 [&](StoreSession& store, const HostKey&, const std::u16string& folded) {
                   const StoredSizes subKeys = store.SubKeySizes(folded);
                   const StoredSizes values = store.ValueSizes(folded);
                   info->subKeyCount = subKeys.count;
                   info->maxSubKeyNameLength = subKeys.maxNameLength;
                   info->valueCount = values.count;
                   info->maxValueNameLength = values.maxNameLength;
                   info->maxValueDataSize = values.maxDataSize;
                   return kErrorSuccess;
                 });
}

Win32Error EnumRegistrySubKey(NativeHandle key, std::uint32_t index, char16_t* name,
                              std::uint32_t* nameLength) {
  return WithKey(key, kKeyEnumerateSubKeys, false,
                 [&](StoreSession& store, const HostKey&, const std::u16string& folded) {
                   const std::optional<std::u16string> found = store.SubKeyAt(folded, index);
                   if (!found)
                     return kErrorNoMoreItems;
                   return CopyName(*found, name, nameLength);
                 });
}

Win32Error EnumRegistryValue(NativeHandle key, std::uint32_t index, char16_t* name,
                             std::uint32_t* nameLength, std::uint32_t* type, void* data,
                             std::uint32_t* dataSize) {
  return WithKey(key, kKeyQueryValue, false,
                 [&](StoreSession& store, const HostKey&, const std::u16string& folded) {
                   const std::optional<StoredValue> value = store.ValueAt(folded, index);
                   if (!value)
                     return kErrorNoMoreItems;
                   const Win32Error named = CopyName(value->name, name, nameLength);
                   if (named != kErrorSuccess)
                     return named;
                   if (type != nullptr)
                     *type = value->type;
                   return CopyData(value->data, data, dataSize);
                 });
}

Win32Error DeleteRegistryValue(NativeHandle key, const std::u16string& name) {
  return WithKey(key, kKeySetValue, true,
                 [&](StoreSession& store, const HostKey& k, const std::u16string& folded) {
                   Win32Error refused = kErrorSuccess;
                   if (ChangeRefused(k.path, &refused))
                     return refused;
                   return store.DeleteValue(folded, name) ? kErrorSuccess : kErrorFileNotFound;
                 });
}

Win32Error DeleteRegistryTree(NativeHandle key, const std::u16string& subKey) {
  const HostKey* base = KeyOf(key);
  if (base == nullptr)
    return kErrorInvalidHandle;
  KeyPath path = base->path;
  host::AppendSubKeyPath(subKey, &path);
  const bool withKey = path.size() > base->path.size();
  const bool mayChange = host::MayChangeKey(path, CallerUid());
  return host::RunInRegistryStore(FoldedKeyPath(path), true,
                                  [&](StoreSession& store) -> Win32Error {
                                    const std::u16string folded = FoldedKeyPath(path);
                                    if (!store.KeyExists(folded))
                                      return withKey ? kErrorFileNotFound : kErrorKeyDeleted;
                                    if (!mayChange)
                                      return kErrorAccessDenied;
                                    Win32Error refused = kErrorSuccess;
                                    if (ChangeRefused(path, &refused))
                                      return refused;
                                    store.DeleteTree(folded, withKey);
                                    return kErrorSuccess;
                                  });
}

}  // namespace vovu::platform
