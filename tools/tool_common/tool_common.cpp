#include "tool_common.h"

#include <cstdio>

#include "foundation/diagnostics.h"
#include "foundation/text.h"

namespace vovu::tools {
namespace {

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i]))
      return false;
  }
  return true;
}

}  // namespace

bool IsHelpArgument(std::string_view argument) {
  return argument == "--help" || argument == "-h" || argument == "-?" || argument == "/?" ||
         EqualsIgnoringAsciiCase(argument, "/h") || EqualsIgnoringAsciiCase(argument, "/help");
}

bool LooksLikeOption(std::string_view argument) {
  if (argument.empty())
    return false;
  return argument.front() == '-' || argument.find('?') != std::string_view::npos ||
         (argument.front() == '/' && argument.size() == 2) ||
         EqualsIgnoringAsciiCase(argument, "/help");
}

std::string ErrorText(std::uint32_t code) {
  std::string text = WideToUtf8(FormatWin32Error(code));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

int ShowUsage(std::string_view usage) {
  std::fwrite(usage.data(), 1, usage.size(), stdout);
  return kExitSuccess;
}

int UsageError(std::string_view tool, std::string_view problem, std::string_view usage) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(tool.size()), tool.data(),
               static_cast<int>(problem.size()), problem.data());
  std::fwrite(usage.data(), 1, usage.size(), stderr);
  return kExitUsage;
}

}  // namespace vovu::tools
