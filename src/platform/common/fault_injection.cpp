#include "platform/fault_injection.h"

#include <mutex>
#include <vector>

namespace vovu::platform {
namespace {

struct Fault {
  FaultPoint point;
  std::u16string path;
  Win32Error code;
  int times;
};

std::mutex& FaultMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<Fault>& Faults() {
  static std::vector<Fault> faults;
  return faults;
}

struct FreeSpace {
  std::u16string directory;
  std::uint64_t bytes;
};

std::vector<FreeSpace>& FreeSpaces() {
  static std::vector<FreeSpace> answers;
  return answers;
}

char16_t LowerAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? c + 32 : c;
}

bool SamePathIgnoringCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i]))
      return false;
  }
  return true;
}

}  // namespace

void InjectFault(FaultPoint point, const std::u16string& path, Win32Error code, int times) {
  std::lock_guard lock(FaultMutex());
  Faults().push_back({point, path, code, times});
}

void ClearFaults() {
  std::lock_guard lock(FaultMutex());
  Faults().clear();
  FreeSpaces().clear();
}

bool FaultDue(FaultPoint point, const std::u16string& path) {
  std::lock_guard lock(FaultMutex());
  auto& faults = Faults();
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->point != point)
      continue;
    if (!it->path.empty() && !SamePathIgnoringCase(it->path, path))
      continue;
    const Win32Error code = it->code;
    if (it->times > 0 && --it->times == 0)
      faults.erase(it);
    SetLastErrorCode(code);
    return true;
  }
  return false;
}

void InjectFreeDiskBytes(const std::u16string& directory, std::uint64_t bytes) {
  std::lock_guard lock(FaultMutex());
  FreeSpaces().push_back({directory, bytes});
}

bool FreeDiskBytesDue(const std::u16string& directory, std::uint64_t* bytes) {
  std::lock_guard lock(FaultMutex());
  for (const FreeSpace& answer : FreeSpaces()) {
    if (answer.directory.empty() || SamePathIgnoringCase(answer.directory, directory)) {
      *bytes = answer.bytes;
      return true;
    }
  }
  return false;
}

}  // namespace vovu::platform
