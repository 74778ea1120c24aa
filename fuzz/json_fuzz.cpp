// Fuzzes the JSON reader with arbitrary UTF-16 text (input bytes taken in little-endian
// pairs; an odd last byte is ignored). A parse must never crash or overrun; when it
// succeeds, every string and key must escape and parse back to the same code units, and
// when it fails the message must be one of the reader's own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/json.h"

namespace {

void CheckRoundTrip(const std::u16string& text) {
  std::u16string quoted = u"\"";
  vovu::EscapeJsonString(text, &quoted);
  quoted.push_back(u'"');
  vovu::JsonValue again;
  std::u16string error;
  if (!vovu::ParseJson(quoted, &again, &error) || again.kind != vovu::JsonKind::String ||
      again.text != text) {
    std::abort();
  }
}

// Depth is bounded by the reader's nesting limit.
void Walk(const vovu::JsonValue& value) {
  switch (value.kind) {
    case vovu::JsonKind::String:
      CheckRoundTrip(value.text);
      break;
    case vovu::JsonKind::Array:
      for (const vovu::JsonValue& element : value.elements) {
        Walk(element);
      }
      break;
    case vovu::JsonKind::Object:
      for (const vovu::JsonMember& member : value.members) {
        CheckRoundTrip(member.key);
        if (vovu::FindMember(value, member.key) == nullptr) {
          std::abort();
        }
        Walk(member.value);
      }
      break;
    default:
      break;
  }
}

bool IsKnownError(const std::u16string& error) {
  static const char16_t* const kMessages[] = {u"trailing JSON data",  u"JSON nesting too deep",
                                              u"unexpected end",      u"expected key string",
                                              u"expected ':'",        u"unexpected end in object",
                                              u"expected ',' or '}'", u"unexpected end in array",
                                              u"expected ',' or ']'", u"bad \\u",
                                              u"bad \\u hex",         u"unterminated string",
                                              u"bad literal",         u"bad number"};
  for (const char16_t* message : kMessages) {
    if (error == message) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  text.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  vovu::JsonValue value;
  std::u16string error;
  if (vovu::ParseJson(text, &value, &error)) {
    Walk(value);
  } else if (!IsKnownError(error)) {
    std::abort();
  }
  return 0;
}
