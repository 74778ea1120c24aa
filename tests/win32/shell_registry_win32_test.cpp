// Under wine, the registration is checked with the system's own reg tool: the handler
// classes in both registry views and the handler values of this user's sync-root key.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "foundation/text.h"
#include "platform/environment.h"
#include "shell/com_registration.h"
#include "shell/registry_snapshot.h"
#include "shell/sync_root.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

// What `reg query <key> <options>` prints, or "" when it fails.
std::string RegQuery(const testing::TestMachine& machine, const std::u16string& key,
                     const char* options) {
  const std::u16string output = machine.Path(u"reg-query.txt");
  const std::string command = "reg query \"" + WideToUtf8(key) + "\" " + options + " > \"" +
                              WideToUtf8(output) + "\" 2>NUL";
  if (std::system(command.c_str()) != 0)
    return std::string();
  std::ifstream in(testing::TestMachine::Native(output), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ShellRegistryWin32, TheSystemRegToolSeesClassesInBothViewsAndTheHandlerValues) {
  testing::TestMachine machine;
  platform::SetModulePathForTesting(u"C:\\Korva\\vovudidavuda.exe");
  const RequestContext self = BuildLocalContext();
  ASSERT_FALSE(self.userSid.empty());
  const std::u16string id = SyncRootIdForSid(self.userSid);
  {
    platform::RegistryKey key;
    ASSERT_EQ(platform::CreateRegistryKey(platform::kRegistryLocalMachine, SyncRootKeyPath(id),
                                          platform::kKeyAllAccess | platform::kKeyWow64_64Key, &key,
                                          nullptr),
              platform::kErrorSuccess);
  }
  std::u16string error;
  ASSERT_TRUE(EnsureCloudFilesHandlers(
      id, self, [] {}, &error))
      << WideToUtf8(error);

  const std::u16string server =
      u"HKLM\\SOFTWARE\\Classes\\CLSID\\" + std::u16string(kHandlerClsids[3]) + u"\\LocalServer32";
  for (const char* view : {"/reg:64", "/reg:32"}) {
    SCOPED_TRACE(view);
    const std::string options = std::string("/ve ") + view;
    EXPECT_NE(
        RegQuery(machine, server, options.c_str()).find("\"C:\\Korva\\korvaCF.exe\" -Embedding"),
        std::string::npos);
  }
  const std::string values = RegQuery(machine, u"HKLM\\" + SyncRootKeyPath(id), "/reg:64");
  EXPECT_NE(values.find("CopyHook"), std::string::npos) << values;
  EXPECT_NE(values.find("{c5d2e980-3f17-4b6a-a4d9-6e0b17c83a14}"), std::string::npos);

  ASSERT_TRUE(RemoveCloudFilesHandlers(id, &error));
  ASSERT_TRUE(UnregisterComServers(&error)) << WideToUtf8(error);
  EXPECT_EQ(RegQuery(machine, u"HKLM\\" + SyncRootKeyPath(id), "/reg:64").find("CopyHook"),
            std::string::npos);
  EXPECT_EQ(RegQuery(machine, server, "/ve /reg:64"), "");
  EXPECT_EQ(RegQuery(machine, server, "/ve /reg:32"), "");

  (void)platform::DeleteRegistryTree(platform::kRegistryLocalMachine, SyncRootKeyPath(id));
  platform::SetModulePathForTesting(u"");
}

}  // namespace
}  // namespace vovu
