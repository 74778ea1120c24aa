#include "foundation/wide_number.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

namespace vovu {
namespace {

// The runtime's wide space class in the default locale.
bool IsWideSpace(char16_t c) {
  if (c == u' ' || (c >= u'\t' && c <= u'\r')) {
    return true;
  }
  if (c < 0x00A0) {
    return false;
  }
  return c == 0x00A0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

int HexDigitValue(char16_t c) {
  if (IsDigit(c)) {
    return c - u'0';
  }
  if (c >= u'a' && c <= u'f') {
    return c - u'a' + 10;
  }
  if (c >= u'A' && c <= u'F') {
    return c - u'A' + 10;
  }
  return -1;
}

// Position of the first code unit in [begin, end) that is not '0', or `end`.
std::size_t SkipZeros(const char16_t* text, std::size_t begin, std::size_t end) {
  while (begin < end && text[begin] == u'0') {
    ++begin;
  }
  return begin;
}

}  // namespace

double WideToDouble(const char16_t* text, std::size_t length) {
  std::size_t pos = 0;
  while (pos < length && IsWideSpace(text[pos])) {
    ++pos;
  }
  bool negative = false;
  if (pos < length && (text[pos] == u'+' || text[pos] == u'-')) {
    negative = text[pos] == u'-';
    ++pos;
  }

  // Mantissa: digits, then optionally a full stop and more digits; one digit at least.
  const std::size_t mantissa_begin = pos;
  const std::size_t int_begin = pos;
  while (pos < length && IsDigit(text[pos])) {
    ++pos;
  }
  const std::size_t int_end = pos;
  std::size_t frac_begin = pos;
  std::size_t frac_end = pos;
  if (pos < length && text[pos] == u'.') {
    frac_begin = ++pos;
    while (pos < length && IsDigit(text[pos])) {
      ++pos;
    }
    frac_end = pos;
  }
  if (int_end == int_begin && frac_end == frac_begin) {
    return 0.0;
  }

  // Exponent: only when at least one digit follows the marker and its optional sign.
  // Its value is only needed to tell overflow from underflow, so it saturates.
  std::int64_t exponent = 0;
  if (pos < length && (text[pos] == u'e' || text[pos] == u'E')) {
    std::size_t next = pos + 1;
    bool exponent_negative = false;
    if (next < length && (text[next] == u'+' || text[next] == u'-')) {
      exponent_negative = text[next] == u'-';
      ++next;
    }
    if (next < length && IsDigit(text[next])) {
      constexpr std::int64_t kSaturation = std::int64_t{1} << 40;
      while (next < length && IsDigit(text[next])) {
        if (exponent < kSaturation) {
          exponent = exponent * 10 + (text[next] - u'0');
        }
        ++next;
      }
      if (exponent_negative) {
        exponent = -exponent;
      }
      pos = next;
    }
  }

  // Every accepted code unit is ASCII, so a narrow copy is exact; the standard
  // conversion does the correctly rounded decimal-to-binary work independent of locale.
  std::string ascii;
  ascii.reserve(pos - mantissa_begin);
  for (std::size_t i = mantissa_begin; i < pos; ++i) {
    ascii.push_back(static_cast<char>(text[i]));
  }
  double magnitude = 0.0;
  const auto result = std::from_chars(ascii.data(), ascii.data() + ascii.size(), magnitude,
                                      std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    // Leaves `magnitude` unset: decide between overflow and underflow from the decimal
    // exponent of the first significant digit (beyond +300 or below -300 when here).
    std::int64_t scientific = exponent;
    const std::size_t first_int = SkipZeros(text, int_begin, int_end);
    if (first_int < int_end) {
      scientific += static_cast<std::int64_t>(int_end - first_int) - 1;
    } else {
      const std::size_t first_frac = SkipZeros(text, frac_begin, frac_end);
      scientific -= static_cast<std::int64_t>(first_frac - frac_begin) + 1;
    }
    magnitude = scientific > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (result.ec != std::errc()) {
    magnitude = 0.0;
  }
  return negative ? -magnitude : magnitude;
}

bool ScanWideHex(const char16_t* text, std::uint32_t* value) {
  const char16_t* cursor = text;
  while (IsWideSpace(*cursor)) {
    ++cursor;
  }
  bool negative = false;
  if (*cursor == u'+' || *cursor == u'-') {
    negative = *cursor == u'-';
    ++cursor;
  }
  if (*cursor == u'0' && (cursor[1] == u'x' || cursor[1] == u'X')) {
    cursor += 2;
  }
  std::uint32_t number = 0;
  bool converted = false;
  for (int digit = HexDigitValue(*cursor); digit >= 0; digit = HexDigitValue(*++cursor)) {
    number = (number << 4) | static_cast<std::uint32_t>(digit);
    converted = true;
  }
  if (!converted) {
    return false;
  }
  *value = negative ? 0u - number : number;
  return true;
}

}  // namespace vovu
