// The installation folder must be the machine's: the emulated rights of the folder, the
// folders above it and the files below it, and "install" refusing an open folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/environment.h"
#include "platform/registry.h"
#include "service/installation_folder.h"
#include "service/service_install.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

namespace fs = std::filesystem;
using testing::TestMachine;

constexpr char16_t kFolder[] = u"C:\\Program Files\\Korva";
constexpr char16_t kExecutable[] = u"C:\\Program Files\\Korva\\vovudidavuda.exe";

fs::path Native(const std::u16string& path) {
  return TestMachine::Native(path);
}

// An installation as an administrator leaves it: root's, 0755 folders, 0755 programs,
// 0644 data, a DLL beside the executable and the application's files in a subfolder.
void Install() {
  fs::create_directories(Native(kFolder) / "resources" / "app");
  for (const char* file : {"vovudidavuda.exe", "korvaCF.exe", "helper.dll", "Korvadesk.exe",
                           "resources/app/main.js"}) {
    std::ofstream(Native(kFolder) / file) << "x";
    ASSERT_EQ(chmod((Native(kFolder) / file).c_str(), 0755), 0);
  }
  for (const char16_t* folder : {u"C:\\", u"C:\\Program Files", kFolder})
    ASSERT_EQ(chmod(Native(folder).c_str(), 0755), 0);
}

std::u16string Check() {
  std::u16string reason;
  return CheckInstallationFolder(kExecutable, &reason) ? u"ok" : reason;
}

TEST(InstallationFolder, AnythingANonAdministratorMayChangeRefusesTheFolder) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  const std::u16string open = kOpenInstallationFolder;
  const std::u16string user = testing::kNobodySid;
  // Each row: what is changed in a fresh installation, and the check's answer.
  struct Row {
    const char* what;
    std::function<void(const fs::path&)> change;
    std::u16string expected;
  };
  const Row rows[] = {
      {"as installed", [](const fs::path&) {}, u"ok"},
      {"the folder open to all", [](const fs::path& f) { chmod(f.c_str(), 0777); },
       open + kFolder + u": S-1-5-32-545 may write"},
      {"the folder a user's",
       [](const fs::path& f) { (void)chown(f.c_str(), testing::kNobody, testing::kNobody); },
       open + kFolder + u": owned by " + user},
      {"the folder writable by a group of users",
       [](const fs::path& f) {
         (void)chown(f.c_str(), 0, 100);
         chmod(f.c_str(), 0775);
       },
       open + kFolder + u": group 100 may write"},
      {"a folder above open to all",
       [](const fs::path& f) { chmod(f.parent_path().c_str(), 0777); },
       open + u"C:\\Program Files: S-1-5-32-545 may delete its entries"},
      {"the drive's root a user's",
       [](const fs::path& f) {
         (void)chown(f.parent_path().parent_path().c_str(), testing::kNobody, 0);
       },
       open + u"C:\\: owned by " + user},
      {"a folder above where all may only add names (sticky)",
       [](const fs::path& f) { chmod(f.parent_path().c_str(), 01777); }, u"ok"},
      {"korvaCF.exe writable by all",
       [](const fs::path& f) { chmod((f / "korvaCF.exe").c_str(), 0757); },
       open + kFolder + u"\\korvaCF.exe: S-1-5-32-545 may write"},
      {"a DLL beside the executable a user's",
       [](const fs::path& f) { (void)chown((f / "helper.dll").c_str(), testing::kNobody, 0); },
       open + kFolder + u"\\helper.dll: owned by " + user},
      {"an application file deep below writable by all",
       [](const fs::path& f) { chmod((f / "resources/app/main.js").c_str(), 0666); },
       open + kFolder + u"\\resources\\app\\main.js: S-1-5-32-545 may write"},
      {"a subfolder open to all", [](const fs::path& f) { chmod((f / "resources").c_str(), 0777); },
       open + kFolder + u"\\resources: S-1-5-32-545 may write"},
      {"a link below",
       [](const fs::path& f) { fs::create_directory_symlink("/tmp", f / "resources/tmp"); },
       open + kFolder + u"\\resources\\tmp: is a link"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TestMachine machine;
    Install();
    row.change(Native(kFolder));
    EXPECT_EQ(Check(), row.expected);
  }
}

TEST(InstallationFolder, InstallRefusesAnOpenFolderBeforeItRegistersAnything) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  Install();
  ASSERT_EQ(chmod(Native(kFolder).c_str(), 0777), 0);
  platform::SetModulePathForTesting(kExecutable);
  std::u16string message;
  EXPECT_FALSE(InstallService(&message));
  platform::SetModulePathForTesting(u"");
  EXPECT_EQ(message,
            std::u16string(kOpenInstallationFolder) + kFolder + u": S-1-5-32-545 may write");
  platform::RegistryKey service;
  EXPECT_EQ(platform::OpenRegistryKey(platform::kRegistryLocalMachine,
                                      u"SYSTEM\\CurrentControlSet\\Services\\VovudIdavUda",
                                      platform::kKeyRead, &service),
            platform::kErrorFileNotFound);
}

// The service's own start-up check records the refusal for the run and clears it again.
TEST(InstallationFolder, TheStartUpCheckRecordsTheRefusalForTheRun) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  Install();
  platform::SetModulePathForTesting(kExecutable);
  ASSERT_EQ(chmod((Native(kFolder) / "helper.dll").c_str(), 0666), 0);
  CheckInstallationFolderAtStart();
  EXPECT_EQ(InstallationFolderRefusal(), std::u16string(kOpenInstallationFolder) + kFolder +
                                             u"\\helper.dll: S-1-5-32-545 may write");
  ASSERT_EQ(chmod((Native(kFolder) / "helper.dll").c_str(), 0755), 0);
  CheckInstallationFolderAtStart();
  EXPECT_EQ(InstallationFolderRefusal(), u"");
  platform::SetModulePathForTesting(u"");
}

}  // namespace
}  // namespace vovu
