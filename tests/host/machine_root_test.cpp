// The emulated machine: path mapping, link handling and the share-mode approximation.
#include "platform/host/core/machine_root.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/files.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::ErrorAfter;
using testing::TestMachine;

TEST(HostPaths, DrivesMapIntoTheRootAndZIsTheHost) {
  TestMachine machine;
  const std::string root = host::MachineRoot();
  std::string mapped;
  ASSERT_TRUE(host::ToHostPath(u"C:\\ProgramData\\x.json", &mapped));
  EXPECT_EQ(mapped, root + "/drive_c/ProgramData/x.json");
  ASSERT_TRUE(host::ToHostPath(u"d:/Data/", &mapped));
  EXPECT_EQ(mapped, root + "/drive_d/Data");
  ASSERT_TRUE(host::ToHostPath(u"Z:\\usr\\bin", &mapped));
  EXPECT_EQ(mapped, "/usr/bin");
  // ".." is resolved lexically and never climbs out of the drive.
  ASSERT_TRUE(host::ToHostPath(u"C:\\a\\..\\..\\..\\b", &mapped));
  EXPECT_EQ(mapped, root + "/drive_c/b");
  EXPECT_EQ(ErrorAfter(host::ToHostPath(u"\\\\server\\share\\x", &mapped)), kErrorInvalidName);

  EXPECT_EQ(host::ToWindowsPath(root + "/drive_c/Program Files/Korva"),
            u"C:\\Program Files\\Korva");
  EXPECT_EQ(host::ToWindowsPath(root + "/drive_c"), u"C:\\");
  EXPECT_EQ(host::ToWindowsPath("/usr/bin/bsdtar"), u"Z:\\usr\\bin\\bsdtar");
}

TEST(HostPaths, ExistingComponentsMatchIgnoringCase) {
  TestMachine machine;
  ASSERT_TRUE(CreateDirectoryAt(u"C:\\Program Files"));
  ASSERT_TRUE(CreateDirectoryAt(u"C:\\Program Files\\Korva"));
  TestMachine::WriteBytes(u"C:\\Program Files\\Korva\\Korvadesk.exe", "app");
  std::string mapped;
  ASSERT_TRUE(host::ToHostPath(u"c:\\PROGRAM FILES\\korva\\KORVADESK.EXE", &mapped));
  EXPECT_EQ(mapped, host::MachineRoot() + "/drive_c/Program Files/Korva/Korvadesk.exe");
  // A name that does not exist yet keeps the letters it was given.
  ASSERT_TRUE(host::ToHostPath(u"C:\\program files\\NEW\\File.txt", &mapped));
  EXPECT_EQ(mapped, host::MachineRoot() + "/drive_c/Program Files/NEW/File.txt");
}

TEST(HostFiles, LinksAreReparsePointsAndAreRemovedAsThemselves) {
  TestMachine machine;
  ASSERT_TRUE(CreateDirectoryAt(machine.Path(u"target")));
  TestMachine::WriteBytes(machine.Path(u"target\\keep.txt"), "keep");
  std::filesystem::create_directory_symlink(TestMachine::Native(machine.Path(u"target")),
                                            TestMachine::Native(machine.Path(u"dirlink")));
  std::filesystem::create_symlink(TestMachine::Native(machine.Path(u"target\\keep.txt")),
                                  TestMachine::Native(machine.Path(u"filelink")));
  EXPECT_EQ(GetAttributes(machine.Path(u"dirlink")),
            kFileAttributeDirectory | kFileAttributeReparsePoint);
  EXPECT_EQ(GetAttributes(machine.Path(u"filelink")), kFileAttributeReparsePoint);
  ASSERT_TRUE(RemoveDirectoryAt(machine.Path(u"dirlink")));
  ASSERT_TRUE(DeleteFileAt(machine.Path(u"filelink")));
  EXPECT_EQ(TestMachine::ReadBytes(machine.Path(u"target\\keep.txt")), "keep");
}

TEST(HostFiles, WindowsErrorCodesForCommonFailures) {
  TestMachine machine;
  ASSERT_TRUE(CreateDirectoryAt(machine.Path(u"d")));
  EXPECT_EQ(ErrorAfter(CreateDirectoryAt(machine.Path(u"d"))), kErrorAlreadyExists);
  TestMachine::WriteBytes(machine.Path(u"d\\f"), "x");
  EXPECT_EQ(ErrorAfter(RemoveDirectoryAt(machine.Path(u"d"))), kErrorDirNotEmpty);
  EXPECT_EQ(ErrorAfter(DeleteFileAt(machine.Path(u"d"))), kErrorAccessDenied);
  EXPECT_EQ(ErrorAfter(OpenFileForRead(machine.Path(u"d"), kShareRead).valid()),
            kErrorAccessDenied);
  EXPECT_EQ(ErrorAfter(CreateFileForWrite(machine.Path(u"d\\f"), kShareNone, false).valid()),
            kErrorFileExists);
  // The read-only attribute protects a file from deletion, as on Windows.
  chmod(TestMachine::Native(machine.Path(u"d\\f")).c_str(), 0444);
  EXPECT_EQ(GetAttributes(machine.Path(u"d\\f")), kFileAttributeReadOnly);
  EXPECT_EQ(ErrorAfter(DeleteFileAt(machine.Path(u"d\\f"))), kErrorAccessDenied);
}

TEST(HostFiles, ShareModesKeepWritersAwayFromReadersAndExclusiveOpeners) {
  TestMachine machine;
  const std::u16string path = machine.Path(u"shared.bin");
  TestMachine::WriteBytes(path, "data");
  {
    FileHandle reader = OpenFileForRead(path, kShareRead);
    ASSERT_TRUE(reader.valid());
    EXPECT_TRUE(OpenFileForRead(path, kShareRead).valid());
    EXPECT_EQ(ErrorAfter(CreateFileForWrite(path, kShareNone, true).valid()),
              kErrorSharingViolation);
    // The refused writer did not truncate the file.
    EXPECT_EQ(TestMachine::ReadBytes(path), "data");
  }
  FileHandle writer = CreateFileForWrite(path, kShareNone, true);
  ASSERT_TRUE(writer.valid());
  EXPECT_EQ(ErrorAfter(OpenFileForRead(path, kShareRead).valid()), kErrorSharingViolation);
}

TEST(HostFiles, HandlesAreNeverTheStandardDescriptors) {
  TestMachine machine;
  TestMachine::WriteBytes(machine.Path(u"f"), "x");
  const int savedStdin = dup(0);
  close(0);
  FileHandle file = OpenFileForRead(machine.Path(u"f"), kShareRead);
  dup2(savedStdin, 0);
  close(savedStdin);
  ASSERT_TRUE(file.valid());
  EXPECT_GT(file.get(), 2);
}

}  // namespace
}  // namespace vovu::platform
