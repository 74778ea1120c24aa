#include "foundation/json.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/wide_number.h"

namespace vovu {
namespace {

// Values may sit this many levels below the root; one more is refused.
constexpr int kMaxDepth = 64;

// A single forward pass over the text. Each Parse* function either advances past what it
// read and returns true, or records one message and returns false; the first failure ends
// the parse. Recursion depth is bounded by kMaxDepth.
class Parser {
 public:
  explicit Parser(const std::u16string& text) : text_(text.data()), size_(text.size()) {}

  bool ParseDocument(JsonValue* value) {
    SkipWhitespace();
    if (!ParseValue(value, 0)) {
      return false;
    }
    SkipWhitespace();
    if (pos_ < size_) {
      return Fail(u"trailing JSON data");
    }
    return true;
  }

  const char16_t* failure() const { return failure_; }

 private:
  bool AtEnd() const { return pos_ >= size_; }
  char16_t Current() const { return text_[pos_]; }

  bool Fail(const char16_t* message) {
    failure_ = message;
    return false;
  }

  void SkipWhitespace() {
    while (pos_ < size_) {
      const char16_t c = text_[pos_];
      if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r') {
        return;
      }
      ++pos_;
    }
  }

  bool ParseValue(JsonValue* value, int depth) {
    if (depth > kMaxDepth) {
      return Fail(u"JSON nesting too deep");
    }
    SkipWhitespace();
    if (AtEnd()) {
      return Fail(u"unexpected end");
    }
    switch (Current()) {
      case u'{':
        return ParseObject(value, depth);
      case u'[':
        return ParseArray(value, depth);
      case u'"':
        value->kind = JsonKind::String;
        return ParseString(&value->text);
      case u't':
        value->kind = JsonKind::Bool;
        value->boolValue = true;
        return ParseLiteral(u"true");
      case u'f':
        value->kind = JsonKind::Bool;
        value->boolValue = false;
        return ParseLiteral(u"false");
      case u'n':
        value->kind = JsonKind::Null;
        return ParseLiteral(u"null");
      default:
        return ParseNumber(value);
    }
  }

  // Only the word itself is consumed; whatever follows is the caller's to judge.
  bool ParseLiteral(std::u16string_view word) {
    if (size_ - pos_ < word.size() || std::u16string_view(text_ + pos_, word.size()) != word) {
      return Fail(u"bad literal");
    }
    pos_ += word.size();
    return true;
  }

  static bool IsNumberChar(char16_t c) {
    return (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.' || c == u'e' ||
           c == u'E';
  }

  // The whole run of number characters is consumed; its longest valid prefix gives the
  // value and the rest is ignored.
  bool ParseNumber(JsonValue* value) {
    const std::size_t begin = pos_;
    while (pos_ < size_ && IsNumberChar(text_[pos_])) {
      ++pos_;
    }
    if (pos_ == begin) {
      return Fail(u"bad number");
    }
    value->kind = JsonKind::Number;
    value->number = WideToDouble(text_ + begin, pos_ - begin);
    return true;
  }

  // The cursor is on the opening quote.
  bool ParseString(std::u16string* out) {
    out->clear();
    ++pos_;
    while (pos_ < size_) {
      const char16_t c = text_[pos_++];
      if (c == u'"') {
        return true;
      }
      if (c != u'\\') {
        out->push_back(c);
        continue;
      }
      if (AtEnd()) {
        break;
      }
      const char16_t escaped = text_[pos_++];
      switch (escaped) {
        case u'b':
          out->push_back(u'\b');
          break;
        case u'f':
          out->push_back(u'\f');
          break;
        case u'n':
          out->push_back(u'\n');
          break;
        case u'r':
          out->push_back(u'\r');
          break;
        case u't':
          out->push_back(u'\t');
          break;
        case u'u':
          if (!ParseUnicodeEscape(out)) {
            return false;
          }
          break;
        default:  // '"', '\\', '/' and any other character stand for themselves
          out->push_back(escaped);
          break;
      }
    }
    return Fail(u"unterminated string");
  }

  // The cursor is just past "\u". Four code units are always consumed; a pair of
  // surrogate escapes simply yields the pair.
  bool ParseUnicodeEscape(std::u16string* out) {
    if (size_ - pos_ < 4) {
      return Fail(u"bad \\u");
    }
    const char16_t digits[5] = {text_[pos_], text_[pos_ + 1], text_[pos_ + 2], text_[pos_ + 3],
                                u'\0'};
    pos_ += 4;
    std::uint32_t code = 0;
    if (!ScanWideHex(digits, &code)) {
      return Fail(u"bad \\u hex");
    }
    out->push_back(static_cast<char16_t>(code & 0xFFFFu));
    return true;
  }

  bool ParseObject(JsonValue* value, int depth) {
    value->kind = JsonKind::Object;
    ++pos_;
    SkipWhitespace();
    if (!AtEnd() && Current() == u'}') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipWhitespace();
      if (AtEnd() || Current() != u'"') {
        return Fail(u"expected key string");
      }
      JsonMember& member = value->members.emplace_back();
      if (!ParseString(&member.key)) {
        return false;
      }
      SkipWhitespace();
      if (AtEnd() || Current() != u':') {
        return Fail(u"expected ':'");
      }
      ++pos_;
      if (!ParseValue(&member.value, depth + 1)) {
        return false;
      }
      SkipWhitespace();
      if (AtEnd()) {
        return Fail(u"unexpected end in object");
      }
      const char16_t c = text_[pos_++];
      if (c == u'}') {
        return true;
      }
      if (c != u',') {
        return Fail(u"expected ',' or '}'");
      }
    }
  }

  bool ParseArray(JsonValue* value, int depth) {
    value->kind = JsonKind::Array;
    ++pos_;
    SkipWhitespace();
    if (!AtEnd() && Current() == u']') {
      ++pos_;
      return true;
    }
    for (;;) {
      if (!ParseValue(&value->elements.emplace_back(), depth + 1)) {
        return false;
      }
      SkipWhitespace();
      if (AtEnd()) {
        return Fail(u"unexpected end in array");
      }
      const char16_t c = text_[pos_++];
      if (c == u']') {
        return true;
      }
      if (c != u',') {
        return Fail(u"expected ',' or ']'");
      }
    }
  }

  const char16_t* text_;
  std::size_t size_;
  std::size_t pos_ = 0;
  const char16_t* failure_ = u"";
};

}  // namespace

bool ParseJson(const std::u16string& text, JsonValue* value, std::u16string* error) {
  *value = JsonValue();
  Parser parser(text);
  if (!parser.ParseDocument(value)) {
    *error = parser.failure();
    return false;
  }
  return true;
}

const JsonValue* FindMember(const JsonValue& value, const std::u16string& key) {
  if (value.kind != JsonKind::Object) {
    return nullptr;
  }
  for (const JsonMember& member : value.members) {
    if (member.key == key) {
      return &member.value;
    }
  }
  return nullptr;
}

std::u16string GetStringMember(const JsonValue& value, const std::u16string& key) {
  const JsonValue* member = FindMember(value, key);
  if (member == nullptr || member->kind != JsonKind::String) {
    return std::u16string();
  }
  return member->text;
}

double GetNumberMember(const JsonValue& value, const std::u16string& key, double fallback) {
  const JsonValue* member = FindMember(value, key);
  if (member == nullptr || member->kind != JsonKind::Number) {
    return fallback;
  }
  return member->number;
}

void EscapeJsonString(const std::u16string& text, std::u16string* out) {
  static constexpr char16_t kHexDigits[] = u"0123456789abcdef";
  out->reserve(out->size() + text.size());
  for (const char16_t unit : text) {
    switch (unit) {
      case u'\b':
        out->append(u"\\b");
        break;
      case u'\t':
        out->append(u"\\t");
        break;
      case u'\n':
        out->append(u"\\n");
        break;
      case u'\f':
        out->append(u"\\f");
        break;
      case u'\r':
        out->append(u"\\r");
        break;
      case u'"':
        out->append(u"\\\"");
        break;
      case u'\\':
        out->append(u"\\\\");
        break;
      default:
        if (unit < 0x20) {
          out->append(u"\\u00");
          out->push_back(kHexDigits[unit >> 4]);
          out->push_back(kHexDigits[unit & 0xF]);
        } else {
          out->push_back(unit);
        }
        break;
    }
  }
}

}  // namespace vovu
