// The host's registry store: persistence in the machine root, several processes at once, the
// access rule for other uids and registry links. (Its fault seam is exercised by the shell
// suites that use it.)
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <string>

#include "platform/fault_injection.h"
#include "platform/registry.h"
#include "support/host/other_user.h"
#include "support/machine_rights.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::TestMachine;

constexpr char16_t kCryptography[] = u"SOFTWARE\\Microsoft\\Cryptography";

Win32Error WriteDword(NativeHandle parent, const std::u16string& subKey, const std::u16string& name,
                      std::uint32_t value, std::uint32_t view = 0) {
  RegistryKey key;
  const Win32Error status = CreateRegistryKey(parent, subKey, kKeyWrite | view, &key, nullptr);
  if (status != kErrorSuccess)
    return status;
  return SetRegistryValue(key.get(), name, kRegDword, &value, sizeof(value));
}

// The DWORD value, or the status as a negative number.
long long ReadDword(NativeHandle parent, const std::u16string& subKey, const std::u16string& name) {
  RegistryKey key;
  Win32Error status = OpenRegistryKey(parent, subKey, kKeyRead, &key);
  std::uint32_t value = 0;
  std::uint32_t size = sizeof(value);
  if (status == kErrorSuccess)
    status = QueryRegistryValue(key.get(), name, nullptr, &value, &size);
  return status == kErrorSuccess ? static_cast<long long>(value) : -static_cast<long long>(status);
}

// Another process of the test's own user (root), in the test's session.
const testing::OtherUser kAnotherProcess{0, 0, {}, false};

TEST(RegistryHostStore, PersistsInTheMachineRootAndEachMachineHasItsOwn) {
  REQUIRE_MACHINE_KEY_RIGHTS();
  TestMachine machine;
  ASSERT_EQ(WriteDword(kRegistryLocalMachine, u"SOFTWARE\\Kept", u"v", 42), kErrorSuccess);

  // Who may write the store's files is the local-user attacks suite's check.
  {
    TestMachine other;
    EXPECT_EQ(ReadDword(kRegistryLocalMachine, u"SOFTWARE\\Kept", u"v"), -2);
  }
  // Back in the first machine: the store is opened afresh and still holds the value, also
  // for another process.
  EXPECT_EQ(ReadDword(kRegistryLocalMachine, u"software\\kept", u"V"), 42);
  EXPECT_EQ(
      testing::UserChild(
          kAnotherProcess,
          [] { return std::to_string(ReadDword(kRegistryLocalMachine, u"SOFTWARE\\Kept", u"v")); })
          .Finish(),
      "42");
}

TEST(RegistryHostStore, TwoProcessesWritingAtOnceLoseNothing) {
  REQUIRE_MACHINE_KEY_RIGHTS();
  TestMachine machine;
  ASSERT_EQ(WriteDword(kRegistryLocalMachine, u"SOFTWARE\\Busy", u"start", 0), kErrorSuccess);
  constexpr int kWrites = 150;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  const auto writer = [&](int id) {
    return [&, id] {
      char go;
      if (read(gate[0], &go, 1) != 1)
        return std::string("no start");
      for (int i = 0; i < kWrites; ++i) {
        const std::string text = std::to_string(id) + "-" + std::to_string(i);
        const std::u16string name(text.begin(), text.end());
        const std::u16string key = i % 10 == 0 ? u"SOFTWARE\\Busy\\" + name : u"SOFTWARE\\Busy";
        if (WriteDword(kRegistryLocalMachine, key, name, static_cast<std::uint32_t>(i)) != 0)
          return "failed at " + text;
      }
      return std::string("done");
    };
  };
  testing::UserChild first(kAnotherProcess, writer(0));
  testing::UserChild second(kAnotherProcess, writer(1));
  EXPECT_EQ(write(gate[1], "go", 2), 2);  // both start at once
  EXPECT_EQ(first.Finish(), "done");
  EXPECT_EQ(second.Finish(), "done");
  close(gate[0]);
  close(gate[1]);

  RegistryKey busy;
  ASSERT_EQ(OpenRegistryKey(kRegistryLocalMachine, u"SOFTWARE\\Busy", kKeyRead, &busy), 0u);
  RegistryKeyInfo info;
  ASSERT_EQ(QueryRegistryKeyInfo(busy.get(), &info), 0u);
  EXPECT_EQ(info.valueCount, 1u + 2 * (kWrites - kWrites / 10));
  EXPECT_EQ(info.subKeyCount, 2u * (kWrites / 10));
  EXPECT_EQ(ReadDword(kRegistryLocalMachine, u"SOFTWARE\\Busy", u"1-149"), 149);
  EXPECT_EQ(ReadDword(kRegistryLocalMachine, u"SOFTWARE\\Busy\\0-140", u"0-140"), 140);
}

TEST(RegistryHostAccess, OtherUidsReadMachineKeysAndChangeOnlyTheirOwnHive) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  ASSERT_EQ(WriteDword(kRegistryLocalMachine, kCryptography, u"Seed", 7), 0u);
  const std::u16string nobody = testing::kNobodySid;

  // The codes of each call as uid 65534.
  const auto asNobody = [&] {
    RegistryKey key;
    std::string codes;
    auto record = [&](long long code) { codes += std::to_string(code) + ","; };
    record(ReadDword(kRegistryLocalMachine, kCryptography, u"Seed"));
    record(OpenRegistryKey(kRegistryLocalMachine, kCryptography, kKeyRead | kKeyWrite, &key));
    record(CreateRegistryKey(kRegistryLocalMachine, u"SOFTWARE\\New", kKeyRead, &key, nullptr));
    const std::uint32_t one = 1;
    record(SetRegistryValue(kRegistryLocalMachine, u"x", kRegDword, &one, 4));
    record(DeleteRegistryTree(kRegistryLocalMachine, kCryptography));
    record(WriteDword(kRegistryUsers, nobody + u"\\Software\\Own", u"v", 3));
    record(WriteDword(kRegistryUsers, nobody + u"_Classes\\CLSID", u"v", 4));
    record(WriteDword(kRegistryUsers, u"S-1-5-21-1000-1000-1000-1000\\Software", u"v", 5));
    record(OpenRegistryKey(kRegistryUsers, u"S-1-5-18", kKeyWrite, &key));
    return codes;
  };
  EXPECT_EQ(testing::UserChild({}, asNobody).Finish(), "7,5,5,5,5,0,0,5,5,");
  EXPECT_EQ(ReadDword(kRegistryUsers, nobody + u"\\Software\\Own", u"v"), 3);

  // The rule follows the calling thread's file-system uid, as impersonation sets it.
  setfsuid(65534);
  SetLastErrorCode(77);
  const Win32Error refused = WriteDword(kRegistryLocalMachine, u"SOFTWARE\\New", u"v", 1);
  const Win32Error lastError = LastError();
  setfsuid(0);
  EXPECT_EQ(refused, kErrorAccessDenied);
  EXPECT_EQ(lastError, 77u);  // a registry call answers with its status, never the last error
  EXPECT_EQ(WriteDword(kRegistryLocalMachine, u"SOFTWARE\\New", u"v", 1), 0u);
}

TEST(RegistryHostLinks, AUsersLinkIsFollowedAtAnyDepthUnlessItIsOpenedAsItself) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  ASSERT_EQ(WriteDword(kRegistryLocalMachine, kCryptography, u"Seed", 7), 0u);
  ASSERT_EQ(WriteDword(kRegistryLocalMachine, u"SOFTWARE\\Target\\Below", u"Deep", 9), 0u);
  const std::u16string nobody = testing::kNobodySid;

  // Any user may make links in their own hive, to any key, and nowhere else.
  const auto asNobody = [&] {
    std::string codes;
    auto record = [&](long long code) { codes += std::to_string(code) + ","; };
    record(CreateRegistryLink(kRegistryUsers, nobody + u"\\Software\\ToCrypto",
                              u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Cryptography"));
    record(CreateRegistryLink(kRegistryUsers, nobody + u"\\Software\\ToSoftware",
                              u"\\Registry\\Machine\\SOFTWARE"));
    record(CreateRegistryLink(kRegistryUsers, nobody + u"\\Software\\ToCrypto", u"\\REGISTRY"));
    record(CreateRegistryLink(kRegistryLocalMachine, u"SOFTWARE\\Mine", u"\\REGISTRY\\MACHINE"));
    return codes;
  };
  ASSERT_EQ(testing::UserChild({}, asNobody).Finish(), "0,0,183,5,");

  // Followed as the last key and in the middle of a path; the rights are the target's.
  const std::u16string hive = nobody + u"\\Software\\";
  EXPECT_EQ(ReadDword(kRegistryUsers, hive + u"ToCrypto", u"Seed"), 7);
  EXPECT_EQ(ReadDword(kRegistryUsers, hive + u"ToSoftware\\Target\\Below", u"Deep"), 9);
  setfsuid(65534);
  const Win32Error written = WriteDword(kRegistryUsers, hive + u"ToCrypto", u"Seed", 8);
  setfsuid(0);
  EXPECT_EQ(written, kErrorAccessDenied);

  // Opened as itself, the link is a key of the user's hive holding its target.
  RegistryKey link;
  ASSERT_EQ(OpenRegistryKeyWithOptions(kRegistryUsers, hive + u"ToCrypto", kRegOptionOpenLink,
                                       kKeyRead, &link),
            kErrorSuccess);
  std::uint32_t type = 0;
  std::u16string target(64, u'\0');
  std::uint32_t size = static_cast<std::uint32_t>(target.size() * 2);
  ASSERT_EQ(QueryRegistryValue(link.get(), kRegistryLinkValueName, &type, target.data(), &size),
            kErrorSuccess);
  EXPECT_EQ(type, kRegLink);
  EXPECT_EQ(target.substr(0, size / 2), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Cryptography");
  std::uint32_t seed = 0;
  size = sizeof(seed);
  EXPECT_EQ(QueryRegistryValue(link.get(), u"Seed", nullptr, &seed, &size), kErrorFileNotFound);
  // Only the last key is opened as itself: one in the middle is still followed.
  EXPECT_EQ(OpenRegistryKeyWithOptions(kRegistryUsers, hive + u"ToSoftware\\Target",
                                       kRegOptionOpenLink, kKeyRead, &link),
            kErrorSuccess);
}

}  // namespace
}  // namespace vovu::platform
