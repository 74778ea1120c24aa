// How long the service lets one download take as a whole. The per-wait time-outs of every
// request (update_host.h) end a server that goes silent; these end one that keeps sending a
// byte now and then, so that no server and nobody on the network path can hold the worker.
// A stop of the service ends a download at once, whatever its limit.
#pragma once

#include <cstdint>
#include <string>

namespace vovu {

// The manifest fetch: 60 s from the first connect to the last byte.
inline constexpr std::uint32_t kManifestDeadlineMs = 60000;
// The package download: 2 min, plus its expected size at a slow but honest 64 KiB/s, for the
// whole chain of redirects and the body.
inline constexpr std::uint32_t kPackageDeadlineFloorMs = 120000;
inline constexpr std::uint64_t kPackageSlowestBytesPerSecond = 65536;
// Redirects of the package download, each followed by the service itself.
inline constexpr int kMaxPackageRedirects = 5;

struct DownloadLimits {
  std::uint32_t manifestDeadlineMs = kManifestDeadlineMs;
  std::uint32_t packageDeadlineFloorMs = kPackageDeadlineFloorMs;
  std::uint64_t packageSlowestBytesPerSecond = kPackageSlowestBytesPerSecond;
};

// The limits in force: the constants above, unless a test has set others.
[[nodiscard]] DownloadLimits CurrentDownloadLimits();

// The package's total time: the floor plus `expectedSize` at the slowest rate, in ms (at
// most 0xFFFFFFFE, below the platform's "no limit").
[[nodiscard]] std::uint32_t PackageDeadlineMs(std::uint64_t expectedSize);

// "N s" (rounded up) or "N ms" below a second, for the debugger output.
[[nodiscard]] std::u16string DescribeMilliseconds(std::uint32_t ms);

// For tests only (the service never calls it): shorter limits while the object lives, so
// a test can show a deadline without waiting minutes.
class ScopedDownloadLimitsForTest {
 public:
  explicit ScopedDownloadLimitsForTest(const DownloadLimits& limits);
  ~ScopedDownloadLimitsForTest();
  ScopedDownloadLimitsForTest(const ScopedDownloadLimitsForTest&) = delete;
  ScopedDownloadLimitsForTest& operator=(const ScopedDownloadLimitsForTest&) = delete;
};

}  // namespace vovu
