// A user's file opened the service's way on Windows: a pipe named by the path is refused
// before anything is read from it, a folder too, and a plain file is read.
#include "platform/user_file.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "foundation/text.h"
#include "platform/pipe.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

TEST(UserFileWin32, OnlyAPlainFileOnADiskIsOpened) {
  testing::TestMachine machine;
  const std::u16string pipeName =
      u"\\\\.\\pipe\\vovu-user-file-" + Utf8ToWide(std::to_string(std::random_device{}()));
  PipeInstanceSettings settings;
  const PipeHandle instance = CreatePipeInstance(pipeName, settings, nullptr);
  ASSERT_TRUE(instance.valid()) << "error=" << LastError();
  EXPECT_FALSE(OpenUserFileForRead(pipeName).valid());
  EXPECT_EQ(LastError(), kErrorAccessDenied);

  EXPECT_FALSE(OpenUserFileForRead(machine.Dir()).valid());
  EXPECT_EQ(LastError(), kErrorAccessDenied);

  testing::TestMachine::WriteBytes(machine.Path(u"job.json"), "{}");
  EXPECT_TRUE(OpenUserFileForRead(machine.Path(u"job.json")).valid()) << "error=" << LastError();
}

}  // namespace
}  // namespace vovu::platform
