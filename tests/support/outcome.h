// One line per call of the house convention (a bool result and one reason written into a
// caller-owned text): the test compares the call's whole outcome with what it expects.
#pragma once

#include <string>
#include <utility>

namespace vovu::testing {

// Calls `call(args..., &error)` with an empty error: "ok" and whatever reason the call left
// (there should be none) when it succeeds, else the reason it gave.
template <typename Call, typename... Args>
std::u16string Outcome(Call&& call, Args&&... args) {
  std::u16string error;
  const bool ok = std::forward<Call>(call)(std::forward<Args>(args)..., &error);
  return ok ? u"ok" + error : error;
}

}  // namespace vovu::testing
