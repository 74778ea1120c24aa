#include "shell/sync_root.h"

#include <array>

#include "foundation/text.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "shell/com_registration.h"
#include "shell/failure_list.h"
#include "shell/namespace_clsid.h"
#include "shell/registry_string.h"

namespace vovu {
namespace {

constexpr std::uint32_t kSyncRootAccess =
    platform::kKeyQueryValue | platform::kKeySetValue | platform::kKeyWow64_64Key;
constexpr int kNamespaceReads = 3;
constexpr std::uint32_t kNamespaceReadPauseMs = 150;

struct HandlerValue {
  const char16_t* name;
  const char16_t* clsid;
};

// Written in this order; each names the handler class that serves it.
constexpr std::array<HandlerValue, 4> kHandlerValues = {{
    {u"CopyHook", kHandlerClsids[0]},
    {u"MenuVerbHandler_0", kHandlerClsids[1]},
    {u"CustomStateHandler", kHandlerClsids[2]},
    {u"StorageProviderStatusUISourceFactory", kHandlerClsids[3]},
}};

// The older name of the status-UI value; only the StorageProvider form may stay.
constexpr char16_t kLegacyStatusUiValue[] = u"StatusUISourceFactory";

constexpr std::array<const char16_t*, 5> kRemovedValues = {
    u"CustomStateHandler", u"StorageProviderStatusUISourceFactory", kLegacyStatusUiValue,
    u"MenuVerbHandler_0", u"CopyHook"};

std::u16string OpenFailure(const std::u16string& path, platform::Win32Error status) {
  return u"RegOpenKeyEx failed for " + path + u": error=" +
         ToDecimal(static_cast<unsigned long long>(status));
}

// The key's NamespaceCLSID, read until it is there and not empty or three reads have been
// made. Empty when none came.
std::u16string ReadNamespaceClsidPatiently(platform::NativeHandle key,
                                           const std::function<void()>& pauseBetweenReads) {
  for (int attempt = 1; attempt <= kNamespaceReads; ++attempt) {
    std::u16string clsid;
    std::u16string ignored;
    if (ReadNamespaceClsid(key, &clsid, &ignored) && !clsid.empty())
      return clsid;
    if (attempt < kNamespaceReads)
      pauseBetweenReads();
  }
  return std::u16string();
}

}  // namespace

std::u16string SyncRootIdForSid(const std::u16string& sid) {
  return kSyncRootProviderPrefix + sid + u"!KorvaAccount1";
}

std::u16string SyncRootKeyPath(const std::u16string& syncRootId) {
  return std::u16string(kSyncRootManager) + u"\\" + syncRootId;
}

bool ValidateSyncRootId(const std::u16string& syncRootId, const RequestContext& context,
                        std::u16string* error) {
  if (context.userSid.empty()) {
    *error = u"caller SID is unavailable";
    return false;
  }
  if (syncRootId != SyncRootIdForSid(context.userSid)) {
    *error = u"sync root id does not match caller SID";
    return false;
  }
  return true;
}

bool EnsureCloudFilesHandlers(const std::u16string& syncRootId, const RequestContext& context,
                              const std::function<void()>& pauseBetweenReads,
                              std::u16string* error) {
  const std::u16string path = SyncRootKeyPath(syncRootId);
  platform::RegistryKey key;
  const platform::Win32Error status =
      platform::OpenRegistryKey(platform::kRegistryLocalMachine, path, kSyncRootAccess, &key);
  if (status != platform::kErrorSuccess) {
    *error = OpenFailure(path, status);
    return false;
  }

  bool result = true;
  for (const HandlerValue& value : kHandlerValues) {
    if (!SetRegistryString(key.get(), value.name, value.clsid, error)) {
      result = false;
      break;
    }
  }
  if (result)
    (void)platform::DeleteRegistryValue(key.get(), kLegacyStatusUiValue);

  // The classes and the mirror are attempted even when a handler value failed: each later
  // ensure repeats everything, so every step gets as far as it can now.
  std::u16string failure;
  if (!RegisterComServers(&failure)) {
    AppendFailure(error, failure);
    result = false;
  }

  const std::u16string clsid = ReadNamespaceClsidPatiently(key.get(), pauseBetweenReads);
  if (!clsid.empty()) {
    failure.clear();
    if (!MirrorNamespaceClsid(context, clsid, syncRootId, &failure)) {
      AppendFailure(error, failure);
      result = false;
    }
  }
  return result;
}

bool EnsureCloudFilesHandlers(const std::u16string& syncRootId, const RequestContext& context,
                              std::u16string* error) {
  return EnsureCloudFilesHandlers(
      syncRootId, context, [] { platform::SleepMilliseconds(kNamespaceReadPauseMs); }, error);
}

bool RemoveCloudFilesHandlers(const std::u16string& syncRootId, std::u16string* error) {
  const std::u16string path = SyncRootKeyPath(syncRootId);
  platform::RegistryKey key;
  const platform::Win32Error status =
      platform::OpenRegistryKey(platform::kRegistryLocalMachine, path, kSyncRootAccess, &key);
  if (status == platform::kErrorFileNotFound)
    return true;
  if (status != platform::kErrorSuccess) {
    *error = OpenFailure(path, status);
    return false;
  }
  for (const char16_t* name : kRemovedValues)
    (void)platform::DeleteRegistryValue(key.get(), name);
  return true;
}

}  // namespace vovu
