#include "foundation/diagnostics.h"

#include "foundation/text.h"
#include "platform/diagnostics.h"
#include "platform/environment.h"

namespace vovu {

std::u16string FormatWin32Error(std::uint32_t code) {
  std::u16string text = u"error=" + ToDecimal(static_cast<unsigned long long>(code));
  std::u16string message;
  if (platform::GetSystemErrorText(code, &message) && !message.empty()) {
    text += u" " + message;
  }
  return text;
}

void LogDebug(const std::u16string& text) {
  platform::OutputDebugText(u"[VovudIdavUda] " + text + u"\n");
}

std::u16string GetModulePath() {
  constexpr std::uint32_t kCapacity = 32768;
  std::u16string path;
  const std::uint32_t length = platform::GetModuleFileNameOfProcess(&path, kCapacity);
  if (length == 0 || length >= kCapacity)
    return {};
  return path;
}

std::u16string GetInstallDirectory() {
  return DirectoryOf(GetModulePath());
}

std::u16string KorvaCfPath() {
  return JoinPath(GetInstallDirectory(), u"korvaCF.exe");
}

}  // namespace vovu
