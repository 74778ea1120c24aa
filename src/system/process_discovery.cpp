#include "system/process_discovery.h"

#include <string>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/long_path.h"
#include "platform/process.h"

namespace vovu {
namespace {

// The longest path Windows has: any image path can be read.
constexpr std::uint32_t kImagePathCapacity = platform::kLongestPath;

constexpr char16_t kServiceImageName[] = u"vovudidavuda.exe";
constexpr std::size_t kServiceImageMinimumLength = 16;

// The lower-cased canonical long form of `path` (platform/long_path.h), so that an 8.3 or
// `\\?\` spelling of the installation matches the path a process reports; the path as it is
// when it cannot be made canonical.
std::u16string Comparable(const std::u16string& path) {
  std::u16string canonical;
  return ToLower(platform::CanonicalLongPath(path, &canonical) ? canonical : path);
}

}  // namespace

bool IsAnyAppProcessRunning() {
  std::u16string directory = Comparable(GetInstallDirectory());
  if (!directory.empty() && directory.back() != u'\\')
    directory += u'\\';

  std::vector<platform::ProcessEntry> processes;
  if (!platform::SnapshotProcesses(&processes))
    return false;

  const std::uint32_t self = platform::CurrentProcessId();
  for (const platform::ProcessEntry& process : processes) {
    if (process.processId == self)
      continue;
    const platform::ProcessHandle handle =
        platform::OpenProcessById(process.processId, platform::kProcessQueryLimitedInformation);
    if (!handle)
      continue;
    std::u16string image;
    if (!platform::QueryProcessImagePath(handle, &image, kImagePathCapacity))
      continue;
    image = Comparable(image);
    if (!directory.empty() && image.compare(0, directory.size(), directory) != 0)
      continue;
    if (image.size() < kServiceImageMinimumLength ||
        image.find(kServiceImageName) == std::u16string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace vovu
