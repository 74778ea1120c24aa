// Shell registration when the registry refuses part of the work: the host's registry seam
// makes one key or view refuse writes with a chosen status.
#include <gtest/gtest.h>

#include "platform/environment.h"
#include "platform/fault_injection.h"
#include "shell/com_registration.h"
#include "shell/namespace_clsid.h"
#include "shell/registry_snapshot.h"
#include "shell/sync_root.h"
#include "support/machine_rights.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using platform::FaultPoint;
using testing::KeyExists;
using testing::Outcome;

// Handler class `index` below the 64-bit or the 32-bit class root of HKLM.
std::u16string ClassKey(int index, bool wow32 = false) {
  return std::u16string(wow32 ? kClassRoot32 : kClassRoot64) + u"\\" + kHandlerClsids[index];
}

class ShellRegistryFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_MACHINE_KEY_RIGHTS();
    platform::SetModulePathForTesting(u"C:\\Korva\\vovudidavuda.exe");
  }
  void TearDown() override {
    platform::ClearFaults();
    platform::SetModulePathForTesting(u"");
  }

  // Which of the eight registrations (class by class, 64-bit first) are complete, as "1"s.
  static std::string Registered() {
    std::string present;
    for (int i = 0; i < 4; ++i) {
      for (std::uint32_t view : kClassViews)
        present += KeyExists(ClassKey(i) + u"\\LocalServer32", view) ? '1' : '0';
    }
    return present;
  }

  testing::TestMachine machine_;
};

TEST_F(ShellRegistryFaults, RefusedRegistrationsReportEachFailureInWalkOrderAndKeepTheRest) {
  // One refused 32-bit class: exactly its message, the other seven stand.
  platform::InjectFault(FaultPoint::kRegistryWrite, u"HKLM\\" + ClassKey(2, true), 5);
  EXPECT_EQ(Outcome(RegisterComServers),
            u"RegCreateKeyEx failed for {a83f61d7-2b94-4c05-8e7a-d1c0f94e2b12}: error=5");
  EXPECT_EQ(Registered(), "11111011");

  // Two refusals, given in reverse: the messages follow the walk (class 1 32-bit before
  // class 2 64-bit), and each step's own message names the step that failed.
  platform::ClearFaults();
  ASSERT_EQ(Outcome(UnregisterComServers), u"ok");
  platform::InjectFault(FaultPoint::kRegistryWrite, u"HKLM\\" + ClassKey(1) + u"\\LocalServer32",
                        5);
  platform::InjectFault(FaultPoint::kRegistryOpen, u"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID",
                        1016, 1);
  EXPECT_EQ(Outcome(RegisterComServers),
            u"RegOpenKeyEx Classes\\CLSID failed: error=1016; "
            u"RegCreateKeyEx LocalServer32 failed for {4e9a0b52-c7d3-4a18-b6f0-93d25e7c4a11}: "
            u"error=5");
  EXPECT_EQ(Registered(), "10011111");

  // A class key that exists but refuses its values.
  platform::ClearFaults();
  platform::InjectFault(FaultPoint::kRegistryWrite, u"HKLM\\" + ClassKey(0), 5);
  EXPECT_EQ(Outcome(RegisterComServers), u"RegSetValueEx failed: error=5");

  // Removal: a refused tree is reported, the rest is removed, absent ones are fine.
  EXPECT_EQ(Outcome(UnregisterComServers),
            u"RegDeleteTree failed for {7D21C4A9-5E0B-4F83-9A16-2B8E41C7D319}: error=5");
  EXPECT_EQ(Registered(), "10000000");
}

TEST_F(ShellRegistryFaults, EnsureKeepsGoingPastARefusedHandlerValueAndJoinsTheFailures) {
  RequestContext context;
  context.userSid = u"S-1-5-21-1-2-3-1001";
  const std::u16string id = SyncRootIdForSid(context.userSid);
  testing::SetValue(testing::CreateKey(platform::kRegistryLocalMachine, SyncRootKeyPath(id)).get(),
                    u"StatusUISourceFactory", testing::SzValue(u"old"));

  // The handler values refuse their first write; the classes' 32-bit view refuses for
  // class 4; the key still gets read for its NamespaceCLSID.
  platform::InjectFault(FaultPoint::kRegistryWrite, u"HKLM\\" + SyncRootKeyPath(id), 5, 1);
  platform::InjectFault(FaultPoint::kRegistryWrite, u"HKLM\\" + ClassKey(3, true), 5);
  int pauses = 0;
  std::u16string error;
  EXPECT_FALSE(EnsureCloudFilesHandlers(
      id, context, [&] { ++pauses; }, &error));
  EXPECT_EQ(error,
            u"RegSetValueEx failed: error=5; RegCreateKeyEx failed for "
            u"{c5d2e980-3f17-4b6a-a4d9-6e0b17c83a14}: error=5");
  EXPECT_EQ(pauses, 2);
  // Nothing after the refused value was written, and the old name stays.
  EXPECT_EQ(
      testing::SnapshotTree(platform::kRegistryLocalMachine, SyncRootKeyPath(id)),
      (testing::TreeSnapshot{{u"\\", {}}, {u"|StatusUISourceFactory", testing::SzValue(u"old")}}));
  EXPECT_EQ(Registered(), "11111110");

  // A sync-root key that cannot be opened for another reason than absence: the status.
  platform::ClearFaults();
  platform::InjectFault(FaultPoint::kRegistryOpen, u"HKLM\\" + SyncRootKeyPath(id), 5);
  EXPECT_EQ(Outcome(RemoveCloudFilesHandlers, id),
            u"RegOpenKeyEx failed for " + SyncRootKeyPath(id) + u": error=5");
}

}  // namespace
}  // namespace vovu
