// Captures the debugger-output strings of this process where the target can: on the host a
// listener bound in the machine root; on Windows nothing (Available() is false), since
// reading the debugger output there needs a debugger.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vovu::testing {

class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  // Whether this target can capture at all (the host can, Windows cannot). Where it can, a
  // capture that is not available is a failure of the test, not a reason to skip a check.
  [[nodiscard]] static bool Supported();
  [[nodiscard]] bool Available() const;
  // Every string received so far, as UTF-8, in order.
  [[nodiscard]] std::vector<std::string> Lines();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vovu::testing
