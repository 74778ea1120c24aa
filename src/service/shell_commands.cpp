#include "service/shell_commands.h"

#include "shell/com_registration.h"
#include "shell/shell_cleanup.h"
#include "shell/sync_root.h"

namespace vovu {
namespace {

constexpr char16_t kAdminRequired[] = u"admin token required";

// The sync-root id named by the request, checked to be the caller's own.
bool AcceptSyncRootId(const std::vector<std::u16string>& args, const RequestContext& context,
                      std::u16string* failure) {
  if (args.empty()) {
    *failure = u"missing SyncRootId";
    return false;
  }
  return ValidateSyncRootId(args.front(), context, failure);
}

}  // namespace

bool RunUnregisterCom(const std::vector<std::u16string>&, const RequestContext& context,
                      std::u16string* failure) {
  if (!IsAdminCaller(context)) {
    *failure = kAdminRequired;
    return false;
  }
  return UnregisterComServers(failure);
}

bool RunEnsureCloudFilesHandlers(const std::vector<std::u16string>& args,
                                 const RequestContext& context, std::u16string* failure) {
  if (!AcceptSyncRootId(args, context, failure))
    return false;
  return EnsureCloudFilesHandlers(args.front(), context, failure);
}

bool RunRemoveCloudFilesHandlers(const std::vector<std::u16string>& args,
                                 const RequestContext& context, std::u16string* failure) {
  if (!AcceptSyncRootId(args, context, failure))
    return false;
  return RemoveCloudFilesHandlers(args.front(), failure);
}

bool RunCleanup(const std::vector<std::u16string>&, const RequestContext& context,
                std::u16string* failure) {
  if (!IsAdminCaller(context)) {
    *failure = kAdminRequired;
    return false;
  }
  return CleanupShellRegistration(failure);
}

}  // namespace vovu
