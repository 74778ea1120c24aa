// The registry contract, the same on Windows and on the host: keys, values kept byte for
// byte, the size protocol, enumeration, tree deletion and the 32-bit view.
//
// Under wine the registry is the prefix's own, so every test works below a key of its own,
// HKLM\SOFTWARE\VovuTest\<unique>, and removes what it made.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/machine_rights.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::TestMachine;

constexpr char16_t kTestRoot[] = u"SOFTWARE\\VovuTest";

std::u16string UniqueName(const char* prefix) {
  static std::atomic<int> counter{0};
  std::random_device random;
  const std::string name = prefix + std::to_string(random()) + "-" + std::to_string(counter++);
  return std::u16string(name.begin(), name.end());
}

std::string Utf16Bytes(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
}

using Typed = std::pair<std::uint32_t, std::string>;

// Stores `bytes` as value `name` of `key`. The memory just past the bytes holds no NUL:
// Windows counts one more NUL character for a string that ends without one when it does.
void Set(NativeHandle key, const std::u16string& name, std::uint32_t type, std::string bytes) {
  const auto size = static_cast<std::uint32_t>(bytes.size());
  bytes += "UU";
  EXPECT_EQ(SetRegistryValue(key, name, type, bytes.data(), size), kErrorSuccess);
}

// Type and bytes of a value of `key`, read with the two-call size protocol; type 0 and
// "<failed>" when a call fails.
Typed Get(NativeHandle key, const std::u16string& name) {
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (QueryRegistryValue(key, name, &type, nullptr, &size) != kErrorSuccess)
    return {0, "<failed>"};
  std::string buffer(size + 1, '\0');
  if (QueryRegistryValue(key, name, &type, buffer.data(), &size) != kErrorSuccess)
    return {0, "<failed>"};
  return {type, buffer.substr(0, size)};
}

// The result of opening `path` below `parent` with `access`.
Win32Error Open(NativeHandle parent, const std::u16string& path, std::uint32_t access = kKeyRead) {
  RegistryKey key;
  return OpenRegistryKey(parent, path, access, &key);
}

// Creates (or opens) `path` below `parent` with every right.
RegistryKey Create(NativeHandle parent, const std::u16string& path, std::uint32_t view = 0) {
  RegistryKey key;
  EXPECT_EQ(CreateRegistryKey(parent, path, kKeyAllAccess | view, &key, nullptr), kErrorSuccess);
  return key;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_MACHINE_KEY_RIGHTS();
    path_ = std::u16string(kTestRoot) + u"\\" + UniqueName("t");
    bool created = false;
    ASSERT_EQ(CreateRegistryKey(kRegistryLocalMachine, path_, kKeyAllAccess | kKeyWow64_64Key,
                                &key_, &created),
              kErrorSuccess);
    ASSERT_TRUE(created);
  }

  void TearDown() override {
    if (path_.empty())
      return;  // skipped before the key was made
    key_.reset();
    EXPECT_EQ(DeleteRegistryTree(kRegistryLocalMachine, path_), kErrorSuccess);
    // The shared parent goes when no other test is using it.
    RegistryKey parent;
    RegistryKeyInfo info;
    if (OpenRegistryKey(kRegistryLocalMachine, kTestRoot, kKeyRead, &parent) == kErrorSuccess &&
        QueryRegistryKeyInfo(parent.get(), &info) == kErrorSuccess && info.subKeyCount == 0) {
      parent.reset();
      (void)DeleteRegistryTree(kRegistryLocalMachine, kTestRoot);
    }
  }

  RegistryKeyInfo Info() {
    RegistryKeyInfo info;
    EXPECT_EQ(QueryRegistryKeyInfo(key_.get(), &info), kErrorSuccess);
    return info;
  }

  TestMachine machine_;
  std::u16string path_;
  RegistryKey key_;
};

TEST_F(RegistryTest, CreateOpensExistingKeysAndNamesIgnoreCaseButKeepTheirLetters) {
  bool created = false;
  RegistryKey child;
  ASSERT_EQ(CreateRegistryKey(key_.get(), u"Mixed\\Deeper\\Leaf", kKeyAllAccess, &child, &created),
            kErrorSuccess);
  EXPECT_TRUE(created);
  ASSERT_EQ(CreateRegistryKey(key_.get(), u"MIXED\\deeper\\LEAF", kKeyAllAccess, &child, &created),
            kErrorSuccess);
  EXPECT_FALSE(created);
  Set(child.get(), u"Value", kRegDword, "\x01\x02\x03\x04");

  // The same key through another spelling and from the root.
  RegistryKey again;
  ASSERT_EQ(
      OpenRegistryKey(kRegistryLocalMachine, path_ + u"\\mixed\\DEEPER\\leaf", kKeyRead, &again),
      kErrorSuccess);
  EXPECT_EQ(Get(again.get(), u"VALUE"), Typed(kRegDword, "\x01\x02\x03\x04"));

  // Enumeration shows the letters the key was created with.
  char16_t name[64];
  std::uint32_t length = 64;
  ASSERT_EQ(EnumRegistrySubKey(key_.get(), 0, name, &length), kErrorSuccess);
  EXPECT_EQ(std::u16string(name, length), u"Mixed");

  RegistryKey missing;
  EXPECT_EQ(OpenRegistryKey(key_.get(), u"Absent", kKeyRead, &missing), kErrorFileNotFound);
  EXPECT_FALSE(missing.valid());
  EXPECT_EQ(Open(key_.get(), u"Mixed\\Absent\\Leaf"), kErrorFileNotFound);

  // A key opened for reading cannot change anything.
  RegistryKey readOnly;
  ASSERT_EQ(OpenRegistryKey(key_.get(), u"Mixed", kKeyRead, &readOnly), kErrorSuccess);
  EXPECT_EQ(SetRegistryValue(readOnly.get(), u"x", kRegDword, "\0\0\0\0", 4), kErrorAccessDenied);
  EXPECT_EQ(DeleteRegistryValue(readOnly.get(), u"x"), kErrorAccessDenied);
}

TEST_F(RegistryTest, ValuesKeepTheirTypeAndExactBytes) {
  const std::u16string multi(u"one\0two\0\0", 9);
  const struct {
    const char16_t* name;
    std::uint32_t type;
    std::string bytes;
  } cases[] = {
      {u"", kRegSz, Utf16Bytes(std::u16string(u"default\0", 8))},
      {u"Terminated", kRegSz, Utf16Bytes(std::u16string(u"text\0", 5))},
      {u"Unterminated", kRegSz, Utf16Bytes(u"text")},
      {u"TwoNuls", kRegSz, Utf16Bytes(std::u16string(u"{clsid}\0\0", 9))},
      {u"OddLength", kRegSz, std::string("abc", 3)},
      {u"Expand", kRegExpandSz, Utf16Bytes(std::u16string(u"%SystemRoot%\\x\0", 15))},
      {u"Binary", kRegBinary, std::string("\x00\xff\x00\x10", 4)},
      {u"EmptyBinary", kRegBinary, std::string()},
      {u"Dword", kRegDword, std::string("\x78\x56\x34\x12", 4)},
      {u"Multi", kRegMultiSz, Utf16Bytes(multi)},
      {u"Qword", kRegQword, std::string("\x01\x00\x00\x00\x00\x00\x00\x80", 8)},
      {u"Odd type", 0x1234, std::string("x", 1)},
  };
  for (const auto& c : cases)
    Set(key_.get(), c.name, c.type, c.bytes);
  for (const auto& c : cases)
    EXPECT_EQ(Get(key_.get(), c.name), Typed(c.type, c.bytes));

  // Names ignore case; writing again replaces type and bytes.
  Set(key_.get(), u"DWORD", kRegBinary, "\x09");
  EXPECT_EQ(Get(key_.get(), u"dword"), Typed(kRegBinary, "\x09"));
  EXPECT_EQ(Info().valueCount, std::size(cases));
}

TEST_F(RegistryTest, SizeProtocolEnumerationAndShortBuffers) {
  const std::string path = Utf16Bytes(std::u16string(u"C:\\Svc\\x.exe\0", 13));
  Set(key_.get(), u"Path", kRegSz, path);
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(QueryRegistryValue(key_.get(), u"Path", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, path.size());
  // Asking without type or size only tells that the value exists.
  EXPECT_EQ(QueryRegistryValue(key_.get(), u"Path", nullptr, nullptr, nullptr), kErrorSuccess);
  char buffer[64];
  size = static_cast<std::uint32_t>(path.size()) - 1;
  EXPECT_EQ(QueryRegistryValue(key_.get(), u"Path", &type, buffer, &size), kErrorMoreData);
  EXPECT_EQ(size, path.size());
  size = sizeof(buffer);
  ASSERT_EQ(QueryRegistryValue(key_.get(), u"Path", nullptr, buffer, &size), kErrorSuccess);
  EXPECT_EQ(std::string(buffer, size), path);
  EXPECT_EQ(QueryRegistryValue(key_.get(), u"Absent", &type, buffer, &size), kErrorFileNotFound);
  EXPECT_EQ(QueryRegistryValue(key_.get(), u"Absent", nullptr, nullptr, &size), kErrorFileNotFound);

  for (const char16_t* name : {u"bravo", u"Alpha", u"delta-long-name", u"Charlie"})
    Create(key_.get(), name);
  Set(key_.get(), u"one", kRegDword, std::string("\x01\0\0\0", 4));
  Set(key_.get(), u"a-longer-name", kRegBinary, "123456789");
  Set(key_.get(), u"", kRegSz, std::string("x\0\0", 4));
  const RegistryKeyInfo info = Info();
  EXPECT_EQ(info.subKeyCount, 4u);
  EXPECT_EQ(info.maxSubKeyNameLength, 15u);
  EXPECT_EQ(info.valueCount, 4u);
  EXPECT_EQ(info.maxValueNameLength, 13u);
  EXPECT_EQ(info.maxValueDataSize, path.size());

  std::vector<std::u16string> names;
  char16_t name[32];
  std::uint32_t length = 32;
  for (std::uint32_t index = 0;; ++index, length = 32) {
    const Win32Error status = EnumRegistrySubKey(key_.get(), index, name, &length);
    if (status != kErrorSuccess) {
      EXPECT_EQ(status, kErrorNoMoreItems);
      break;
    }
    EXPECT_EQ(name[length], u'\0');
    names.emplace_back(name, length);
  }
  EXPECT_EQ(names,
            (std::vector<std::u16string>{u"Alpha", u"bravo", u"Charlie", u"delta-long-name"}));
  // A buffer must hold the name and its NUL.
  length = 15;
  EXPECT_EQ(EnumRegistrySubKey(key_.get(), 3, name, &length), kErrorMoreData);
  length = 16;
  EXPECT_EQ(EnumRegistrySubKey(key_.get(), 3, name, &length), kErrorSuccess);
  EXPECT_EQ(length, 15u);

  std::map<std::u16string, Typed> values;
  std::uint32_t longIndex = 99;
  for (std::uint32_t index = 0;; ++index) {
    length = 32;
    size = sizeof(buffer);
    const Win32Error status =
        EnumRegistryValue(key_.get(), index, name, &length, &type, buffer, &size);
    if (status != kErrorSuccess) {
      EXPECT_EQ(status, kErrorNoMoreItems);
      break;
    }
    values[std::u16string(name, length)] = {type, std::string(buffer, size)};
    if (std::u16string(name, length) == u"a-longer-name")
      longIndex = index;
  }
  EXPECT_EQ(values,
            (std::map<std::u16string, Typed>{{u"one", {kRegDword, std::string("\x01\0\0\0", 4)}},
                                             {u"a-longer-name", {kRegBinary, "123456789"}},
                                             {u"", {kRegSz, std::string("x\0\0", 4)}},
                                             {u"Path", {kRegSz, path}}}));
  // The size alone, then short buffers for the data or the name of the 9-byte value.
  length = 32;
  ASSERT_EQ(EnumRegistryValue(key_.get(), longIndex, name, &length, nullptr, nullptr, &size),
            kErrorSuccess);
  EXPECT_EQ(size, 9u);
  length = 32;
  size = 8;
  EXPECT_EQ(EnumRegistryValue(key_.get(), longIndex, name, &length, nullptr, buffer, &size),
            kErrorMoreData);
  EXPECT_EQ(size, 9u);
  length = 13;
  EXPECT_EQ(EnumRegistryValue(key_.get(), longIndex, name, &length, nullptr, nullptr, nullptr),
            kErrorMoreData);
}

TEST_F(RegistryTest, DeleteTreeRemovesTheKeyOrItsContentsAndAbsentThingsAreNotFound) {
  RegistryKey leaf = Create(key_.get(), u"Tree\\Branch\\Leaf");
  Set(leaf.get(), u"v", kRegDword, std::string(4, '\0'));
  Create(key_.get(), u"TreeSibling");
  Set(key_.get(), u"kept", kRegDword, std::string(4, '\0'));

  EXPECT_EQ(DeleteRegistryTree(key_.get(), u"TREE"), kErrorSuccess);
  EXPECT_EQ(Open(key_.get(), u"Tree"), kErrorFileNotFound);
  EXPECT_EQ(Open(key_.get(), u"TreeSibling"), kErrorSuccess);
  EXPECT_EQ(DeleteRegistryTree(key_.get(), u"Tree"), kErrorFileNotFound);
  // A handle to a deleted key is dead.
  std::uint32_t size = 0;
  EXPECT_EQ(QueryRegistryValue(leaf.get(), u"v", nullptr, nullptr, &size), kErrorKeyDeleted);

  // Without a subkey the key's subkeys and values go and the key stays.
  EXPECT_EQ(DeleteRegistryTree(key_.get(), u""), kErrorSuccess);
  EXPECT_EQ(Info().subKeyCount, 0u);
  EXPECT_EQ(Info().valueCount, 0u);
  EXPECT_EQ(Open(kRegistryLocalMachine, path_), kErrorSuccess);

  Set(key_.get(), u"once", kRegDword, std::string(4, '\0'));
  EXPECT_EQ(DeleteRegistryValue(key_.get(), u"ONCE"), kErrorSuccess);
  EXPECT_EQ(DeleteRegistryValue(key_.get(), u"once"), kErrorFileNotFound);
}

TEST_F(RegistryTest, ThirtyTwoBitViewRedirectsSoftwareAndClasses) {
  // Both class roots and the machine identity's key exist on every machine.
  for (const std::uint32_t view : {kKeyWow64_64Key, kKeyWow64_32Key}) {
    EXPECT_EQ(Open(kRegistryLocalMachine, u"SOFTWARE\\Classes\\CLSID", kKeyRead | view),
              kErrorSuccess);
    EXPECT_EQ(Open(kRegistryLocalMachine, u"SOFTWARE\\Microsoft\\Cryptography", kKeyRead | view),
              kErrorSuccess);
  }

  const std::u16string clsid = u"{" + UniqueName("0c8a3f1e-") + u"}";
  const std::u16string classKey = u"SOFTWARE\\Classes\\CLSID\\" + clsid;
  const std::u16string softwareKey = path_ + u"\\Redirected";
  const std::string value("3\0002\0\0", 6);
  for (const std::u16string& sub : {classKey, softwareKey})
    Set(Create(kRegistryLocalMachine, sub, kKeyWow64_32Key).get(), u"", kRegSz, value);

  // Not in the 64-bit view under the same name...
  EXPECT_EQ(Open(kRegistryLocalMachine, classKey, kKeyRead | kKeyWow64_64Key), kErrorFileNotFound);
  EXPECT_EQ(Open(kRegistryLocalMachine, softwareKey), kErrorFileNotFound);
  // ...but under WOW6432Node, by either of its names, and again through the 32-bit view.
  const std::u16string redirected[] = {
      u"SOFTWARE\\Classes\\WOW6432Node\\CLSID\\" + clsid,
      u"SOFTWARE\\WOW6432Node\\Classes\\CLSID\\" + clsid,
      u"SOFTWARE\\WOW6432Node\\" + softwareKey.substr(9),
  };
  for (const std::u16string& sub : redirected) {
    RegistryKey found;
    ASSERT_EQ(OpenRegistryKey(kRegistryLocalMachine, sub, kKeyRead | kKeyWow64_64Key, &found),
              kErrorSuccess);
    EXPECT_EQ(Get(found.get(), u""), Typed(kRegSz, value));
  }
  EXPECT_EQ(Open(kRegistryLocalMachine, classKey, kKeyRead | kKeyWow64_32Key), kErrorSuccess);

  EXPECT_EQ(DeleteRegistryTree(kRegistryLocalMachine, redirected[0]), kErrorSuccess);
  EXPECT_EQ(DeleteRegistryTree(kRegistryLocalMachine, u"SOFTWARE\\WOW6432Node\\VovuTest"),
            kErrorSuccess);
  EXPECT_EQ(Open(kRegistryLocalMachine, classKey, kKeyRead | kKeyWow64_32Key), kErrorFileNotFound);
}

}  // namespace
}  // namespace vovu::platform
