// The emulated machine follows links where Windows follows a junction, and only the calls
// and flags that Windows gives for it act on the link itself: an attack through a link that
// works on Windows works here, so a test of it means something.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "platform/files.h"
#include "platform/security.h"
#include "state/protected_storage.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

namespace fs = std::filesystem;
using testing::TestMachine;

using testing::kNobody;

// A directory "target" holding "file.txt", a directory link "link" to it, and a file link
// "filelink" to the file.
struct LinkedMachine {
  TestMachine machine;
  std::u16string target = machine.Path(u"target");
  std::u16string link = machine.Path(u"link");
  std::u16string fileLink = machine.Path(u"filelink");
  std::u16string seen;  // what a row read

  LinkedMachine() {
    fs::create_directory(TestMachine::Native(target));
    chmod(TestMachine::Native(target).c_str(), 0755);
    TestMachine::WriteBytes(target + u"\\file.txt", "target's");
    fs::create_directory_symlink(TestMachine::Native(target), TestMachine::Native(link));
    fs::create_symlink(TestMachine::Native(target + u"\\file.txt"), TestMachine::Native(fileLink));
  }
  [[nodiscard]] bool LinkStays() const {
    return fs::is_symlink(TestMachine::Native(link)) &&
           fs::is_symlink(TestMachine::Native(fileLink));
  }
};

TEST(LinkFollowingHost, PathCallsGoThroughALinkAsWindowsGoesThroughAJunction) {
  struct Row {
    const char* call;
    std::function<bool(LinkedMachine&)> act;     // the call, true when it succeeded
    std::function<bool(LinkedMachine&)> landed;  // whether it acted on the target
  };
  const Row rows[] = {
      {"SetFileSecurity on the link",
       [](LinkedMachine& m) {
         platform::SecurityDescriptor descriptor;
         return platform::ConvertSddlToSecurityDescriptor(kProtectedDirectorySddl, &descriptor) &&
                platform::SetProtectedFileSecurity(m.link, descriptor, true);
       },
       [](LinkedMachine& m) {
         struct stat st {};
         return stat(TestMachine::Native(m.target).c_str(), &st) == 0 &&
                (st.st_mode & 07777) == 0770u;
       }},
      {"GetFileSecurity (owner) of the link",
       [](LinkedMachine& m) {
         if (geteuid() == 0 && chown(TestMachine::Native(m.target).c_str(), kNobody, kNobody) != 0)
           return false;
         return platform::GetFileOwnerSid(m.link, &m.seen);
       },
       // The target's owner, not the link's (root's); single-user mode owns both.
       [](LinkedMachine& m) { return geteuid() != 0 || m.seen == testing::kNobodySid; }},
      {"FindFirstFile of link\\*",
       [](LinkedMachine& m) {
         platform::FindData entry;
         platform::FindHandle find = platform::FindFirstEntry(m.link + u"\\*.txt", &entry);
         return find && entry.name == u"file.txt";
       },
       [](LinkedMachine&) { return true; }},
      {"DeleteFile below the link",
       [](LinkedMachine& m) { return platform::DeleteFileAt(m.link + u"\\file.txt"); },
       [](LinkedMachine& m) { return !TestMachine::Exists(m.target + u"\\file.txt"); }},
      {"MoveFileEx below the link",
       [](LinkedMachine& m) {
         return platform::MoveFileReplacing(m.link + u"\\file.txt", m.link + u"\\moved.txt");
       },
       [](LinkedMachine& m) { return TestMachine::Exists(m.target + u"\\moved.txt"); }},
      {"CreateFile below the link",
       [](LinkedMachine& m) {
         return static_cast<bool>(platform::CreateFileForWrite(m.link + u"\\new.txt", 0, false));
       },
       [](LinkedMachine& m) { return TestMachine::Exists(m.target + u"\\new.txt"); }},
      {"CreateFile of a file link",
       [](LinkedMachine& m) {
         const platform::FileHandle file = platform::CreateFileForWrite(m.fileLink, 0, true);
         return file && platform::WriteToFile(file, "new", 3);
       },
       [](LinkedMachine& m) { return TestMachine::ReadBytes(m.target + u"\\file.txt") == "new"; }},
      {"CreateDirectory below the link",
       [](LinkedMachine& m) { return platform::CreateDirectoryAt(m.link + u"\\sub"); },
       [](LinkedMachine& m) { return fs::is_directory(TestMachine::Native(m.target + u"\\sub")); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.call);
    LinkedMachine m;
    EXPECT_TRUE(row.act(m));
    EXPECT_TRUE(row.landed(m));
    EXPECT_TRUE(m.LinkStays());
  }
}

TEST(LinkFollowingHost, OnlyTheCallsWindowsGivesForItActOnTheLinkItself) {
  struct Row {
    const char* call;
    std::function<bool(LinkedMachine&)> act;  // true when it acted on the link, not the target
  };
  const Row rows[] = {
      {"GetFileAttributes",
       [](LinkedMachine& m) {
         return platform::GetAttributes(m.link) ==
                (platform::kFileAttributeReparsePoint | platform::kFileAttributeDirectory);
       }},
      {"DeleteFile of a file link",
       [](LinkedMachine& m) {
         return platform::DeleteFileAt(m.fileLink) && !TestMachine::Exists(m.fileLink);
       }},
      {"RemoveDirectory of a directory link",
       [](LinkedMachine& m) {
         return platform::RemoveDirectoryAt(m.link) && !TestMachine::Exists(m.link);
       }},
      {"CreateDirectory over a link",
       [](LinkedMachine& m) {
         return !platform::CreateDirectoryAt(m.link) &&
                platform::LastError() == platform::kErrorAlreadyExists;
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.call);
    LinkedMachine m;
    EXPECT_TRUE(row.act(m));
    EXPECT_EQ(TestMachine::ReadBytes(m.target + u"\\file.txt"), "target's");
    struct stat st {};
    ASSERT_EQ(stat(TestMachine::Native(m.target).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
  }
}

}  // namespace
}  // namespace vovu
