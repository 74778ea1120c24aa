// Text and path helpers shared by every subsystem. All program text is UTF-16.
#pragma once

#include <string>
#include <vector>

namespace vovu {

// UTF-8 bytes to UTF-16 as code page 65001 converts them; no pointer or no bytes give an
// empty string, invalid sequences become U+FFFD.
[[nodiscard]] std::u16string Utf8ToWide(const char* bytes, std::size_t length);
[[nodiscard]] std::u16string Utf8ToWide(const std::string& bytes);

// UTF-16 to UTF-8 bytes (no terminator); an empty input gives an empty string.
[[nodiscard]] std::string WideToUtf8(const std::u16string& text);

// The default-locale wide lower-case mapping, unit by unit: ASCII A-Z only.
[[nodiscard]] char16_t LowerChar(char16_t c);
[[nodiscard]] std::u16string ToLower(const std::u16string& text);
[[nodiscard]] bool EqualsIgnoringCase(const std::u16string& a, const std::u16string& b);

// The name alone when the directory is empty; directory + name when it ends in '\' or '/';
// otherwise directory + '\' + name.
[[nodiscard]] std::u16string JoinPath(const std::u16string& directory, const std::u16string& name);

// The text unchanged when it is non-empty and both begins and ends with '"'; otherwise the
// text between two double quotes.
[[nodiscard]] std::u16string QuoteIfNeeded(const std::u16string& text);

// The text after the last '\' or '/' (all of it when there is none).
[[nodiscard]] std::u16string FileNameOf(const std::u16string& path);

// The text before the last '\' or '/', or empty when there is none.
[[nodiscard]] std::u16string DirectoryOf(const std::u16string& path);

// Splits at LF; each line loses one trailing CR. The empty text gives one empty line and a
// text ending in LF gives a last, empty, line.
[[nodiscard]] std::vector<std::u16string> SplitLines(const std::u16string& text);

// Removes every leading '/' and '-', then lower-cases.
[[nodiscard]] std::u16string NormalizeCommandWord(const std::u16string& text);

// The unsigned decimal form of a number.
[[nodiscard]] std::u16string ToDecimal(unsigned long long value);
[[nodiscard]] std::u16string ToDecimal(long long value);

}  // namespace vovu
