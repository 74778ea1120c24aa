#include "foundation/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "foundation/text.h"

namespace vovu {
namespace {

// The parse error for `text`, or "<ok>" when it parses.
std::u16string ParseError(const std::u16string& text) {
  JsonValue value;
  std::u16string error;
  return ParseJson(text, &value, &error) ? u"<ok>" : error;
}

JsonValue MustParse(const std::u16string& text) {
  JsonValue value;
  std::u16string error;
  EXPECT_TRUE(ParseJson(text, &value, &error))
      << std::string(error.begin(), error.end()) << " in " << std::string(text.begin(), text.end());
  return value;
}

std::u16string Nested(int levels, const std::u16string& inner) {
  return std::u16string(levels, u'[') + inner + std::u16string(levels, u']');
}

std::u16string Escaped(const std::u16string& text) {
  std::u16string out;
  EscapeJsonString(text, &out);
  return out;
}

TEST(JsonParse, BuildsTreeInDocumentOrderAndReplacesThePreviousValue) {
  JsonValue root = MustParse(u" \t\r\n{\"a\" : [1, 2.5, \"x\"],\n\"b\":null, \"c\":true}  ");
  ASSERT_EQ(root.kind, JsonKind::Object);
  ASSERT_EQ(root.members.size(), 3u);
  EXPECT_EQ(root.members[0].key + root.members[1].key + root.members[2].key, u"abc");
  const JsonValue& a = root.members[0].value;
  ASSERT_EQ(a.kind, JsonKind::Array);
  ASSERT_EQ(a.elements.size(), 3u);
  EXPECT_EQ(a.elements[0].kind, JsonKind::Number);
  EXPECT_EQ(a.elements[0].number, 1.0);
  EXPECT_EQ(a.elements[1].number, 2.5);
  EXPECT_EQ(a.elements[2].kind, JsonKind::String);
  EXPECT_EQ(a.elements[2].text, u"x");
  EXPECT_EQ(root.members[1].value.kind, JsonKind::Null);
  EXPECT_EQ(root.members[2].value.kind, JsonKind::Bool);
  EXPECT_TRUE(root.members[2].value.boolValue);
  EXPECT_EQ(MustParse(u"{}").kind, JsonKind::Object);
  EXPECT_EQ(MustParse(u"[ ]").kind, JsonKind::Array);
  EXPECT_FALSE(MustParse(u"false").boolValue);
  // The text is read by its length, not up to a NUL.
  EXPECT_EQ(MustParse(std::u16string(u"\"a\0b\"", 5)).text, std::u16string(u"a\0b", 3));

  // A later parse replaces the whole value and leaves the error alone.
  std::u16string error = u"earlier";
  ASSERT_TRUE(ParseJson(u"7", &root, &error));
  EXPECT_EQ(root.kind, JsonKind::Number);
  EXPECT_TRUE(root.members.empty());
  EXPECT_EQ(error, u"earlier");
}

TEST(JsonParse, NestingLimitIs64LevelsBelowRoot) {
  EXPECT_EQ(ParseError(Nested(64, u"1")), u"<ok>");
  EXPECT_EQ(ParseError(Nested(65, u"1")), u"JSON nesting too deep");
  // The innermost empty array sits at the level of its would-be elements minus one.
  EXPECT_EQ(ParseError(Nested(65, u"")), u"<ok>");
  EXPECT_EQ(ParseError(Nested(66, u"")), u"JSON nesting too deep");
  std::u16string objects;
  for (int i = 0; i < 65; ++i)
    objects += u"{\"k\":";
  EXPECT_EQ(ParseError(objects + u"1" + std::u16string(65, u'}')), u"JSON nesting too deep");
  EXPECT_EQ(ParseError(objects.substr(5) + u"1" + std::u16string(64, u'}')), u"<ok>");
  // The limit is checked before the end of the text.
  EXPECT_EQ(ParseError(std::u16string(66, u'[')), u"JSON nesting too deep");
}

TEST(JsonParse, StringEscapes) {
  EXPECT_EQ(MustParse(uR"("\"\\\/\b\f\n\r\t")").text, u"\"\\/\b\f\n\r\t");
  EXPECT_EQ(MustParse(uR"("\q\'\x")").text, u"q'x");
  // Raw control characters and line breaks are kept as they are.
  EXPECT_EQ(MustParse(u"\"a\nb\x01\tc\"").text, u"a\nb\x01\tc");
  // \u scans four units as hex: it stops at the first non-hex unit but consumes all four.
  EXPECT_EQ(MustParse(uR"("\u0041\u00e9\u00E9")").text, u"A\u00e9\u00e9");
  EXPECT_EQ(MustParse(uR"("\ud83d\ude00")").text, std::u16string({0xD83D, 0xDE00}));
  EXPECT_EQ(MustParse(uR"("\ude00x")").text, std::u16string({0xDE00, u'x'}));
  EXPECT_EQ(MustParse(uR"("\u12zzA")").text, u"\u0012A");
  EXPECT_EQ(MustParse(uR"("\u-001")").text, u"\uFFFF");
  EXPECT_EQ(MustParse(std::u16string(u"\"\\u1\0zz\"", 8)).text, u"\u0001");
}

TEST(JsonParse, NumbersTakeTheRunAndConvertItsLongestPrefix) {
  EXPECT_EQ(MustParse(u"-").number, 0.0);
  EXPECT_EQ(MustParse(u"+").number, 0.0);
  EXPECT_EQ(MustParse(u"e").number, 0.0);
  EXPECT_EQ(MustParse(u"1.2.3").number, 1.2);
  EXPECT_EQ(MustParse(u"+5").number, 5.0);
  EXPECT_EQ(MustParse(u"007").number, 7.0);
  EXPECT_EQ(MustParse(u"9007199254740993").number, 9007199254740992.0);
  EXPECT_TRUE(std::signbit(MustParse(u"-0").number));
  EXPECT_EQ(MustParse(u"1e999").number, HUGE_VAL);
  const JsonValue list = MustParse(u"[1e5,-2]");
  ASSERT_EQ(list.elements.size(), 2u);
  EXPECT_EQ(list.elements[0].number, 1e5);
  EXPECT_EQ(list.elements[1].number, -2.0);
}

TEST(JsonParse, ErrorMessages) {
  const struct {
    std::u16string text;
    std::u16string error;
  } cases[] = {
      // Only space, tab, CR and LF are whitespace.
      {u"", u"unexpected end"},
      {u" \t\r\n", u"unexpected end"},
      {u"\uFEFF{}", u"bad number"},
      {u"[1,\f2]", u"bad number"},
      {u"[1,\u00A02]", u"bad number"},
      {u"[1\v]", u"expected ',' or ']'"},
      {std::u16string(u"{}\0", 3), u"trailing JSON data"},
      // Literals are exact words and consume only the word.
      {u"truex", u"trailing JSON data"},
      {u"[truex]", u"expected ',' or ']'"},
      {u"[nullfalse]", u"expected ',' or ']'"},
      {u"nul", u"bad literal"},
      {u"fals", u"bad literal"},
      {u"[tRue]", u"bad literal"},
      {u"True", u"bad number"},
      {u"1.5x", u"trailing JSON data"},
      {uR"("\u00")", u"bad \\u"},
      {uR"("\u)", u"bad \\u"},
      {uR"("\uzzzz")", u"bad \\u hex"},
      {uR"("\u+ 12")", u"bad \\u hex"},
      {u"1 2", u"trailing JSON data"},
      {u"[", u"unexpected end"},
      {u"[1,", u"unexpected end"},
      {u"{\"a\":", u"unexpected end"},
      {u"{", u"expected key string"},
      {u"{\"a\":1,}", u"expected key string"},
      {u"{1:2}", u"expected key string"},
      {u"{\"a\" 1}", u"expected ':'"},
      {u"{\"a\"", u"expected ':'"},
      {u"{\"a\":1", u"unexpected end in object"},
      {u"{\"a\":1]", u"expected ',' or '}'"},
      {u"[1", u"unexpected end in array"},
      {u"[1 2]", u"expected ',' or ']'"},
      {u"[1,]", u"bad number"},
      {u"]", u"bad number"},
      {u"\"abc", u"unterminated string"},
      {u"\"abc\\", u"unterminated string"},
      {u"{\"ab", u"unterminated string"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParseError(c.text), c.error) << WideToUtf8(c.text);
}

TEST(JsonMembers, DuplicateKeysAreKeptAndTheFirstWins) {
  const JsonValue root = MustParse(u"{\"a\":1,\"a\":2,\"\":\"e\"}");
  ASSERT_EQ(root.members.size(), 3u);
  EXPECT_EQ(root.members[1].value.number, 2.0);
  EXPECT_EQ(GetNumberMember(root, u"a", -1.0), 1.0);
  EXPECT_EQ(GetStringMember(root, u""), u"e");
}

TEST(JsonMembers, LookupIsExactAndTypedWithFallbacks) {
  const JsonValue root =
      MustParse(u"{\"A\":1,\"s\":\"text\",\"n\":2.75,\"z\":null,\"o\":{\"s\":\"in\"},\"ab\":3}");
  EXPECT_EQ(FindMember(root, u"a"), nullptr);
  EXPECT_EQ(FindMember(root, std::u16string(u"s\0", 2)), nullptr);
  EXPECT_EQ(FindMember(root, u"abc"), nullptr);
  ASSERT_NE(FindMember(root, u"o"), nullptr);
  EXPECT_EQ(FindMember(root, u"o")->kind, JsonKind::Object);
  EXPECT_EQ(GetStringMember(*FindMember(root, u"o"), u"s"), u"in");
  EXPECT_EQ(GetStringMember(root, u"s"), u"text");
  EXPECT_EQ(GetStringMember(root, u"n"), u"");
  EXPECT_EQ(GetStringMember(root, u"z"), u"");
  EXPECT_EQ(GetNumberMember(root, u"n", 0.0), 2.75);
  EXPECT_EQ(GetNumberMember(root, u"s", 9.0), 9.0);
  EXPECT_EQ(GetNumberMember(root, u"missing", -4.0), -4.0);
  // Arrays hold no members even when one looks like a key.
  EXPECT_EQ(FindMember(MustParse(u"[\"s\"]"), u"s"), nullptr);
  EXPECT_EQ(GetNumberMember(MustParse(u"5"), u"", 8.0), 8.0);
}

TEST(JsonEscape, EscapesQuotesBackslashAndControlUnitsOnlyAndParsesBack) {
  EXPECT_EQ(Escaped(u"\x01\"\\/\u00e9"), u"\\u0001\\\"\\\\/\u00e9");
  EXPECT_EQ(Escaped(u"\b\t\n\f\r"), u"\\b\\t\\n\\f\\r");
  EXPECT_EQ(Escaped(std::u16string(u"\0\x0b\x1f\x20\x7f", 5)), u"\\u0000\\u000b\\u001f \x7f");
  const std::u16string surrogates({0xD83D, 0xDE00, 0xDC00});
  EXPECT_EQ(Escaped(surrogates), surrogates);
  std::u16string out = u"prefix:";
  EscapeJsonString(u"\"", &out);
  EXPECT_EQ(out, u"prefix:\\\"");
  // Escaped text parses back to the same units.
  std::u16string all;
  for (char16_t unit = 0; unit < 0x100; ++unit)
    all.push_back(unit);
  all += std::u16string({0xD800, 0xDFFF, 0xFEFF, 0xFFFF});
  EXPECT_EQ(MustParse(u"\"" + Escaped(all) + u"\"").text, all);
}

}  // namespace
}  // namespace vovu
