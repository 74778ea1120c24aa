#include "acquisition/download_limits.h"

#include <algorithm>
#include <mutex>

#include "foundation/text.h"

namespace vovu {
namespace {

struct Override {
  std::mutex mutex;
  bool set = false;
  DownloadLimits limits;
};

Override& State() {
  static Override state;
  return state;
}

}  // namespace

DownloadLimits CurrentDownloadLimits() {
  Override& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.set ? state.limits : DownloadLimits{};
}

std::uint32_t PackageDeadlineMs(std::uint64_t expectedSize) {
  const DownloadLimits limits = CurrentDownloadLimits();
  constexpr std::uint64_t kLongest = 0xFFFFFFFEull;
  const std::uint64_t rate = std::max<std::uint64_t>(limits.packageSlowestBytesPerSecond, 1);
  // The size is at most 2 GiB, so the product cannot overflow.
  const std::uint64_t sizeMs =
      (std::min<std::uint64_t>(expectedSize, 1ull << 40) * 1000 + rate - 1) / rate;
  return static_cast<std::uint32_t>(std::min(kLongest, limits.packageDeadlineFloorMs + sizeMs));
}

std::u16string DescribeMilliseconds(std::uint32_t ms) {
  if (ms < 1000)
    return ToDecimal(static_cast<unsigned long long>(ms)) + u" ms";
  return ToDecimal(static_cast<unsigned long long>((ms + 999ull) / 1000)) + u" s";
}

ScopedDownloadLimitsForTest::ScopedDownloadLimitsForTest(const DownloadLimits& limits) {
  Override& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.set = true;
  state.limits = limits;
}

ScopedDownloadLimitsForTest::~ScopedDownloadLimitsForTest() {
  Override& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.set = false;
}

}  // namespace vovu
