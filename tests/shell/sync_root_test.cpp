// Handler values in the caller's own sync-root key, and the check that a caller names only
// its own sync root. The sync root belongs to this process's user, so under wine the key is
// the prefix's real one; every test removes what it made.
#include "shell/sync_root.h"

#include <gtest/gtest.h>

#include <functional>

#include "foundation/text.h"
#include "platform/environment.h"
#include "shell/com_registration.h"
#include "shell/namespace_clsid.h"
#include "shell/registry_snapshot.h"
#include "support/machine_rights.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using platform::kRegistryLocalMachine;
using testing::KeyExists;
using testing::Outcome;
using testing::SnapshotTree;
using testing::SzValue;
using testing::TreeSnapshot;

std::u16string ClassPath(const char16_t* clsid) {
  return std::u16string(u"SOFTWARE\\Classes\\CLSID\\") + clsid;
}

TEST(SyncRootId, OnlyTheCallersOwnIdPassesLetterForLetter) {
  RequestContext context;
  context.userSid = u"S-1-5-21-1-2-3-1001";
  const std::u16string own = u"KorvaStorageProvider!S-1-5-21-1-2-3-1001!KorvaAccount1";
  EXPECT_EQ(SyncRootIdForSid(context.userSid), own);
  EXPECT_EQ(Outcome(ValidateSyncRootId, own, context), u"ok");
  for (const std::u16string& other : {
           std::u16string(u"korvastorageprovider!S-1-5-21-1-2-3-1001!KorvaAccount1"),
           std::u16string(u"KorvaStorageProvider!S-1-5-21-1-2-3-1002!KorvaAccount1"),
           own + u" ",
           std::u16string(u"KorvaStorageProvider!s-1-5-21-1-2-3-1001!KorvaAccount1"),
           std::u16string(),
       }) {
    EXPECT_EQ(Outcome(ValidateSyncRootId, other, context),
              u"sync root id does not match caller SID")
        << WideToUtf8(other);
  }
  EXPECT_EQ(Outcome(ValidateSyncRootId, SyncRootIdForSid(u""), RequestContext()),
            u"caller SID is unavailable");
}

class SyncRootHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_MACHINE_KEY_RIGHTS();
    platform::SetModulePathForTesting(u"C:\\Korva\\vovudidavuda.exe");
    context_ = BuildLocalContext();
    ASSERT_FALSE(context_.userSid.empty());
    id_ = SyncRootIdForSid(context_.userSid);
    path_ = SyncRootKeyPath(id_);
  }
  void TearDown() override {
    (void)platform::DeleteRegistryTree(kRegistryLocalMachine, path_);
    std::u16string ignored;
    (void)UnregisterComServers(&ignored);
  }

  // The ensure for this test's sync root, as testing::Outcome gives it.
  std::u16string Ensure(const std::function<void()>& pause) {
    return Outcome([&](std::u16string* error) {
      return EnsureCloudFilesHandlers(id_, context_, pause, error);
    });
  }

  testing::TestMachine machine_;
  RequestContext context_;
  std::u16string id_;
  std::u16string path_;
};

TEST_F(SyncRootHandlers, EnsureWritesTheFourHandlersDropsTheOldNameAndRegistersTheClasses) {
  // A sync root without a key gets nothing written and has nothing to remove.
  EXPECT_EQ(Ensure([] {}),
            u"RegOpenKeyEx failed for "
            u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SyncRootManager\\" +
                id_ + u": error=2");
  EXPECT_FALSE(KeyExists(path_));
  for (std::uint32_t view : kClassViews)
    EXPECT_FALSE(KeyExists(ClassPath(kHandlerClsids[0]), view));
  EXPECT_EQ(Outcome(RemoveCloudFilesHandlers, id_), u"ok");
  EXPECT_FALSE(KeyExists(path_));

  // The sync root's key as its owner would have registered it.
  const std::u16string legacy = u"{00000000-0000-0000-0000-000000000000}";
  {
    const platform::RegistryKey key = testing::CreateKey(kRegistryLocalMachine, path_);
    for (const char16_t* name : {u"StatusUISourceFactory", u"DisplayNameResource"})
      testing::SetValue(key.get(), name, SzValue(legacy));
  }
  int pauses = 0;
  ASSERT_EQ(Ensure([&] { ++pauses; }), u"ok");
  // No NamespaceCLSID: three reads, two pauses between them, and nothing mirrored.
  EXPECT_EQ(pauses, 2);
  EXPECT_FALSE(KeyExists(kMirroredNamespaceIndex));

  const TreeSnapshot expected = {
      {u"\\", {}},
      {u"|DisplayNameResource", SzValue(legacy)},
      {u"|CopyHook", SzValue(u"{7D21C4A9-5E0B-4F83-9A16-2B8E41C7D319}")},
      {u"|MenuVerbHandler_0", SzValue(u"{4e9a0b52-c7d3-4a18-b6f0-93d25e7c4a11}")},
      {u"|CustomStateHandler", SzValue(u"{a83f61d7-2b94-4c05-8e7a-d1c0f94e2b12}")},
      {u"|StorageProviderStatusUISourceFactory",
       SzValue(u"{c5d2e980-3f17-4b6a-a4d9-6e0b17c83a14}")},
  };
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, path_), expected);
  // The classes are registered in both views (what they hold is the registration suite's).
  for (std::uint32_t view : kClassViews)
    EXPECT_TRUE(KeyExists(ClassPath(kHandlerClsids[3]) + u"\\LocalServer32", view));

  // Again: the same result.
  ASSERT_EQ(Ensure([] {}), u"ok");
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, path_), expected);

  // Removing takes the handler values only, and may be repeated.
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(Outcome(RemoveCloudFilesHandlers, id_), u"ok");
    EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, path_),
              (TreeSnapshot{{u"\\", {}}, {u"|DisplayNameResource", SzValue(legacy)}}));
  }
  EXPECT_TRUE(KeyExists(ClassPath(kHandlerClsids[0])));
}

}  // namespace
}  // namespace vovu
