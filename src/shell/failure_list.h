// Batch registry work does not stop at a failure: it keeps every reason, joined by "; ".
#pragma once

#include <string>

namespace vovu {

// Appends `message` to `*error`, with "; " before it when `*error` is not empty.
inline void AppendFailure(std::u16string* error, const std::u16string& message) {
  if (!error->empty())
    *error += u"; ";
  *error += message;
}

}  // namespace vovu
