#include "foundation/sha256.h"

#include <cstdint>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/files.h"
#include "platform/sha256.h"

namespace vovu {
namespace {

constexpr std::uint32_t kFileChunkSize = 65536;

bool DigestOf(const void* data, std::size_t length, std::u16string* hex) {
  platform::Sha256Provider provider;
  if (!provider.Open())
    return false;
  platform::Sha256Hash hash;
  platform::Sha256Digest digest;
  if (!hash.Create(provider) || !hash.Update(data, length) || !hash.Finish(&digest))
    return false;
  *hex = BytesToHex(digest.data(), digest.size());
  return true;
}

}  // namespace

std::u16string BytesToHex(const void* bytes, std::size_t length) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  const auto* in = static_cast<const std::uint8_t*>(bytes);
  std::u16string hex(length * 2, u'0');
  for (std::size_t i = 0; i < length; ++i) {
    hex[2 * i] = kDigits[in[i] >> 4];
    hex[2 * i + 1] = kDigits[in[i] & 0xF];
  }
  return hex;
}

bool Sha256HexOfWideText(const std::u16string& text, std::u16string* hex) {
  // The units as little-endian bytes, independent of the machine's byte order.
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return DigestOf(bytes.data(), bytes.size(), hex);
}

bool Sha256HexOfUtf8(const std::u16string& text, std::u16string* hex) {
  const std::string utf8 = WideToUtf8(text);
  return DigestOf(utf8.data(), utf8.size(), hex);
}

bool FileSha256Hex(const std::u16string& path, std::u16string* hex, std::u16string* error) {
  platform::FileHandle file = platform::OpenFileForRead(path, platform::kShareRead);
  if (!file) {
    *error = u"open failed: " + FormatWin32Error(platform::LastError());
    return false;
  }
  platform::Sha256Provider provider;
  if (!provider.Open()) {
    *error = u"BCryptOpenAlgorithmProvider failed";
    return false;
  }
  platform::Sha256Hash hash;
  if (!hash.Create(provider)) {
    *error = u"BCryptCreateHash failed";
    return false;
  }
  std::vector<std::uint8_t> buffer(kFileChunkSize);
  bool readFailed = false;
  for (;;) {
    std::uint32_t got = 0;
    if (!platform::ReadFromFile(file, buffer.data(), kFileChunkSize, &got)) {
      readFailed = true;
      break;
    }
    if (got == 0)
      break;
    (void)hash.Update(buffer.data(), got);
  }
  platform::Sha256Digest digest;
  const bool finished = hash.Finish(&digest);
  if (readFailed || !finished) {
    *error = u"ReadFile failed";
    return false;
  }
  *hex = BytesToHex(digest.data(), digest.size());
  return true;
}

}  // namespace vovu
