#include "foundation/diagnostics.h"

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/diagnostics.h"
#include "platform/environment.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

TEST(Win32ErrorText, CodeThenTheSystemTextWithItsLineBreak) {
  for (std::uint32_t code : {2u, 5u, 183u}) {
    std::u16string text;
    ASSERT_TRUE(platform::GetSystemErrorText(code, &text)) << code;
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), u"\r\n");
    EXPECT_EQ(FormatWin32Error(code),
              u"error=" + ToDecimal(static_cast<unsigned long long>(code)) + u" " + text);
  }
  // Codes without a system text are the number alone, unsigned.
  EXPECT_EQ(FormatWin32Error(0xDEADBEEF), u"error=3735928559");
}

TEST(ModulePath, TheRunningExecutableAndItsDirectory) {
  const std::u16string path = GetModulePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[1], u':');
  EXPECT_EQ(GetInstallDirectory() + u"\\" + path.substr(GetInstallDirectory().size() + 1), path);

  testing::TestMachine machine;
  platform::SetModulePathForTesting(u"C:\\Program Files\\Korva\\vovudidavuda.exe");
  EXPECT_EQ(GetInstallDirectory(), u"C:\\Program Files\\Korva");
  // A path of 32768 characters or more does not fit the buffer and reads as empty.
  platform::SetModulePathForTesting(u"C:\\" + std::u16string(32764, u'a'));
  EXPECT_EQ(GetModulePath().size(), 32767u);
  platform::SetModulePathForTesting(u"C:\\" + std::u16string(32765, u'a'));
  EXPECT_EQ(GetModulePath(), u"");
}

}  // namespace
}  // namespace vovu
