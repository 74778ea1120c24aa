// The service's JSON document model, reader, member look-ups and string escaper.
//
// Every JSON text the service reads (its protected state files, per-user job files,
// manifests) goes through ParseJson on wide (UTF-16) text; the service writes its own
// JSON by hand and uses EscapeJsonString for the string contents. All functions are plain
// functions over caller-owned data, safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vovu {

enum class JsonKind : std::int32_t {
  Null = 0,
  Bool = 1,
  Number = 2,
  String = 3,
  Array = 4,
  Object = 5,
};

struct JsonMember;

// One JSON value. Every payload field exists side by side; only the one that matches
// `kind` is meaningful. A value owns its whole subtree (deep value semantics).
struct JsonValue {
  JsonKind kind = JsonKind::Null;
  bool boolValue = false;
  double number = 0.0;  // every number, integral or not
  std::u16string text;
  std::vector<JsonValue> elements;  // Array, in document order
  std::vector<JsonMember> members;  // Object, in document order; duplicate keys kept
};

struct JsonMember {
  std::u16string key;
  JsonValue value;
};

// Parses the whole of `text` (by its length: a NUL is an ordinary character) as one JSON
// value with optional surrounding white space (space, tab, LF and CR only; a byte-order
// mark is not white space). Nesting deeper than 64 levels below the root is refused.
// Numbers are read as the Windows runtime's `_wtof` reads them (see wide_number.h) and
// \u escapes as its `%x` scan does; surrogate escapes are kept as separate code units,
// unpaired or not. Literals are case-sensitive.
// On success `*value` holds the document and `*error` is untouched. On failure returns
// false with one bare message in `*error` (for instance "unexpected end", "bad number",
// "expected ',' or '}'") and `*value` holds a partial tree that the caller discards.
// Both pointers must be valid.
[[nodiscard]] bool ParseJson(const std::u16string& text, JsonValue* value, std::u16string* error);

// The value of the first member of object `value` whose key equals `key` code unit for
// code unit (case-sensitive); nullptr when `value` is not an Object or no key matches.
// The pointer refers into `value` and lives as long as it is not modified.
const JsonValue* FindMember(const JsonValue& value, const std::u16string& key);

// The text of member `key` when FindMember finds it and it is a String; otherwise empty.
std::u16string GetStringMember(const JsonValue& value, const std::u16string& key);

// The number of member `key` when FindMember finds it and it is a Number; otherwise
// `fallback`. Callers that need an integer truncate toward zero.
double GetNumberMember(const JsonValue& value, const std::u16string& key, double fallback);

// Appends the escaped form of `text` to `*out`, without surrounding quotes: \b \t \n \f \r
// \" and \\ for those units, \u00xx with lower-case hex for the other units below 32, every
// other unit (including '/', DEL, non-ASCII and surrogates) unchanged.
void EscapeJsonString(const std::u16string& text, std::u16string* out);

}  // namespace vovu
