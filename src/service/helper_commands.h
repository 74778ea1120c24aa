// The helper command of the whitelist. It has the dispatcher's command shape: arguments are
// ignored; true when performed, false with the reason in `failure`.
#pragma once

#include <string>
#include <vector>

#include "caller/request_context.h"

namespace vovu {

// "start-korvacf": no caller check; korvaCF.exe is started for the caller in the caller's
// session, unless one runs there already.
[[nodiscard]] bool RunStartKorvaCf(const std::vector<std::u16string>& args,
                                   const RequestContext& context, std::u16string* failure);

}  // namespace vovu
