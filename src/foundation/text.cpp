#include "foundation/text.h"

#include "platform/text_codec.h"

namespace vovu {

std::u16string Utf8ToWide(const char* bytes, std::size_t length) {
  if (bytes == nullptr || length == 0)
    return {};
  return platform::MultiByteUtf8ToWide(bytes, length);
}

std::u16string Utf8ToWide(const std::string& bytes) {
  return Utf8ToWide(bytes.data(), bytes.size());
}

std::string WideToUtf8(const std::u16string& text) {
  if (text.empty())
    return {};
  return platform::WideToMultiByteUtf8(text);
}

char16_t LowerChar(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

std::u16string ToLower(const std::u16string& text) {
  std::u16string lower = text;
  for (char16_t& c : lower)
    c = LowerChar(c);
  return lower;
}

bool EqualsIgnoringCase(const std::u16string& a, const std::u16string& b) {
  return ToLower(a) == ToLower(b);
}

namespace {
bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}
}  // namespace

std::u16string JoinPath(const std::u16string& directory, const std::u16string& name) {
  if (directory.empty())
    return name;
  if (IsSeparator(directory.back()))
    return directory + name;
  return directory + u"\\" + name;
}

std::u16string QuoteIfNeeded(const std::u16string& text) {
  if (!text.empty() && text.front() == u'"' && text.back() == u'"')
    return text;
  return u"\"" + text + u"\"";
}

std::u16string FileNameOf(const std::u16string& path) {
  const std::size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

std::u16string DirectoryOf(const std::u16string& path) {
  const std::size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

std::vector<std::u16string> SplitLines(const std::u16string& text) {
  std::vector<std::u16string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t lf = text.find(u'\n', start);
    std::u16string line =
        text.substr(start, lf == std::u16string::npos ? std::u16string::npos : lf - start);
    if (!line.empty() && line.back() == u'\r')
      line.pop_back();
    lines.push_back(std::move(line));
    if (lf == std::u16string::npos)
      break;
    start = lf + 1;
  }
  return lines;
}

std::u16string NormalizeCommandWord(const std::u16string& text) {
  std::size_t start = 0;
  while (start < text.size() && (text[start] == u'/' || text[start] == u'-'))
    ++start;
  return ToLower(text.substr(start));
}

std::u16string ToDecimal(unsigned long long value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

std::u16string ToDecimal(long long value) {
  if (value >= 0)
    return ToDecimal(static_cast<unsigned long long>(value));
  std::u16string text = ToDecimal(0ULL - static_cast<unsigned long long>(value));
  text.insert(text.begin(), u'-');
  return text;
}

}  // namespace vovu
