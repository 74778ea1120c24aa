// The namespace-class mirror and the cleanup over a populated machine: users' classes live
// in HKU, which only the host lets a test fill for made-up users.
#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/fault_injection.h"
#include "shell/com_registration.h"
#include "shell/namespace_clsid.h"
#include "shell/registry_snapshot.h"
#include "shell/shell_cleanup.h"
#include "shell/sync_root.h"
#include "support/debug_capture.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using platform::kKeyWow64_32Key;
using platform::kKeyWow64_64Key;
using platform::kRegistryLocalMachine;
using platform::kRegistryUsers;
using testing::KeyExists;
using testing::SnapshotTree;
using testing::StoredValue;
using testing::SzValue;
using testing::TreeSnapshot;

constexpr char16_t kSid[] = u"S-1-5-21-1-2-3-1001";
constexpr char16_t kClsid[] = u"{0C8A3F1E-1234-4ABC-9DEF-00112233AABB}";
constexpr char16_t kPlainClsid[] = u"{0c8a3f1e-5678-4abc-9def-00112233aabb}";

platform::RegistryKey Create(platform::NativeHandle root, const std::u16string& path,
                             std::uint32_t view = kKeyWow64_64Key) {
  platform::RegistryKey key;
  EXPECT_EQ(platform::CreateRegistryKey(root, path, platform::kKeyAllAccess | view, &key, nullptr),
            platform::kErrorSuccess);
  return key;
}

void Set(platform::NativeHandle key, const std::u16string& name, const StoredValue& value) {
  ASSERT_EQ(platform::SetRegistryValue(key, name, value.type, value.bytes.data(),
                                       static_cast<std::uint32_t>(value.bytes.size())),
            platform::kErrorSuccess);
}

std::u16string UserClass(const std::u16string& hive, const std::u16string& clsid) {
  return hive + u"\\Software\\Classes\\CLSID\\" + clsid;
}

// A class of every value type over two levels of subkeys, with an InProcServer32 subkey
// that asks for apartment threading.
TreeSnapshot WriteRichClass(const std::u16string& path) {
  platform::RegistryKey top = Create(kRegistryUsers, path);
  Set(top.get(), u"", SzValue(u"Korva"));
  Set(top.get(), u"Path", {platform::kRegExpandSz, testing::WideBytes(u"%USERPROFILE%\\Korva")});
  Set(top.get(), u"Attributes", {platform::kRegDword, std::string("\x4d\x00\xf0\xf0", 4)});
  Set(top.get(), u"Blob", {platform::kRegBinary, std::string("\x00\xff\x00", 3)});
  platform::RegistryKey server = Create(top.get(), u"InProcServer32");
  Set(server.get(), u"", SzValue(u"%SystemRoot%\\shell32.dll"));
  Set(server.get(), u"ThreadingModel", SzValue(u"Apartment"));
  platform::RegistryKey deeper = Create(top.get(), u"Instance\\InitPropertyBag");
  Set(deeper.get(), u"TargetFolderPath", {platform::kRegExpandSz, std::string("C\0:\0", 4)});
  Set(deeper.get(), u"Odd", {platform::kRegSz, std::string("abc", 3)});
  return SnapshotTree(kRegistryUsers, path);
}

class NamespaceMirror : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetModulePathForTesting(u"C:\\Korva\\vovudidavuda.exe");
    context_.userSid = kSid;
    id_ = SyncRootIdForSid(kSid);
  }
  void TearDown() override {
    platform::ClearFaults();
    platform::SetModulePathForTesting(u"");
  }

  testing::TestMachine machine_;
  RequestContext context_;
  std::u16string id_;
};

TEST_F(NamespaceMirror, ACopiedClassKeepsEveryTypeAndByteAndRunsOnAnyThread) {
  TreeSnapshot expected = WriteRichClass(UserClass(std::u16string(kSid) + u"_Classes", kClsid));
  expected[u"InProcServer32|ThreadingModel"] = SzValue(u"Both");
  // A class without a server subkey gets none.
  const TreeSnapshot plain = WriteRichClass(UserClass(kSid, kPlainClsid));
  ASSERT_EQ(platform::DeleteRegistryTree(kRegistryUsers,
                                         UserClass(kSid, kPlainClsid) + u"\\InProcServer32"),
            platform::kErrorSuccess);

  std::u16string error;
  ASSERT_TRUE(MirrorNamespaceClsid(context_, kClsid, id_, &error)) << WideToUtf8(error);
  ASSERT_TRUE(MirrorNamespaceClsid(context_, kPlainClsid, id_, &error)) << WideToUtf8(error);
  for (const char16_t* root : {kClassRoot64, kClassRoot32}) {
    EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, std::u16string(root) + u"\\" + kClsid), expected);
    const TreeSnapshot copy =
        SnapshotTree(kRegistryLocalMachine, std::u16string(root) + u"\\" + kPlainClsid);
    EXPECT_FALSE(copy.contains(u"InProcServer32\\"));
    EXPECT_EQ(copy.at(u"Instance\\InitPropertyBag|Odd"),
              plain.at(u"Instance\\InitPropertyBag|Odd"));
  }
  // The index names both, for this sync root.
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, kMirroredNamespaceIndex),
            (TreeSnapshot{{u"\\", {}},
                          {u"|" + std::u16string(kClsid), SzValue(id_)},
                          {u"|" + std::u16string(kPlainClsid), SzValue(id_)}}));
}

TEST_F(NamespaceMirror, BadOrMissingSourcesAreRefusedAndThe32BitRootIsOptional) {
  std::u16string error;
  for (const std::u16string& bad : {std::u16string(u"0C8A3F1E-1234-4ABC-9DEF-00112233AABB"),
                                    std::u16string(u"{0C8A3F1E-1234-4ABC-9DEF-00112233AAB}"),
                                    std::u16string(u"{0C8A3F1E-1234-4ABC-9DEF-00112233AABg}"),
                                    std::u16string(u"{0C8A3F1E-1234-4ABC-9DEF0-0112233AABB}")}) {
    EXPECT_FALSE(MirrorNamespaceClsid(context_, bad, id_, &error));
    EXPECT_EQ(error, u"invalid NamespaceCLSID: " + bad);
  }
  EXPECT_FALSE(MirrorNamespaceClsid(context_, kClsid, id_, &error));
  EXPECT_EQ(error, u"source CLSID tree not found in user hive for " + std::u16string(kClsid));
  (void)WriteRichClass(UserClass(kSid, kClsid));
  EXPECT_FALSE(MirrorNamespaceClsid(RequestContext(), kClsid, id_, &error));
  EXPECT_EQ(error, u"source CLSID tree not found in user hive for " + std::u16string(kClsid));

  // The 32-bit root and the index refuse: the mirror stands on the 64-bit copy and says so
  // in the debugger output only.
  platform::InjectFault(platform::FaultPoint::kRegistryWrite,
                        u"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID", 5);
  platform::InjectFault(platform::FaultPoint::kRegistryWrite, u"HKLM\\SOFTWARE\\KorvaSync", 5);
  testing::DebugCapture debug;
  error.clear();
  ASSERT_TRUE(MirrorNamespaceClsid(context_, kClsid, id_, &error));
  EXPECT_EQ(error, u"");
  EXPECT_TRUE(KeyExists(std::u16string(kClassRoot64) + u"\\" + kClsid));
  EXPECT_FALSE(KeyExists(std::u16string(kClassRoot32) + u"\\" + kClsid));
  if (debug.Available()) {
    EXPECT_EQ(debug.Lines(),
              std::vector<std::string>(
                  {"[VovudIdavUda] VovudIdavUda: 32-bit NamespaceCLSID mirror skipped "
                   "(non-fatal): RegCreateKeyExW failed for SOFTWARE\\Classes\\WOW6432Node\\CLSID"
                   "\\{0C8A3F1E-1234-4ABC-9DEF-00112233AABB}: error=5 Access is denied.\r\n\n",
                   "[VovudIdavUda] VovudIdavUda: failed to record mirrored NamespaceCLSID: create "
                   "mirrored-namespace index failed: error=5 Access is denied.\r\n\n"}));
  }

  // The 64-bit root is required.
  platform::InjectFault(platform::FaultPoint::kRegistryOpen, u"HKLM\\SOFTWARE\\Classes\\CLSID", 5);
  EXPECT_FALSE(MirrorNamespaceClsid(context_, kClsid, id_, &error));
  EXPECT_EQ(error,
            u"RegOpenKeyExW failed for SOFTWARE\\Classes\\CLSID: error=5 Access is "
            u"denied.\r\n");
}

TEST_F(NamespaceMirror, EnsureReadsTheNamespaceClsidUpToThreeTimesAndMirrorsIt) {
  platform::RegistryKey syncRoot = Create(kRegistryLocalMachine, SyncRootKeyPath(id_));
  (void)WriteRichClass(UserClass(std::u16string(kSid) + u"_Classes", kClsid));

  // The owner finishes its registration during the second pause: the third read finds the
  // value, stored with two trailing NULs.
  int pauses = 0;
  const auto pause = [&] {
    if (++pauses == 2)
      Set(syncRoot.get(), u"NamespaceCLSID",
          {platform::kRegSz, testing::WideBytes(std::u16string(kClsid) + u'\0')});
  };
  std::u16string error;
  ASSERT_TRUE(EnsureCloudFilesHandlers(id_, context_, pause, &error)) << WideToUtf8(error);
  EXPECT_EQ(pauses, 2);
  EXPECT_TRUE(KeyExists(std::u16string(kClassRoot64) + u"\\" + kClsid + u"\\InProcServer32"));
  std::u16string clsid;
  ASSERT_TRUE(ReadNamespaceClsid(syncRoot.get(), &clsid, &error));
  EXPECT_EQ(clsid, kClsid);

  // A NamespaceCLSID that is not text is reported by the read, and ignored by the ensure.
  Set(syncRoot.get(), u"NamespaceCLSID", {platform::kRegDword, std::string(4, '\0')});
  EXPECT_FALSE(ReadNamespaceClsid(syncRoot.get(), &clsid, &error));
  EXPECT_EQ(error, u"unexpected registry value type 4");
  pauses = 0;
  error.clear();
  EXPECT_TRUE(EnsureCloudFilesHandlers(
      id_, context_, [&] { ++pauses; }, &error));
  EXPECT_EQ(pauses, 2);
  EXPECT_EQ(error, u"");

  // A malformed one is refused with its own message after everything else was done.
  Set(syncRoot.get(), u"NamespaceCLSID", SzValue(u"{not-a-clsid}"));
  EXPECT_FALSE(EnsureCloudFilesHandlers(
      id_, context_, [] {}, &error));
  EXPECT_EQ(error, u"invalid NamespaceCLSID: {not-a-clsid}");
}

class ShellCleanup : public NamespaceMirror {};

TEST_F(ShellCleanup, AnEmptyMachineStaysEmpty) {
  const TreeSnapshot before = SnapshotTree(kRegistryLocalMachine, u"SOFTWARE");
  std::u16string error;
  EXPECT_TRUE(CleanupShellRegistration(&error));
  EXPECT_EQ(error, u"");
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, u"SOFTWARE"), before);
}

TEST_F(ShellCleanup, RemovesEveryProductKeyAndKeepsWhatOnlyLooksAlike) {
  const std::u16string manager = kSyncRootManager;
  const std::u16string myComputer =
      u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace\\";
  const std::u16string desktop =
      u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Desktop\\NameSpace\\";

  // The product's registration as ensures leave it, with a mirrored class.
  platform::RegistryKey syncRoot = Create(kRegistryLocalMachine, SyncRootKeyPath(id_));
  Set(syncRoot.get(), u"NamespaceCLSID", SzValue(kClsid));
  (void)WriteRichClass(UserClass(kSid, kClsid));
  std::u16string error;
  ASSERT_TRUE(EnsureCloudFilesHandlers(
      id_, context_, [] {}, &error))
      << WideToUtf8(error);
  syncRoot.reset();
  (void)Create(kRegistryLocalMachine, manager + u"\\KorvaStorageProvider!other", kKeyWow64_32Key);
  // Shell entries pointing at a product sync root somewhere in their tree, in both views.
  Set(Create(kRegistryLocalMachine, myComputer + kClsid + u"\\A\\B").get(), u"Root",
      SzValue(u"x KorvaStorageProvider!S-1-5-21-1!KorvaAccount1"));
  Set(Create(kRegistryLocalMachine, desktop + kClsid, kKeyWow64_32Key).get(), u"",
      {platform::kRegExpandSz, testing::WideBytes(u"KorvaStorageProvider!")});

  // Look-alikes that stay.
  const std::u16string keptSyncRoots[] = {manager + u"\\korvastorageprovider!x",
                                          manager + u"\\OtherProvider!KorvaStorageProvider!"};
  for (const std::u16string& path : keptSyncRoots)
    (void)Create(kRegistryLocalMachine, path);
  Set(Create(kRegistryLocalMachine, desktop + u"{11111111-1111-1111-1111-111111111111}\\Sub").get(),
      u"Root", SzValue(u"korvastorageprovider!S-1-5-21-1!KorvaAccount1"));
  Set(Create(kRegistryLocalMachine, myComputer + u"{22222222-2222-2222-2222-222222222222}").get(),
      u"Blob", {platform::kRegBinary, testing::WideBytes(u"KorvaStorageProvider!")});
  const TreeSnapshot keptDesktop = SnapshotTree(kRegistryLocalMachine, desktop);
  const TreeSnapshot keptMyComputer =
      SnapshotTree(kRegistryLocalMachine, myComputer + u"{22222222-2222-2222-2222-222222222222}");

  error.clear();
  ASSERT_TRUE(CleanupShellRegistration(&error));
  EXPECT_EQ(error, u"");

  for (const char16_t* clsid : kHandlerClsids) {
    EXPECT_FALSE(KeyExists(std::u16string(kClassRoot64) + u"\\" + clsid, kKeyWow64_64Key));
    EXPECT_FALSE(KeyExists(std::u16string(kClassRoot64) + u"\\" + clsid, kKeyWow64_32Key));
  }
  EXPECT_FALSE(KeyExists(SyncRootKeyPath(id_)));
  EXPECT_FALSE(KeyExists(manager + u"\\KorvaStorageProvider!other", kKeyWow64_32Key));
  for (const std::u16string& path : keptSyncRoots)
    EXPECT_TRUE(KeyExists(path));
  EXPECT_FALSE(KeyExists(myComputer + kClsid));
  EXPECT_FALSE(KeyExists(desktop + kClsid, kKeyWow64_32Key));
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, desktop), keptDesktop);
  EXPECT_EQ(
      SnapshotTree(kRegistryLocalMachine, myComputer + u"{22222222-2222-2222-2222-222222222222}"),
      keptMyComputer);
  EXPECT_FALSE(KeyExists(std::u16string(kClassRoot64) + u"\\" + kClsid));
  EXPECT_FALSE(KeyExists(std::u16string(kClassRoot32) + u"\\" + kClsid));
  EXPECT_FALSE(KeyExists(kMirroredNamespaceIndex));
}

TEST_F(ShellCleanup, OnlyTheClassRemovalDecidesTheResult) {
  std::u16string error;
  ASSERT_TRUE(RegisterComServers(&error));
  ASSERT_TRUE(RecordMirroredClsid(kClsid, id_, &error));
  (void)Create(kRegistryLocalMachine, std::u16string(kClassRoot32) + u"\\" + kClsid);

  // The mirrored class cannot go: not an error while the classes went.
  platform::InjectFault(platform::FaultPoint::kRegistryWrite,
                        u"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\" + std::u16string(kClsid),
                        5);
  EXPECT_TRUE(CleanupShellRegistration(&error));
  EXPECT_EQ(error, u"");

  // With a class that cannot go either, both are reported, the classes' first.
  ASSERT_TRUE(RegisterComServers(&error));
  ASSERT_TRUE(RecordMirroredClsid(kClsid, id_, &error));
  platform::InjectFault(platform::FaultPoint::kRegistryWrite,
                        u"HKLM\\SOFTWARE\\Classes\\CLSID\\" + std::u16string(kHandlerClsids[1]), 5);
  EXPECT_FALSE(CleanupShellRegistration(&error));
  EXPECT_EQ(error,
            u"RegDeleteTree failed for {4e9a0b52-c7d3-4a18-b6f0-93d25e7c4a11}: error=5; "
            u"RegDeleteTreeW failed for SOFTWARE\\Classes\\WOW6432Node\\CLSID\\"
            u"{0C8A3F1E-1234-4ABC-9DEF-00112233AABB}: error=5");
}

}  // namespace
}  // namespace vovu
