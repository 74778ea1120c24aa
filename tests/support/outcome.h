// One line per call of the house conventions, so the test compares a call's whole outcome
// with what it expects: a bool and one reason written into a caller-owned text, or a bool
// and the thread's last error.
#pragma once

#include <string>
#include <utility>

#include "platform/error.h"

namespace vovu::testing {

// Calls `call(args..., &error)` with an empty error: "ok" and whatever reason the call left
// (there should be none) when it succeeds, else the reason it gave.
template <typename Call, typename... Args>
std::u16string Outcome(Call&& call, Args&&... args) {
  std::u16string error;
  const bool ok = std::forward<Call>(call)(std::forward<Args>(args)..., &error);
  return ok ? u"ok" + error : error;
}

// For a call that reports failure through the last error: kErrorSuccess when it
// `succeeded`, else the last error it left.
inline platform::Win32Error ErrorAfter(bool succeeded) {
  return succeeded ? platform::kErrorSuccess : platform::LastError();
}

}  // namespace vovu::testing
