#include "reg_values.h"

#include <cinttypes>
#include <cstdio>

#include "foundation/text.h"
#include "platform/registry.h"

namespace vovu::tools {
namespace {

namespace platform = vovu::platform;

struct TypeName {
  std::uint32_t type;
  const char* name;
};
constexpr TypeName kTypeNames[] = {{platform::kRegSz, "REG_SZ"},
                                   {platform::kRegExpandSz, "REG_EXPAND_SZ"},
                                   {platform::kRegMultiSz, "REG_MULTI_SZ"},
                                   {platform::kRegDword, "REG_DWORD"},
                                   {platform::kRegQword, "REG_QWORD"},
                                   {platform::kRegBinary, "REG_BINARY"},
                                   {platform::kRegNone, "REG_NONE"}};

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 32);
  }
  return text;
}

void AppendUtf16(const std::string& utf8, std::vector<std::uint8_t>* bytes) {
  for (char16_t unit : Utf8ToWide(utf8)) {
    bytes->push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes->push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  bytes->push_back(0);
  bytes->push_back(0);
}

// Decimal, or hexadecimal after "0x"; false when empty, not a number, or above `max`.
bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::size_t start = hex ? 2 : 0;
  if (text.size() == start)
    return false;
  std::uint64_t result = 0;
  const std::uint64_t base = hex ? 16 : 10;
  for (std::size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    std::uint64_t digit = 0;
    if (c >= '0' && c <= '9')
      digit = static_cast<std::uint64_t>(c - '0');
    else if (hex && c >= 'a' && c <= 'f')
      digit = static_cast<std::uint64_t>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F')
      digit = static_cast<std::uint64_t>(c - 'A' + 10);
    else
      return false;
    if (result > (max - digit) / base)
      return false;
    result = result * base + digit;
  }
  *value = result;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

std::string Utf16Text(const std::vector<std::uint8_t>& data, std::size_t* offset) {
  std::u16string text;
  while (*offset + 1 < data.size()) {
    const auto unit = static_cast<char16_t>(data[*offset] | (data[*offset + 1] << 8));
    *offset += 2;
    if (unit == 0)
      break;
    text.push_back(unit);
  }
  return WideToUtf8(text);
}

}  // namespace

std::optional<std::uint32_t> RegistryTypeFromName(const std::string& name) {
  const std::string upper = Upper(name);
  for (const TypeName& entry : kTypeNames) {
    if (upper == entry.name)
      return entry.type;
  }
  return std::nullopt;
}

std::string RegistryTypeName(std::uint32_t type) {
  for (const TypeName& entry : kTypeNames) {
    if (entry.type == type)
      return entry.name;
  }
  return "REG_TYPE_" + std::to_string(type);
}

bool EncodeRegistryData(std::uint32_t type, const std::string& data, const std::string& separator,
                        std::vector<std::uint8_t>* bytes, std::string* problem) {
  bytes->clear();
  if (type == platform::kRegSz || type == platform::kRegExpandSz) {
    AppendUtf16(data, bytes);
    return true;
  }
  if (type == platform::kRegMultiSz) {
    std::size_t start = 0;
    while (!data.empty()) {
      const std::size_t end = data.find(separator, start);
      AppendUtf16(data.substr(start, end - start), bytes);
      if (end == std::string::npos)
        break;
      start = end + separator.size();
    }
    bytes->push_back(0);
    bytes->push_back(0);
    return true;
  }
  if (type == platform::kRegDword || type == platform::kRegQword) {
    const bool dword = type == platform::kRegDword;
    std::uint64_t value = 0;
    if (!ParseNumber(data, dword ? 0xFFFFFFFFu : UINT64_MAX, &value)) {
      *problem = "not a " + RegistryTypeName(type) + " number: " + data;
      return false;
    }
    for (int i = 0; i < (dword ? 4 : 8); ++i)
      bytes->push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return true;
  }
  if (type == platform::kRegBinary || type == platform::kRegNone) {
    if (data.size() % 2 != 0) {
      *problem = "hexadecimal data needs pairs of digits: " + data;
      return false;
    }
    for (std::size_t i = 0; i < data.size(); i += 2) {
      const int high = HexDigit(data[i]);
      const int low = HexDigit(data[i + 1]);
      if (high < 0 || low < 0) {
        *problem = "not hexadecimal data: " + data;
        return false;
      }
      bytes->push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return true;
  }
  *problem = "unsupported type " + RegistryTypeName(type);
  return false;
}

std::string RegistryDataText(std::uint32_t type, const std::vector<std::uint8_t>& data) {
  if (type == platform::kRegSz || type == platform::kRegExpandSz) {
    std::size_t offset = 0;
    return Utf16Text(data, &offset);
  }
  if (type == platform::kRegMultiSz) {
    std::string text;
    std::size_t offset = 0;
    bool first = true;
    while (offset + 1 < data.size()) {
      const std::string item = Utf16Text(data, &offset);
      if (item.empty())
        break;
      text += (first ? "" : "\\0") + item;
      first = false;
    }
    return text;
  }
  if ((type == platform::kRegDword && data.size() == 4) ||
      (type == platform::kRegQword && data.size() == 8)) {
    std::uint64_t value = 0;
    for (std::size_t i = data.size(); i > 0; --i)
      value = (value << 8) | data[i - 1];
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIx64, value);
    return text;
  }
  std::string hex;
  for (std::uint8_t b : data) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", b);
    hex += two;
  }
  return hex;
}

}  // namespace vovu::tools
