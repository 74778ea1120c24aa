// Times the JSON reader on a generated document of about 1 MiB of UTF-16 text (records
// with nested objects, arrays, escaped strings and numbers of every form). The reference
// in the same run is a single pass that only counts quotes over the same text: the floor
// that any reader of this text must pay.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/json.h"

namespace {

std::u16string Digits(std::size_t n) {
  std::string ascii = std::to_string(n);
  return std::u16string(ascii.begin(), ascii.end());
}

const std::u16string& Document() {
  static const std::u16string document = [] {
    constexpr std::size_t kTargetBytes = std::size_t{1} << 20;
    std::u16string text = u"{\"version\":\"1.0.0\",\"records\":[\n";
    for (std::size_t i = 0; text.size() * sizeof(char16_t) < kTargetBytes; ++i) {
      if (i != 0) {
        text += u",\n";
      }
      std::u16string name = u"item \"" + Digits(i) + u"\" C:\\data\\\u00e9t\u00e9\n\ttab\x01";
      std::u16string escaped;
      vovu::EscapeJsonString(name, &escaped);
      text += u"  {\"id\":" + Digits(i) + u",\"name\":\"" + escaped +
              u"\",\"path\":\"\\u0041\\ud83d\\ude00\\/x\",\"values\":[1.5,-2e3,0.000123," +
              Digits(i * 7919) +
              u",3.14159265358979],\"flags\":{\"a\":true,\"b\":false,"
              u"\"c\":null},\"nested\":[[],[{}],{\"k\":[1,2,3]}]}";
    }
    text += u"\n]}\n";
    return text;
  }();
  return document;
}

void BM_ParseJson(benchmark::State& state) {
  const std::u16string& text = Document();
  for (auto _ : state) {
    vovu::JsonValue value;
    std::u16string error;
    if (!vovu::ParseJson(text, &value, &error)) {
      state.SkipWithError("document does not parse");
      break;
    }
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size() * sizeof(char16_t)));
}
BENCHMARK(BM_ParseJson)->Unit(benchmark::kMillisecond);

void BM_ReferenceQuoteScan(benchmark::State& state) {
  const std::u16string& text = Document();
  for (auto _ : state) {
    std::size_t quotes = 0;
    for (const char16_t unit : text) {
      quotes += unit == u'"' ? 1 : 0;
    }
    benchmark::DoNotOptimize(quotes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size() * sizeof(char16_t)));
}
BENCHMARK(BM_ReferenceQuoteScan)->Unit(benchmark::kMillisecond);

void BM_EscapeJsonString(benchmark::State& state) {
  const std::u16string& text = Document();
  for (auto _ : state) {
    std::u16string out;
    vovu::EscapeJsonString(text, &out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size() * sizeof(char16_t)));
}
BENCHMARK(BM_EscapeJsonString)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
