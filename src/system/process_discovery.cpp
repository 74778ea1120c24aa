#include "system/process_discovery.h"

#include <string>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/process.h"

namespace vovu {
namespace {

// Image paths longer than this are never read, so never matched.
constexpr std::uint32_t kImagePathCapacity = 260;

constexpr char16_t kServiceImageName[] = u"vovudidavuda.exe";
constexpr std::size_t kServiceImageMinimumLength = 16;

}  // namespace

bool IsAnyAppProcessRunning() {
  std::u16string directory = ToLower(GetInstallDirectory());
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
    image = ToLower(image);
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
