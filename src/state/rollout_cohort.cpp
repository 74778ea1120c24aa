#include "state/rollout_cohort.h"

#include <algorithm>
#include <vector>

#include "foundation/sha256.h"
#include "foundation/text.h"
#include "platform/registry.h"

namespace vovu {
namespace {

constexpr char16_t kCryptographyKey[] = u"SOFTWARE\\Microsoft\\Cryptography";
constexpr std::uint32_t kMinGuidBytes = 2;
constexpr std::uint32_t kMaxGuidBytes = 4096;

// The default locale's wide white space: tab, line feed, vertical tab, form feed, carriage
// return and blank.
bool IsWideSpace(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

std::u16string Status(const char16_t* prefix, platform::Win32Error status) {
  return prefix + ToDecimal(static_cast<unsigned long long>(status));
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9')
    return c - u'0';
  if (c >= u'a' && c <= u'f')
    return c - u'a' + 10;
  if (c >= u'A' && c <= u'F')
    return c - u'A' + 10;
  return -1;
}

}  // namespace

bool ReadMachineGuid(std::u16string* guid, std::u16string* error) {
  platform::RegistryKey key;
  platform::Win32Error status =
      platform::OpenRegistryKey(platform::kRegistryLocalMachine, kCryptographyKey,
                                platform::kKeyQueryValue | platform::kKeyWow64_64Key, &key);
  if (status != 0) {
    *error = Status(u"cannot open MachineGuid registry key, error=", status);
    return false;
  }
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  status = platform::QueryRegistryValue(key.get(), u"MachineGuid", &type, nullptr, &size);
  if (status != 0 || (type != platform::kRegSz && type != platform::kRegExpandSz) ||
      size < kMinGuidBytes || size > kMaxGuidBytes) {
    *error = Status(u"cannot query MachineGuid, error=", status);
    return false;
  }
  std::vector<char16_t> buffer(size / 2 + 1, u'\0');
  std::uint32_t bytes = size;
  status = platform::QueryRegistryValue(key.get(), u"MachineGuid", &type, buffer.data(), &bytes);
  if (status != 0) {
    *error = Status(u"cannot read MachineGuid, error=", status);
    return false;
  }
  // Up to the first NUL within the buffer: a value with an odd byte count has no terminator
  // in it, and the scan must not run past its end.
  std::u16string text(buffer.data(), buffer.size());
  text.resize(std::min(text.size(), text.find(u'\0')));
  text = ToLower(text);
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsWideSpace(text[begin]))
    ++begin;
  while (end > begin && IsWideSpace(text[end - 1]))
    --end;
  if (begin == end) {
    *error = u"MachineGuid is empty";
    return false;
  }
  *guid = text.substr(begin, end - begin);
  return true;
}

bool BucketFromDigest(const std::u16string& hex, double* bucket, std::u16string* error) {
  std::uint32_t n = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const int digit = i < hex.size() ? HexDigit(hex[i]) : -1;
    if (digit < 0) {
      *error = u"invalid rollout digest";
      return false;
    }
    n = (n << 4) | static_cast<std::uint32_t>(digit);
  }
  // The first product is exact; the second is rounded once.
  *bucket = static_cast<double>(n) * (1.0 / 4294967296.0) * 100.0;
  return true;
}

bool ComputeRolloutBucket(const std::u16string& version, double* bucket, std::u16string* error) {
  std::u16string guid;
  if (!ReadMachineGuid(&guid, error))
    return false;
  std::u16string hex;
  if (!Sha256HexOfUtf8(guid + u"|" + version, &hex) || hex.size() < 8) {
    *error = u"cannot compute hot-update rollout bucket";
    return false;
  }
  return BucketFromDigest(hex, bucket, error);
}

}  // namespace vovu
