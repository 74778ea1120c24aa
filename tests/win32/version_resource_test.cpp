// Version resources on Windows: the stand-in Korvadesk.exe built beside this test binary.
#include "platform/version_resource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/fault_injection.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::ErrorAfter;

std::u16string KorvadeskBesideTests() {
  std::u16string module;
  EXPECT_GT(GetModuleFileNameOfProcess(&module, 32768), 0u);
  return module.substr(0, module.find_last_of(u"\\/") + 1) + u"Korvadesk.exe";
}

std::string FourParts(std::uint32_t ms, std::uint32_t ls) {
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
         std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

TEST(VersionResourceWin32Test, ReadsTheStandInsFixedFileInfo) {
  const std::u16string path = KorvadeskBesideTests();
  const std::uint32_t size = GetVersionInfoSize(path);
  ASSERT_GT(size, 0u) << "error " << LastError();
  std::vector<std::uint8_t> block;
  ASSERT_TRUE(GetVersionInfo(path, size, &block)) << "error " << LastError();
  EXPECT_EQ(block.size(), size);

  const void* value = nullptr;
  std::uint32_t length = 0;
  ASSERT_TRUE(QueryRootVersionValue(block, &value, &length));
  ASSERT_GE(length, sizeof(FixedFileInfo));
  FixedFileInfo info{};
  std::memcpy(&info, value, sizeof info);
  EXPECT_EQ(info.signature, kFixedFileInfoSignature);
  EXPECT_EQ(FourParts(info.productVersionMS, info.productVersionLS),
            VOVU_KORVADESK_PRODUCT_VERSION);
  EXPECT_EQ(FourParts(info.fileVersionMS, info.fileVersionLS), VOVU_KORVADESK_FILE_VERSION);
}

TEST(VersionResourceWin32Test, FailuresReportTheWin32Error) {
  testing::TestMachine machine;
  SetLastErrorCode(kErrorSuccess);
  EXPECT_EQ(GetVersionInfoSize(machine.Path(u"missing.exe")), 0u);
  EXPECT_EQ(LastError(), kErrorFileNotFound);

  const std::u16string path = KorvadeskBesideTests();
  InjectFault(FaultPoint::kVersionInfo, path, kErrorAccessDenied);
  EXPECT_EQ(GetVersionInfoSize(path), 0u);
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  std::vector<std::uint8_t> block;
  EXPECT_EQ(ErrorAfter(GetVersionInfo(path, 64, &block)), kErrorAccessDenied);
  ClearFaults();
  EXPECT_GT(GetVersionInfoSize(path), 0u);

  const void* value = nullptr;
  std::uint32_t length = 0;
  EXPECT_FALSE(QueryRootVersionValue({}, &value, &length));
}

}  // namespace
}  // namespace vovu::platform
