#include "version_block_writer.h"

namespace vovu::stamp {
namespace {

constexpr char16_t kRootKey[] = u"VS_VERSION_INFO";
constexpr std::uint32_t kSignature = 0xFEEF04BDu;
constexpr std::uint32_t kStructVersion = 0x00010000u;
constexpr std::uint32_t kFileFlagsMask = 0x3Fu;
constexpr std::uint32_t kOsNtWindows32 = 0x00040004u;
constexpr std::uint32_t kTypeApplication = 1;
constexpr std::uint16_t kFixedInfoSize = 52;

void Put16(std::vector<std::uint8_t>* out, std::uint16_t value) {
  out->push_back(static_cast<std::uint8_t>(value));
  out->push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>* out, std::uint32_t value) {
  Put16(out, static_cast<std::uint16_t>(value));
  Put16(out, static_cast<std::uint16_t>(value >> 16));
}

std::uint32_t High(const FourPartVersion& v) {
  return (std::uint32_t{v[0]} << 16) | v[1];
}
std::uint32_t Low(const FourPartVersion& v) {
  return (std::uint32_t{v[2]} << 16) | v[3];
}

}  // namespace

bool ParseFourPartVersion(const std::string& text, FourPartVersion* version) {
  FourPartVersion parsed{};
  std::size_t part = 0;
  std::size_t digits = 0;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (digits == 0 || part == parsed.size())
        return false;
      parsed[part++] = static_cast<std::uint16_t>(value);
      digits = 0;
      value = 0;
      continue;
    }
    if (text[i] < '0' || text[i] > '9')
      return false;
    value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
    if (value > 0xFFFF)
      return false;
    ++digits;
  }
  *version = parsed;
  return true;
}

std::vector<std::uint8_t> BuildVersionBlock(const FourPartVersion& productVersion,
                                            const FourPartVersion& fileVersion) {
  std::vector<std::uint8_t> block;
  Put16(&block, 0);  // total length, patched below
  Put16(&block, kFixedInfoSize);
  Put16(&block, 0);  // binary value
  for (char16_t unit : kRootKey)
    Put16(&block, unit);  // includes the NUL
  while (block.size() % 4 != 0)
    block.push_back(0);

  Put32(&block, kSignature);
  Put32(&block, kStructVersion);
  Put32(&block, High(fileVersion));
  Put32(&block, Low(fileVersion));
  Put32(&block, High(productVersion));
  Put32(&block, Low(productVersion));
  Put32(&block, kFileFlagsMask);
  Put32(&block, 0);  // flags
  Put32(&block, kOsNtWindows32);
  Put32(&block, kTypeApplication);
  Put32(&block, 0);  // subtype
  Put32(&block, 0);  // date, high
  Put32(&block, 0);  // date, low

  block[0] = static_cast<std::uint8_t>(block.size());
  block[1] = static_cast<std::uint8_t>(block.size() >> 8);
  return block;
}

}  // namespace vovu::stamp
