// Who else may change an object, on both targets. Under wine the descriptor is made up from
// the Unix mode with the wine user as owner: what this process made must still read as
// nobody else's.
#include "platform/object_rights.h"

#include <gtest/gtest.h>

#include "foundation/file_io.h"
#include "foundation/text.h"
#include "platform/error.h"
#include "platform/files.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

TEST(ObjectRights, WhatThisProcessMadeIsNotOpenToOthersAndAMissingPathFails) {
  testing::TestMachine machine;
  const std::u16string folder = machine.Path(u"Made");
  ASSERT_TRUE(CreateDirectoryAt(folder));
  const std::u16string file = JoinPath(folder, u"file.dll");
  ASSERT_TRUE(WriteFileAtomic(file, std::string("x")));
  for (const std::u16string& path : {folder, file}) {
    SCOPED_TRACE(WideToUtf8(path));
    UntrustedRights rights;
    ASSERT_TRUE(ReadUntrustedRights(path, &rights));
    EXPECT_EQ(rights.owner + rights.writeData + rights.appendData + rights.deleteSelf +
                  rights.deleteChild + rights.changeSecurity,
              u"");
  }
  UntrustedRights rights;
  EXPECT_FALSE(ReadUntrustedRights(JoinPath(folder, u"missing"), &rights));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
}

}  // namespace
}  // namespace vovu::platform
