// Handler values in a user's own sync-root key under the machine-wide SyncRootManager key,
// and the check that a caller names only its own sync root.
//
// The key is HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\SyncRootManager\<id>
// in the 64-bit view. It is never created here: the sync root's owner registered it.
#pragma once

#include <functional>
#include <string>

#include "caller/request_context.h"

namespace vovu {

inline constexpr char16_t kSyncRootManager[] =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SyncRootManager";
inline constexpr char16_t kSyncRootProviderPrefix[] = u"KorvaStorageProvider!";

// "KorvaStorageProvider!<sid>!KorvaAccount1": the only sync root a user may name.
[[nodiscard]] std::u16string SyncRootIdForSid(const std::u16string& sid);

// The sync-root key's path below HKLM: kSyncRootManager + "\" + `syncRootId`.
[[nodiscard]] std::u16string SyncRootKeyPath(const std::u16string& syncRootId);

// True when `syncRootId` is exactly (code unit for code unit) the caller's own. Failures:
// "caller SID is unavailable" when the context has no SID, otherwise "sync root id does not
// match caller SID".
[[nodiscard]] bool ValidateSyncRootId(const std::u16string& syncRootId,
                                      const RequestContext& context, std::u16string* error);

// Writes CopyHook, MenuVerbHandler_0, CustomStateHandler and
// StorageProviderStatusUISourceFactory (the handler classes' CLSIDs) into the sync-root key
// and then removes StatusUISourceFactory; registers the handler classes; reads the key's
// NamespaceCLSID (up to three reads, `pauseBetweenReads` between them) and, when there is
// one, mirrors that class for the caller. A missing or unopenable key fails at once with
// "RegOpenKeyEx failed for <key path>: error=<status>" and nothing written. Otherwise every
// step runs and their failures are joined by "; " (a failed handler value stops only the
// remaining handler values). Everything done stays done on failure.
[[nodiscard]] bool EnsureCloudFilesHandlers(const std::u16string& syncRootId,
                                            const RequestContext& context,
                                            const std::function<void()>& pauseBetweenReads,
                                            std::u16string* error);

// The same with a 150 ms pause between the NamespaceCLSID reads, for a sync root whose
// registration is still being completed by its owner.
[[nodiscard]] bool EnsureCloudFilesHandlers(const std::u16string& syncRootId,
                                            const RequestContext& context, std::u16string* error);

// Deletes the handler values (StatusUISourceFactory too) from the sync-root key, ignoring
// values that are not there. A sync root without a key has nothing to remove: true. Other
// open failures: "RegOpenKeyEx failed for <key path>: error=<status>". The handler classes
// and the namespace mirror stay.
[[nodiscard]] bool RemoveCloudFilesHandlers(const std::u16string& syncRootId,
                                            std::u16string* error);

}  // namespace vovu
