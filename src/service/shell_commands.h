// The shell-registration commands of the whitelist, each with its caller check. They have
// the dispatcher's command shape: only the first argument is read; true when performed,
// false with the reason in `failure`.
#pragma once

#include <string>
#include <vector>

#include "caller/request_context.h"

namespace vovu {

// "unregister-com": administrators only ("admin token required"), then the handler classes
// are removed from both views.
[[nodiscard]] bool RunUnregisterCom(const std::vector<std::u16string>& args,
                                    const RequestContext& context, std::u16string* failure);

// "ensure-cloudfiles-handlers <sync-root id>": the id must be there ("missing SyncRootId")
// and be the caller's own; then the handler values, classes and namespace mirror.
[[nodiscard]] bool RunEnsureCloudFilesHandlers(const std::vector<std::u16string>& args,
                                               const RequestContext& context,
                                               std::u16string* failure);

// "remove-cloudfiles-handlers <sync-root id>": the same checks; then the handler values go.
[[nodiscard]] bool RunRemoveCloudFilesHandlers(const std::vector<std::u16string>& args,
                                               const RequestContext& context,
                                               std::u16string* failure);

// "cleanup": administrators only ("admin token required"), then all of the product's shell
// registration is removed from the machine.
[[nodiscard]] bool RunCleanup(const std::vector<std::u16string>& args,
                              const RequestContext& context, std::u16string* failure);

}  // namespace vovu
