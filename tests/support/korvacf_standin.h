// Copies of the stand-in cloud-files helper (tools/korvacf_standin) for process tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vovu::testing {

// Places a copy of the stand-in helper at `windowsPath` (its folders made as needed), where
// every user may run it. Started without arguments the copy runs until it is stopped.
void PlaceHelperCopy(const std::u16string& windowsPath);

// Copies of the stand-in helper started directly as this process's user, each ended and
// waited for when the object goes.
class RunningHelpers {
 public:
  RunningHelpers() = default;
  ~RunningHelpers();
  RunningHelpers(const RunningHelpers&) = delete;
  RunningHelpers& operator=(const RunningHelpers&) = delete;

  // Places a copy at `windowsPath` and starts it; its process id (0 after a test failure).
  std::uint32_t Start(const std::u16string& windowsPath);
  // The same, 0 without a test failure when the program does not start (the last error
  // says why).
  std::uint32_t TryStart(const std::u16string& windowsPath);
  // Ends the copy `pid` now.
  void Stop(std::uint32_t pid);

 private:
  std::vector<std::uint32_t> running_;
};

}  // namespace vovu::testing
