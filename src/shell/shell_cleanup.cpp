#include "shell/shell_cleanup.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "foundation/text.h"
#include "platform/registry.h"
#include "shell/com_registration.h"
#include "shell/failure_list.h"
#include "shell/namespace_clsid.h"
#include "shell/registry_tree.h"
#include "shell/sync_root.h"

namespace vovu {
namespace {

constexpr std::uint32_t kRemoveAccess =
    platform::kKeyRead | platform::kKeyWrite | platform::kKeyDelete;

constexpr std::array<const char16_t*, 2> kNamespaceKeys = {
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace",
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Desktop\\NameSpace",
};

bool StartsWithProviderPrefix(const std::u16string& name) {
  return name.starts_with(kSyncRootProviderPrefix);
}

// True when a value of `key` itself is text holding the provider prefix.
bool ValuesMentionProvider(platform::NativeHandle key) {
  const std::u16string prefix = kSyncRootProviderPrefix;
  bool mentions = false;
  (void)ForEachRegistryValue(
      key, /*withData=*/true, [&](platform::Win32Error status, const RegistryValueEntry& value) {
        if (status != platform::kErrorSuccess ||
            (value.type != platform::kRegSz && value.type != platform::kRegExpandSz) ||
            value.data.size() < 2) {
          return true;
        }
        std::u16string text(value.data.size() / 2, u'\0');
        std::memcpy(text.data(), value.data.data(), text.size() * sizeof(char16_t));
        mentions = text.find(prefix) != std::u16string::npos;
        return !mentions;
      });
  return mentions;
}

// Deletes every subkey of one namespace key, in `view`, whose tree mentions the provider.
void RemoveProviderNamespaceEntries(const char16_t* namespaceKey, std::uint32_t view) {
  platform::RegistryKey parent;
  if (platform::OpenRegistryKey(platform::kRegistryLocalMachine, namespaceKey, kRemoveAccess | view,
                                &parent) != platform::kErrorSuccess) {
    return;
  }
  for (const std::u16string& name : EnumSubkeyNames(parent.get())) {
    bool mentions = false;
    {
      platform::RegistryKey entry;
      if (platform::OpenRegistryKey(parent.get(), name, platform::kKeyRead | view, &entry) ==
          platform::kErrorSuccess) {
        mentions = KeyTreeMentionsProvider(entry.get(), view);
      }
    }
    if (mentions)
      (void)platform::DeleteRegistryTree(parent.get(), name);
  }
}

// The namespace CLSIDs that the product's remaining sync roots name, in both views.
std::vector<std::u16string> ClsidsInUse() {
  std::vector<std::u16string> inUse;
  for (std::uint32_t view : kClassViews) {
    platform::RegistryKey manager;
    if (platform::OpenRegistryKey(platform::kRegistryLocalMachine, kSyncRootManager,
                                  platform::kKeyRead | view, &manager) != platform::kErrorSuccess) {
      continue;
    }
    for (const std::u16string& name : EnumSubkeyNames(manager.get())) {
      if (!StartsWithProviderPrefix(name))
        continue;
      platform::RegistryKey syncRoot;
      if (platform::OpenRegistryKey(manager.get(), name, platform::kKeyRead | view, &syncRoot) !=
          platform::kErrorSuccess) {
        continue;
      }
      std::u16string clsid;
      std::u16string ignored;
      if (ReadNamespaceClsid(syncRoot.get(), &clsid, &ignored) && !clsid.empty())
        inUse.push_back(clsid);
    }
  }
  return inUse;
}

}  // namespace

bool KeyTreeMentionsProvider(platform::NativeHandle key, std::uint32_t view) {
  if (ValuesMentionProvider(key))
    return true;
  for (const std::u16string& name : EnumSubkeyNames(key)) {
    platform::RegistryKey child;
    if (platform::OpenRegistryKey(key, name, platform::kKeyRead | view, &child) !=
        platform::kErrorSuccess) {
      continue;
    }
    if (KeyTreeMentionsProvider(child.get(), view))
      return true;
  }
  return false;
}

void RemoveKorvaSyncRoots(std::uint32_t view) {
  platform::RegistryKey manager;
  if (platform::OpenRegistryKey(platform::kRegistryLocalMachine, kSyncRootManager,
                                kRemoveAccess | view, &manager) != platform::kErrorSuccess) {
    return;
  }
  for (const std::u16string& name : EnumSubkeyNames(manager.get())) {
    if (StartsWithProviderPrefix(name))
      (void)platform::DeleteRegistryTree(manager.get(), name);
  }
}

std::vector<std::u16string> ListMirroredClsids() {
  std::vector<std::u16string> clsids;
  platform::RegistryKey index;
  if (platform::OpenRegistryKey(platform::kRegistryLocalMachine, kMirroredNamespaceIndex,
                                platform::kKeyQueryValue | platform::kKeyWow64_64Key,
                                &index) != platform::kErrorSuccess) {
    return clsids;
  }
  (void)ForEachRegistryValue(index.get(), /*withData=*/false,
                             [&](platform::Win32Error status, const RegistryValueEntry& value) {
                               if (status != platform::kErrorSuccess)
                                 return false;
                               clsids.push_back(value.name);
                               return true;
                             });
  return clsids;
}

bool DeleteMirroredClsid(const std::u16string& clsid, std::u16string* error) {
  bool result = true;
  for (const char16_t* root : {kClassRoot64, kClassRoot32}) {
    platform::RegistryKey rootKey;
    if (platform::OpenRegistryKey(platform::kRegistryLocalMachine, root,
                                  kRemoveAccess | platform::kKeyWow64_64Key,
                                  &rootKey) != platform::kErrorSuccess) {
      continue;
    }
    const platform::Win32Error status = platform::DeleteRegistryTree(rootKey.get(), clsid);
    if (status != platform::kErrorSuccess && status != platform::kErrorFileNotFound) {
      AppendFailure(error, u"RegDeleteTreeW failed for " + std::u16string(root) + u"\\" + clsid +
                               u": error=" + ToDecimal(static_cast<unsigned long long>(status)));
      result = false;
    }
  }
  return result;
}

bool RemoveUnusedMirroredClsids(std::u16string* error) {
  const std::vector<std::u16string> inUse = ClsidsInUse();
  for (const std::u16string& clsid : ListMirroredClsids()) {
    if (std::find(inUse.begin(), inUse.end(), clsid) != inUse.end())
      continue;
    std::u16string failure;
    if (!DeleteMirroredClsid(clsid, &failure)) {
      AppendFailure(error, failure);
      continue;
    }
    platform::RegistryKey index;
    if (platform::OpenRegistryKey(platform::kRegistryLocalMachine, kMirroredNamespaceIndex,
                                  platform::kKeySetValue | platform::kKeyWow64_64Key,
                                  &index) == platform::kErrorSuccess) {
      (void)platform::DeleteRegistryValue(index.get(), clsid);
    }
  }
  return true;
}

bool CleanupShellRegistration(std::u16string* error) {
  std::u16string classFailures;
  const bool classesRemoved = UnregisterComServers(&classFailures);

  for (std::uint32_t view : kClassViews) {
    RemoveKorvaSyncRoots(view);
    for (const char16_t* namespaceKey : kNamespaceKeys)
      RemoveProviderNamespaceEntries(namespaceKey, view);
  }

  std::u16string mirrorFailures;
  (void)RemoveUnusedMirroredClsids(&mirrorFailures);
  (void)platform::DeleteRegistryTree(platform::kRegistryLocalMachine, kMirroredNamespaceIndex);

  if (classesRemoved)
    return true;
  *error = classFailures;
  if (!mirrorFailures.empty())
    AppendFailure(error, mirrorFailures);
  return false;
}

}  // namespace vovu
