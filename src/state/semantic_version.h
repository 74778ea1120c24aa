// Semantic versions: the one version grammar and precedence of the hot-update path.
//
// A version is MAJOR.MINOR.PATCH, optionally followed by "-" and dot-separated pre-release
// identifiers, optionally followed by "+" and dot-separated build metadata. Build metadata is
// checked and then dropped: it is never stored and never affects precedence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vovu {

struct SemanticVersion {
  std::uint64_t major = 0;
  std::uint64_t minor = 0;
  std::uint64_t patch = 0;
  // The pre-release identifiers in order; empty for a release.
  std::vector<std::u16string> prerelease;
};

// Reads one numeric component: a non-empty run of decimal digits with no leading zero ("0"
// alone is valid) that fits in 64 unsigned bits. On success `*value` is the number. On failure
// `*value` holds the value of the digits read before the failing character (the non-digit, or
// the digit that would overflow), and 0 for an empty text or one with a leading zero.
[[nodiscard]] bool ParseVersionNumber(const std::u16string& text, std::uint64_t* value);

// Parses a complete version text of 1 to 128 UTF-16 units with no blanks and no prefix.
// On success `*version` is replaced; on failure its content is unspecified.
[[nodiscard]] bool ParseSemanticVersion(const std::u16string& text, SemanticVersion* version);

// Precedence: -1 when `a` is lower than `b`, 0 when equal, 1 when higher. A release is above
// its own pre-releases; pre-release identifiers compare numerically when both are all digits,
// a numeric identifier is below an alphanumeric one, alphanumeric ones compare by code unit,
// and a longer identifier list wins when the shared part is equal.
int CompareSemanticVersions(const SemanticVersion& a, const SemanticVersion& b);

}  // namespace vovu
