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

std::string Dword(std::uint32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof(value));
}

StoredValue ExpandValue(const std::u16string& text) {
  return {platform::kRegExpandSz, testing::WideBytes(text)};
}

// A well-formed namespace class for a sync root, as the application registers it, with a
// value of the kind the mirror leaves out in each key. Returns what the machine's copy
// must hold.
TreeSnapshot WriteNamespaceClass(const std::u16string& path) {
  platform::RegistryKey top = CreateKey(kRegistryUsers, path);
  SetValue(top.get(), u"", SzValue(u"Korva"));
  SetValue(top.get(), u"System.IsPinnedToNameSpaceTree", {platform::kRegDword, Dword(1)});
  SetValue(top.get(), u"SortOrderIndex", {platform::kRegDword, Dword(0x42)});
  SetValue(top.get(), u"InfoTip", SzValue(u"left out"));
  SetValue(CreateKey(top.get(), u"DefaultIcon").get(), u"",
           ExpandValue(u"%LOCALAPPDATA%\\Korva\\korva.ico,0"));
  platform::RegistryKey server = CreateKey(top.get(), u"InProcServer32");
  SetValue(server.get(), u"", ExpandValue(u"%systemroot%\\system32\\shell32.dll"));
  SetValue(server.get(), u"ThreadingModel", SzValue(u"Apartment"));
  platform::RegistryKey instance = CreateKey(top.get(), u"Instance");
  SetValue(instance.get(), u"CLSID", SzValue(u"{0e5aae11-a475-4c5b-ab00-c66de400274e}"));
  platform::RegistryKey bag = CreateKey(instance.get(), u"InitPropertyBag");
  SetValue(bag.get(), u"Attributes", {platform::kRegDword, Dword(0x11)});
  SetValue(bag.get(), u"TargetFolderPath", ExpandValue(u"%USERPROFILE%\\Korva"));
  SetValue(bag.get(), u"Blob", {platform::kRegBinary, std::string("\x00\xff", 2)});
  platform::RegistryKey folder = CreateKey(top.get(), u"ShellFolder");
  SetValue(folder.get(), u"Attributes", {platform::kRegDword, Dword(0xF080004D)});
  SetValue(folder.get(), u"FolderValueFlags", {platform::kRegDword, Dword(0x28)});
  SetValue(folder.get(), u"WantsFORPARSING", SzValue(u""));

  TreeSnapshot expected = SnapshotTree(kRegistryUsers, path);
  expected.erase(u"|InfoTip");
  expected.erase(u"Instance\\InitPropertyBag|Blob");
  expected.erase(u"ShellFolder|WantsFORPARSING");
  expected[u"InProcServer32|ThreadingModel"] = SzValue(u"Both");
  return expected;
}

// Every entry of `snapshot` at or below the key `key` ("" for none).
TreeSnapshot Without(TreeSnapshot snapshot, const std::u16string& key) {
  if (key.empty())
    return snapshot;
  std::erase_if(snapshot, [&](const auto& entry) {
    return entry.first.rfind(key + u"\\", 0) == 0 || entry.first.rfind(key + u"|", 0) == 0;
  });
  return snapshot;
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

TEST_F(NamespaceMirror, OnlyTheNamespacePartOfAUsersClassReachesTheMachine) {
  const std::u16string link = u"\\REGISTRY\\USER\\" + kSid + u"\\Software\\Elsewhere";
  (void)CreateKey(kRegistryUsers, kSid + u"\\Software\\Elsewhere\\InProcServer32");
  // Each source: what the user adds to the well-formed class, the key of the machine's copy
  // that must then be missing, and the refusal ("" when the mirror succeeds).
  struct Source {
    const char* what;
    std::function<void(platform::NativeHandle)> add;
    std::u16string missing;
    std::u16string refusal;
  };
  const Source sources[] = {
      {"well-formed", [](platform::NativeHandle) {}, u"", u""},
      {"a local server and what makes it elevated",
       [](platform::NativeHandle top) {
         SetValue(CreateKey(top, u"LocalServer32").get(), u"", SzValue(u"C:\\Users\\u\\x.exe"));
         SetValue(CreateKey(top, u"Elevation").get(), u"Enabled", {platform::kRegDword, Dword(1)});
         SetValue(top, u"AppID", SzValue(u"{0C8A3F1E-1234-4ABC-9DEF-00112233AABB}"));
         SetValue(top, u"LocalizedString", SzValue(u"@C:\\Users\\u\\x.dll,-1"));
       },
       u"", u""},
      {"a TreatAs",
       [](platform::NativeHandle top) {
         SetValue(CreateKey(top, u"TreatAs").get(), u"",
                  SzValue(u"{00000000-0000-0000-0000-000000000001}"));
       },
       u"", u""},
      {"the user's own DLL",
       [](platform::NativeHandle top) {
         SetValue(CreateKey(top, u"InProcServer32").get(), u"", SzValue(u"C:\\Users\\u\\x.dll"));
       },
       u"InProcServer32", u""},
      {"a shell32.dll of another folder",
       [](platform::NativeHandle top) {
         SetValue(CreateKey(top, u"InProcServer32").get(), u"",
                  ExpandValue(u"%USERPROFILE%\\System32\\shell32.dll"));
       },
       u"InProcServer32", u""},
      {"another class behind the instance",
       [](platform::NativeHandle top) {
         SetValue(CreateKey(top, u"Instance").get(), u"CLSID",
                  SzValue(u"{0C8A3F1E-1234-4ABC-9DEF-00112233AABB}"));
       },
       u"Instance", u""},
      {"a display name of 1025 characters",
       [](platform::NativeHandle top) { SetValue(top, u"", SzValue(std::u16string(1025, u'k'))); },
       u"|", u""},
      {"a flag of the wrong type",
       [](platform::NativeHandle top) {
         SetValue(CreateKey(top, u"ShellFolder").get(), u"Attributes", SzValue(u"1"));
       },
       u"ShellFolder|Attributes", u""},
      {"a subkey that is a link",
       [&](platform::NativeHandle top) {
         ASSERT_EQ(platform::DeleteRegistryTree(top, u"InProcServer32"), platform::kErrorSuccess);
         ASSERT_EQ(platform::CreateRegistryLink(top, u"InProcServer32", link),
                   platform::kErrorSuccess);
       },
       u"", u"registry link refused in NamespaceCLSID source: InProcServer32"},
  };
  int row = 0;
  for (const Source& source : sources) {
    SCOPED_TRACE(source.what);
    const std::u16string clsid = u"{0C8A3F1E-1234-4ABC-9DEF-0011223344" +
                                 ToDecimal(static_cast<unsigned long long>(10 + row++)) + u"}";
    TreeSnapshot expected = WriteNamespaceClass(UserClass(kSid + u"_Classes", clsid));
    platform::RegistryKey top = CreateKey(kRegistryUsers, UserClass(kSid + u"_Classes", clsid));
    source.add(top.get());
    if (source.missing.find(u'|') != std::u16string::npos)
      expected.erase(source.missing);
    else
      expected = Without(expected, source.missing);
    if (!source.refusal.empty()) {
      EXPECT_EQ(Mirror(clsid), source.refusal);
      expected.clear();
    } else {
      EXPECT_EQ(Mirror(clsid), u"ok");
    }
    for (const char16_t* root : {kClassRoot64, kClassRoot32})
      EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, Machine(root, clsid)), expected);
  }
}

TEST_F(NamespaceMirror, AClassOrAPathThatIsALinkIsRefusedWithNothingWritten) {
  // The class key itself names a machine class; or the user's Software\Classes leads to
  // another hive. Either would make the service copy keys the user does not own.
  const std::u16string machineClass = Machine(kClassRoot64, kPlainClsid);
  SetValue(CreateKey(kRegistryLocalMachine, machineClass + u"\\LocalServer32").get(), u"",
           SzValue(u"C:\\Program Files\\Tool\\tool.exe"));
  ASSERT_EQ(platform::CreateRegistryLink(kRegistryUsers, UserClass(kSid + u"_Classes", kClsid),
                                         u"\\REGISTRY\\MACHINE\\" + machineClass),
            platform::kErrorSuccess);
  EXPECT_EQ(Mirror(kClsid), u"registry link refused in NamespaceCLSID source: " + kSid +
                                u"_Classes\\Software\\Classes\\CLSID\\" + kClsid);

  (void)WriteNamespaceClass(UserClass(u"S-1-5-21-1-2-3-1002", kClsid));
  ASSERT_EQ(platform::CreateRegistryLink(kRegistryUsers, kSid + u"\\Software",
                                         u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1002\\Software"),
            platform::kErrorSuccess);
  context_.userSid = kSid;
  EXPECT_EQ(Mirror(kPlainClsid),
            u"registry link refused in NamespaceCLSID source: " + kSid + u"\\Software");
  EXPECT_FALSE(KeyExists(Machine(kClassRoot64, kClsid)));
  EXPECT_FALSE(KeyExists(kMirroredNamespaceIndex));
}

TEST_F(NamespaceMirror, AMachineClassOrAnotherSyncRootsMirrorIsNeverTakenOver) {
  // A class of the machine in either root, in any letter case, is refused and unchanged.
  const std::u16string lower = kPlainClsid;
  SetValue(CreateKey(kRegistryLocalMachine,
                     Machine(kClassRoot32, u"{0C8A3F1E-5678-4ABC-9DEF-00112233AABB}") +
                         u"\\InprocServer32")
               .get(),
           u"", SzValue(u"C:\\Windows\\SysWOW64\\x.dll"));
  SetValue(
      CreateKey(kRegistryLocalMachine, Machine(kClassRoot64, kClsid) + u"\\InprocServer32").get(),
      u"", SzValue(u"C:\\Windows\\System32\\x.dll"));
  const TreeSnapshot machine = SnapshotTree(kRegistryLocalMachine, u"SOFTWARE\\Classes");
  for (const std::u16string& clsid : {kClsid, lower}) {
    (void)WriteNamespaceClass(UserClass(kSid + u"_Classes", clsid));
    EXPECT_EQ(Mirror(clsid), kMachineClassRefusal + clsid);
  }
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, u"SOFTWARE\\Classes"), machine);
  EXPECT_FALSE(KeyExists(kMirroredNamespaceIndex));

  // A class mirrored for this sync root is the service's own: mirrored again, it loses what
  // the source no longer has, including what an earlier, wider copy left. Another user's
  // sync root may not have it.
  const std::u16string own = u"{0C8A3F1E-9999-4ABC-9DEF-00112233AABB}";
  const TreeSnapshot expected = WriteNamespaceClass(UserClass(kSid + u"_Classes", own));
  ASSERT_EQ(Mirror(own), u"ok");
  SetValue(CreateKey(kRegistryLocalMachine, Machine(kClassRoot64, own) + u"\\LocalServer32").get(),
           u"", SzValue(u"C:\\Users\\u\\x.exe"));
  ASSERT_EQ(platform::DeleteRegistryTree(kRegistryUsers,
                                         UserClass(kSid + u"_Classes", own) + u"\\DefaultIcon"),
            platform::kErrorSuccess);
  ASSERT_EQ(Mirror(own), u"ok");
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, Machine(kClassRoot64, own)),
            Without(expected, u"DefaultIcon"));

  RequestContext other;
  other.userSid = u"S-1-5-21-1-2-3-1002";
  (void)WriteNamespaceClass(UserClass(other.userSid, own));
  EXPECT_EQ(Outcome(MirrorNamespaceClsid, other, own, SyncRootIdForSid(other.userSid)),
            kMachineClassRefusal + own);
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, Machine(kClassRoot64, own)),
            Without(expected, u"DefaultIcon"));
}

TEST_F(NamespaceMirror, BadOrMissingSourcesAreRefusedAndThe32BitRootIsOptional) {
  for (const std::u16string bad :
       {u"0C8A3F1E-1234-4ABC-9DEF-00112233AABB", u"{0C8A3F1E-1234-4ABC-9DEF-00112233AAB}",
        u"{0C8A3F1E-1234-4ABC-9DEF-00112233AABg}", u"{0C8A3F1E-1234-4ABC-9DEF0-0112233AABB}"}) {
    EXPECT_EQ(Mirror(bad), u"invalid NamespaceCLSID: " + bad);
  }
  // Absent from the hive; present but the caller has no SID.
  EXPECT_EQ(Mirror(kClsid), u"source CLSID tree not found in user hive for " + kClsid);
  (void)WriteNamespaceClass(UserClass(kSid, kClsid));
  EXPECT_EQ(Outcome(MirrorNamespaceClsid, RequestContext(), kClsid, id_),
            u"source CLSID tree not found in user hive for " + kClsid);

  // The 32-bit root refuses: the mirror stands on the 64-bit copy and says so in the
  // debugger output only. The index is required: a copy it does not name would be refused
  // as the machine's ever after, so a first copy goes again when the index refuses.
  platform::InjectFault(FaultPoint::kRegistryWrite, u"HKLM\\SOFTWARE\\KorvaSync", 5);
  EXPECT_EQ(Mirror(kClsid),
            u"create mirrored-namespace index failed: error=5 Access is denied.\r\n");
  EXPECT_FALSE(KeyExists(Machine(kClassRoot64, kClsid)));
  platform::ClearFaults();
  platform::InjectFault(FaultPoint::kRegistryWrite, u"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID",
                        5);
  testing::DebugCapture debug;
  ASSERT_EQ(Mirror(kClsid), u"ok");
  EXPECT_TRUE(KeyExists(Machine(kClassRoot64, kClsid)));
  EXPECT_FALSE(KeyExists(Machine(kClassRoot32, kClsid)));
  ASSERT_TRUE(debug.Available());
  EXPECT_EQ(debug.Lines(),
            std::vector<std::string>(
                {"[VovudIdavUda] VovudIdavUda: 32-bit NamespaceCLSID mirror skipped "
                 "(non-fatal): RegCreateKeyExW failed for SOFTWARE\\Classes\\WOW6432Node\\CLSID"
                 "\\{0C8A3F1E-1234-4ABC-9DEF-00112233AABB}: error=5 Access is denied.\r\n\n"}));

  // The 64-bit root is required.
  platform::InjectFault(FaultPoint::kRegistryOpen, u"HKLM\\SOFTWARE\\Classes\\CLSID", 5);
  EXPECT_EQ(Mirror(kClsid),
            u"RegOpenKeyExW failed for SOFTWARE\\Classes\\CLSID: error=5 Access is denied.\r\n");
}

TEST_F(NamespaceMirror, EnsureReadsTheNamespaceClsidUpToThreeTimesAndMirrorsIt) {
  platform::RegistryKey syncRoot = CreateKey(kRegistryLocalMachine, SyncRootKeyPath(id_));
  (void)WriteNamespaceClass(UserClass(kSid + u"_Classes", kClsid));

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
  (void)WriteNamespaceClass(UserClass(kSid, kClsid));
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
