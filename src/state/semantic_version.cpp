#include "state/semantic_version.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace vovu {
namespace {

constexpr std::size_t kMaxVersionLength = 128;

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

bool IsIdentifierChar(char16_t c) {
  return IsDigit(c) || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'-';
}

bool IsAllDigits(const std::u16string& text) {
  for (char16_t c : text) {
    if (!IsDigit(c))
      return false;
  }
  return true;
}

// Splits `text` at every '.'; pieces may come out empty.
std::vector<std::u16string> SplitAtDots(const std::u16string& text) {
  std::vector<std::u16string> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = text.find(u'.', start);
    if (dot == std::u16string::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
}

// Validates a dot-separated identifier list. Pre-release lists refuse numeric identifiers
// with a leading zero; build metadata allows them.
bool ParseIdentifierList(const std::u16string& text, bool refuseLeadingZeros,
                         std::vector<std::u16string>* identifiers) {
  std::vector<std::u16string> pieces = SplitAtDots(text);
  for (const std::u16string& piece : pieces) {
    if (piece.empty())
      return false;
    for (char16_t c : piece) {
      if (!IsIdentifierChar(c))
        return false;
    }
    if (refuseLeadingZeros && piece.size() > 1 && piece[0] == u'0' && IsAllDigits(piece)) {
      return false;
    }
  }
  if (identifiers != nullptr)
    *identifiers = std::move(pieces);
  return true;
}

int CompareNumbers(std::uint64_t a, std::uint64_t b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareIdentifiers(const std::u16string& a, const std::u16string& b) {
  const bool aNumeric = IsAllDigits(a);
  const bool bNumeric = IsAllDigits(b);
  if (aNumeric && bNumeric) {
    // An identifier too long for 64 bits compares by the digits read before the overflow.
    std::uint64_t aValue = 0;
    std::uint64_t bValue = 0;
    (void)ParseVersionNumber(a, &aValue);
    (void)ParseVersionNumber(b, &bValue);
    return CompareNumbers(aValue, bValue);
  }
  if (aNumeric)
    return -1;
  if (bNumeric)
    return 1;
  const int order = a.compare(b);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

bool ParseVersionNumber(const std::u16string& text, std::uint64_t* value) {
  *value = 0;
  if (text.empty())
    return false;
  if (text.size() > 1 && text[0] == u'0')
    return false;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t result = 0;
  for (char16_t c : text) {
    if (!IsDigit(c)) {
      *value = result;
      return false;
    }
    const std::uint64_t digit = static_cast<std::uint64_t>(c - u'0');
    if (result > (kMax - digit) / 10) {
      *value = result;
      return false;
    }
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool ParseSemanticVersion(const std::u16string& text, SemanticVersion* version) {
  if (text.empty() || text.size() > kMaxVersionLength)
    return false;

  std::u16string rest = text;
  const std::size_t plus = rest.find(u'+');
  if (plus != std::u16string::npos) {
    const std::u16string build = rest.substr(plus + 1);
    if (build.find(u'+') != std::u16string::npos)
      return false;
    if (!ParseIdentifierList(build, /*refuseLeadingZeros=*/false, nullptr))
      return false;
    rest.resize(plus);
  }

  SemanticVersion parsed;
  const std::size_t dash = rest.find(u'-');
  if (dash != std::u16string::npos) {
    if (!ParseIdentifierList(rest.substr(dash + 1), /*refuseLeadingZeros=*/true,
                             &parsed.prerelease)) {
      return false;
    }
    rest.resize(dash);
  }

  const std::vector<std::u16string> core = SplitAtDots(rest);
  if (core.size() != 3)
    return false;
  if (!ParseVersionNumber(core[0], &parsed.major) || !ParseVersionNumber(core[1], &parsed.minor) ||
      !ParseVersionNumber(core[2], &parsed.patch)) {
    return false;
  }
  *version = std::move(parsed);
  return true;
}

int CompareSemanticVersions(const SemanticVersion& a, const SemanticVersion& b) {
  if (int order = CompareNumbers(a.major, b.major); order != 0)
    return order;
  if (int order = CompareNumbers(a.minor, b.minor); order != 0)
    return order;
  if (int order = CompareNumbers(a.patch, b.patch); order != 0)
    return order;

  const bool aRelease = a.prerelease.empty();
  const bool bRelease = b.prerelease.empty();
  if (aRelease || bRelease) {
    if (aRelease && bRelease)
      return 0;
    return aRelease ? 1 : -1;
  }

  const std::size_t shared = std::min(a.prerelease.size(), b.prerelease.size());
  for (std::size_t i = 0; i < shared; ++i) {
    if (int order = CompareIdentifiers(a.prerelease[i], b.prerelease[i]); order != 0) {
      return order;
    }
  }
  return CompareNumbers(a.prerelease.size(), b.prerelease.size());
}

}  // namespace vovu
