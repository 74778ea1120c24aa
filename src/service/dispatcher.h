// The only door from a caller to the service's privileged work: a fixed whitelist of
// command words, each with its own caller checks.
#pragma once

#include <string>
#include <vector>

#include "caller/request_context.h"

namespace vovu {

// Runs (or queues) the command named by `word` (already normalised) for `context`. Only the
// first argument is ever read. True when the command was performed or accepted for the
// worker; false with the reason in `failure` ("unknown command: <word>" for a word outside
// the whitelist, the empty word included). Exceptions from a command pass through.
[[nodiscard]] bool ExecuteWhitelistedCommand(const std::u16string& word,
                                             const std::vector<std::u16string>& args,
                                             const RequestContext& context,
                                             std::u16string* failure);

// The whitelist's words, in the order a request's word is tested against them.
[[nodiscard]] std::vector<std::u16string> WhitelistedCommandWords();

}  // namespace vovu
