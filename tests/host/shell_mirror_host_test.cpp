// The namespace-class mirror and the cleanup over a populated machine: users' classes live
// in HKU, which only the host lets a test fill for made-up users.
#include <gtest/gtest.h>

#include <functional>

#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/fault_injection.h"
#include "shell/com_registration.h"
#include "shell/namespace_clsid.h"
#include "shell/registry_snapshot.h"
#include "shell/shell_cleanup.h"
#include "shell/sync_root.h"
#include "support/debug_capture.h"
#include "support/machine_rights.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using platform::FaultPoint;
using platform::kKeyWow64_32Key;
using platform::kRegistryLocalMachine;
using platform::kRegistryUsers;
using testing::CreateKey;
using testing::KeyExists;
using testing::Outcome;
using testing::SetValue;
using testing::SnapshotTree;
using testing::StoredValue;
using testing::SzValue;
using testing::TreeSnapshot;

const std::u16string kSid = u"S-1-5-21-1-2-3-1001";
const std::u16string kClsid = u"{0C8A3F1E-1234-4ABC-9DEF-00112233AABB}";
const std::u16string kPlainClsid = u"{0c8a3f1e-5678-4abc-9def-00112233aabb}";

std::u16string UserClass(const std::u16string& hive, const std::u16string& clsid) {
  return hive + u"\\Software\\Classes\\CLSID\\" + clsid;
}

// `clsid` below one of the machine's class roots.
std::u16string Machine(const char16_t* root, const std::u16string& clsid) {
  return std::u16string(root) + u"\\" + clsid;
}

// A class of every value type over two levels of subkeys, with an InProcServer32 subkey
// that asks for apartment threading.
TreeSnapshot WriteRichClass(const std::u16string& path) {
  platform::RegistryKey top = CreateKey(kRegistryUsers, path);
  SetValue(top.get(), u"", SzValue(u"Korva"));
  SetValue(top.get(), u"Path",
           {platform::kRegExpandSz, testing::WideBytes(u"%USERPROFILE%\\Korva")});
  SetValue(top.get(), u"Attributes", {platform::kRegDword, std::string("\x4d\x00\xf0\xf0", 4)});
  SetValue(top.get(), u"Blob", {platform::kRegBinary, std::string("\x00\xff\x00", 3)});
  platform::RegistryKey server = CreateKey(top.get(), u"InProcServer32");
  SetValue(server.get(), u"", SzValue(u"%SystemRoot%\\shell32.dll"));
  SetValue(server.get(), u"ThreadingModel", SzValue(u"Apartment"));
  platform::RegistryKey deeper = CreateKey(top.get(), u"Instance\\InitPropertyBag");
  SetValue(deeper.get(), u"TargetFolderPath", {platform::kRegExpandSz, std::string("C\0:\0", 4)});
  SetValue(deeper.get(), u"Odd", {platform::kRegSz, std::string("abc", 3)});
  return SnapshotTree(kRegistryUsers, path);
}

class NamespaceMirror : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_MACHINE_KEY_RIGHTS();
    platform::SetModulePathForTesting(u"C:\\Korva\\vovudidavuda.exe");
    context_.userSid = kSid;
  }
  void TearDown() override {
    platform::ClearFaults();
    platform::SetModulePathForTesting(u"");
  }

  // The mirror and the ensure for this test's caller and sync root: "ok" when they succeed
  // (with the error they left, which should be none), else the error.
  std::u16string Mirror(const std::u16string& clsid) {
    return Outcome(MirrorNamespaceClsid, context_, clsid, id_);
  }
  std::u16string Ensure(const std::function<void()>& pause) {
    std::u16string error;
    return EnsureCloudFilesHandlers(id_, context_, pause, &error) ? u"ok" + error : error;
  }

  testing::TestMachine machine_;
  RequestContext context_;
  const std::u16string id_ = SyncRootIdForSid(kSid);
};

TEST_F(NamespaceMirror, ACopiedClassKeepsEveryTypeAndByteAndRunsOnAnyThread) {
  TreeSnapshot expected = WriteRichClass(UserClass(kSid + u"_Classes", kClsid));
  expected[u"InProcServer32|ThreadingModel"] = SzValue(u"Both");
  // A class without a server subkey gets none.
  (void)WriteRichClass(UserClass(kSid, kPlainClsid));
  ASSERT_EQ(platform::DeleteRegistryTree(kRegistryUsers,
                                         UserClass(kSid, kPlainClsid) + u"\\InProcServer32"),
            platform::kErrorSuccess);
  const TreeSnapshot plain = SnapshotTree(kRegistryUsers, UserClass(kSid, kPlainClsid));

  ASSERT_EQ(Mirror(kClsid), u"ok");
  ASSERT_EQ(Mirror(kPlainClsid), u"ok");
  for (const char16_t* root : {kClassRoot64, kClassRoot32}) {
    EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, Machine(root, kClsid)), expected);
    EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, Machine(root, kPlainClsid)), plain);
  }
  // The index names both, for this sync root.
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, kMirroredNamespaceIndex),
            (TreeSnapshot{
                {u"\\", {}}, {u"|" + kClsid, SzValue(id_)}, {u"|" + kPlainClsid, SzValue(id_)}}));
}

TEST_F(NamespaceMirror, BadOrMissingSourcesAreRefusedAndThe32BitRootIsOptional) {
  for (const std::u16string bad :
       {u"0C8A3F1E-1234-4ABC-9DEF-00112233AABB", u"{0C8A3F1E-1234-4ABC-9DEF-00112233AAB}",
        u"{0C8A3F1E-1234-4ABC-9DEF-00112233AABg}", u"{0C8A3F1E-1234-4ABC-9DEF0-0112233AABB}"}) {
    EXPECT_EQ(Mirror(bad), u"invalid NamespaceCLSID: " + bad);
  }
  // Absent from the hive; present but the caller has no SID.
  EXPECT_EQ(Mirror(kClsid), u"source CLSID tree not found in user hive for " + kClsid);
  (void)WriteRichClass(UserClass(kSid, kClsid));
  EXPECT_EQ(Outcome(MirrorNamespaceClsid, RequestContext(), kClsid, id_),
            u"source CLSID tree not found in user hive for " + kClsid);

  // The 32-bit root and the index refuse: the mirror stands on the 64-bit copy and says so
  // in the debugger output only.
  platform::InjectFault(FaultPoint::kRegistryWrite, u"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID",
                        5);
  platform::InjectFault(FaultPoint::kRegistryWrite, u"HKLM\\SOFTWARE\\KorvaSync", 5);
  testing::DebugCapture debug;
  ASSERT_EQ(Mirror(kClsid), u"ok");
  EXPECT_TRUE(KeyExists(Machine(kClassRoot64, kClsid)));
  EXPECT_FALSE(KeyExists(Machine(kClassRoot32, kClsid)));
  ASSERT_TRUE(debug.Available());
  EXPECT_EQ(debug.Lines(),
            std::vector<std::string>(
                {"[VovudIdavUda] VovudIdavUda: 32-bit NamespaceCLSID mirror skipped "
                 "(non-fatal): RegCreateKeyExW failed for SOFTWARE\\Classes\\WOW6432Node\\CLSID"
                 "\\{0C8A3F1E-1234-4ABC-9DEF-00112233AABB}: error=5 Access is denied.\r\n\n",
                 "[VovudIdavUda] VovudIdavUda: failed to record mirrored NamespaceCLSID: create "
                 "mirrored-namespace index failed: error=5 Access is denied.\r\n\n"}));

  // The 64-bit root is required.
  platform::InjectFault(FaultPoint::kRegistryOpen, u"HKLM\\SOFTWARE\\Classes\\CLSID", 5);
  EXPECT_EQ(Mirror(kClsid),
            u"RegOpenKeyExW failed for SOFTWARE\\Classes\\CLSID: error=5 Access is denied.\r\n");
}

TEST_F(NamespaceMirror, EnsureReadsTheNamespaceClsidUpToThreeTimesAndMirrorsIt) {
  platform::RegistryKey syncRoot = CreateKey(kRegistryLocalMachine, SyncRootKeyPath(id_));
  (void)WriteRichClass(UserClass(kSid + u"_Classes", kClsid));

  // The owner finishes its registration during the second pause: the third read finds the
  // value, stored with two trailing NULs.
  int pauses = 0;
  const auto pause = [&] {
    if (++pauses == 2)
      SetValue(syncRoot.get(), u"NamespaceCLSID",
               {platform::kRegSz, testing::WideBytes(kClsid + u'\0')});
  };
  ASSERT_EQ(Ensure(pause), u"ok");
  EXPECT_EQ(pauses, 2);
  EXPECT_TRUE(KeyExists(Machine(kClassRoot64, kClsid) + u"\\InProcServer32"));
  std::u16string clsid;
  ASSERT_EQ(Outcome(ReadNamespaceClsid, syncRoot.get(), &clsid), u"ok");
  EXPECT_EQ(clsid, kClsid);

  // A NamespaceCLSID that is not text is reported by the read, and ignored by the ensure.
  SetValue(syncRoot.get(), u"NamespaceCLSID", {platform::kRegDword, std::string(4, '\0')});
  EXPECT_EQ(Outcome(ReadNamespaceClsid, syncRoot.get(), &clsid),
            u"unexpected registry value type 4");
  pauses = 0;
  EXPECT_EQ(Ensure([&] { ++pauses; }), u"ok");
  EXPECT_EQ(pauses, 2);

  // A malformed one is refused with its own message after everything else was done.
  SetValue(syncRoot.get(), u"NamespaceCLSID", SzValue(u"{not-a-clsid}"));
  EXPECT_EQ(Ensure([] {}), u"invalid NamespaceCLSID: {not-a-clsid}");
}

class ShellCleanup : public NamespaceMirror {};

TEST_F(ShellCleanup, RemovesEveryProductKeyAndKeepsWhatOnlyLooksAlike) {
  // An empty machine stays empty.
  const TreeSnapshot empty = SnapshotTree(kRegistryLocalMachine, u"SOFTWARE");
  EXPECT_EQ(Outcome(CleanupShellRegistration), u"ok");
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, u"SOFTWARE"), empty);

  // Look-alikes that stay: sync roots of other names, in both views, and shell entries that
  // mention the provider in another letter case or in a binary value.
  const std::u16string manager = kSyncRootManager;
  const std::u16string explorer = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";
  const std::u16string myComputer = explorer + u"MyComputer\\NameSpace\\";
  const std::u16string desktop = explorer + u"Desktop\\NameSpace\\";
  (void)CreateKey(kRegistryLocalMachine, manager + u"\\korvastorageprovider!x");
  (void)CreateKey(kRegistryLocalMachine, manager + u"\\OtherProvider!KorvaStorageProvider!",
                  kKeyWow64_32Key);
  SetValue(
      CreateKey(kRegistryLocalMachine, desktop + u"{11111111-1111-1111-1111-111111111111}\\Sub")
          .get(),
      u"Root", SzValue(u"korvastorageprovider!S-1-5-21-1!KorvaAccount1"));
  SetValue(CreateKey(kRegistryLocalMachine, myComputer + u"{22222222-2222-2222-2222-222222222222}")
               .get(),
           u"Blob", {platform::kRegBinary, testing::WideBytes(u"KorvaStorageProvider!")});
  const TreeSnapshot expected = SnapshotTree(kRegistryLocalMachine, u"SOFTWARE");

  // The product's registration as ensures leave it, with a mirrored class; another sync root
  // of the product in the 32-bit view; shell entries that point at a product sync root
  // somewhere in their tree, in both views.
  SetValue(CreateKey(kRegistryLocalMachine, SyncRootKeyPath(id_)).get(), u"NamespaceCLSID",
           SzValue(kClsid));
  (void)WriteRichClass(UserClass(kSid, kClsid));
  ASSERT_EQ(Ensure([] {}), u"ok");
  ASSERT_TRUE(KeyExists(Machine(kClassRoot32, kClsid)));
  (void)CreateKey(kRegistryLocalMachine, manager + u"\\KorvaStorageProvider!other",
                  kKeyWow64_32Key);
  SetValue(CreateKey(kRegistryLocalMachine, myComputer + kClsid + u"\\A\\B").get(), u"Root",
           SzValue(u"x KorvaStorageProvider!S-1-5-21-1!KorvaAccount1"));
  SetValue(CreateKey(kRegistryLocalMachine, desktop + kClsid, kKeyWow64_32Key).get(), u"",
           {platform::kRegExpandSz, testing::WideBytes(u"KorvaStorageProvider!")});

  ASSERT_EQ(Outcome(CleanupShellRegistration), u"ok");
  TreeSnapshot after = SnapshotTree(kRegistryLocalMachine, u"SOFTWARE");
  after.erase(u"KorvaSync\\");  // the index's parent may stay
  EXPECT_EQ(after, expected);
}

TEST_F(ShellCleanup, OnlyTheClassRemovalDecidesTheResult) {
  ASSERT_EQ(Outcome(RegisterComServers), u"ok");
  ASSERT_EQ(Outcome(RecordMirroredClsid, kClsid, id_), u"ok");
  (void)CreateKey(kRegistryLocalMachine, Machine(kClassRoot32, kClsid));

  // The mirrored class cannot go: not an error while the classes went.
  platform::InjectFault(FaultPoint::kRegistryWrite, u"HKLM\\" + Machine(kClassRoot32, kClsid), 5);
  EXPECT_EQ(Outcome(CleanupShellRegistration), u"ok");

  // With a class that cannot go either, both are reported, the classes' first.
  ASSERT_EQ(Outcome(RegisterComServers), u"ok");
  ASSERT_EQ(Outcome(RecordMirroredClsid, kClsid, id_), u"ok");
  platform::InjectFault(FaultPoint::kRegistryWrite,
                        u"HKLM\\" + Machine(kClassRoot64, kHandlerClsids[1]), 5);
  EXPECT_EQ(Outcome(CleanupShellRegistration),
            u"RegDeleteTree failed for {4e9a0b52-c7d3-4a18-b6f0-93d25e7c4a11}: error=5; "
            u"RegDeleteTreeW failed for SOFTWARE\\Classes\\WOW6432Node\\CLSID\\"
            u"{0C8A3F1E-1234-4ABC-9DEF-00112233AABB}: error=5");
}

}  // namespace
}  // namespace vovu
