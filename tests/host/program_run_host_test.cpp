// Programs started on the host: Windows paths among the arguments reach the program as host
// paths, and a program that is not there gives the system's error. The rest of the contract
// is tests/platform/process_test.cpp.
#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/process.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::TestMachine;

TEST(ProgramRunHost, StandardHandlesAndWindowsPathArguments) {
  TestMachine machine;
  const std::u16string output = machine.Path(u"out.txt");
  TestMachine::WriteBytes(machine.Path(u"in.txt"), "from a file\n");
  FileHandle file = CreateInheritableOutputFile(output);
  FileHandle input = OpenInheritableNullDevice();
  ASSERT_TRUE(file.valid());
  ASSERT_TRUE(input.valid());
  const StandardHandles handles{&input, &file, &file};
  // The path argument reaches the Linux program as its host path; input is empty.
  ProcessStart start;
  start.commandLine =
      u"Z:\\bin\\sh -c \"cat \\\"$0\\\"; cat; echo err >&2\" " + machine.Path(u"in.txt");
  ProcessHandle process;
  ASSERT_TRUE(StartProgram(start, &handles, &process)) << LastError();
  ASSERT_EQ(WaitForProcessExit(process, kInfiniteWait), WaitResult::kSignalled);
  file.reset();
  EXPECT_EQ(TestMachine::ReadBytes(output), "from a file\nerr\n");
}

TEST(ProgramRunHost, StartFailuresGiveTheSystemError) {
  ProcessStart start;
  start.commandLine = u"C:\\nowhere\\tar.exe -tf x";
  ProcessHandle process;
  TestMachine machine;
  EXPECT_FALSE(StartProgram(start, nullptr, &process));
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  EXPECT_FALSE(process.valid());
}

}  // namespace
}  // namespace vovu::platform
