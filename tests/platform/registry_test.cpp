// The registry contract, the same on Windows and on the host: keys, values kept byte for
// byte, the size protocol, enumeration, tree deletion and the 32-bit view.
//
// Under wine the registry is the prefix's own, so every test works below a key of its own,
// HKLM\SOFTWARE\VovuTest\<unique>, and removes what it made.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

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

std::string Bytes(const void* data, std::size_t size) {
  return std::string(static_cast<const char*>(data), size);
}

std::string Utf16Bytes(const std::u16string& text) {
  return Bytes(text.data(), text.size() * sizeof(char16_t));
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::u16string(kTestRoot) + u"\\" + UniqueName("t");
    bool created = false;
    ASSERT_EQ(CreateRegistryKey(kRegistryLocalMachine, path_, kKeyAllAccess | kKeyWow64_64Key,
                                &key_, &created),
              kErrorSuccess);
    ASSERT_TRUE(created);
  }

  void TearDown() override {
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

  // Type and bytes of a value of `key`, read with the two-call size protocol.
  static bool Read(NativeHandle key, const std::u16string& name, std::uint32_t* type,
                   std::string* bytes) {
    std::uint32_t size = 0;
    if (QueryRegistryValue(key, name, type, nullptr, &size) != kErrorSuccess)
      return false;
    std::vector<char> buffer(size + 1);
    if (QueryRegistryValue(key, name, type, buffer.data(), &size) != kErrorSuccess)
      return false;
    *bytes = std::string(buffer.data(), size);
    return true;
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
  ASSERT_EQ(SetRegistryValue(child.get(), u"Value", kRegDword, "\x01\x02\x03\x04", 4),
            kErrorSuccess);

  // The same key through another spelling and from the root.
  RegistryKey again;
  ASSERT_EQ(
      OpenRegistryKey(kRegistryLocalMachine, path_ + u"\\mixed\\DEEPER\\leaf", kKeyRead, &again),
      kErrorSuccess);
  std::uint32_t type = 0;
  std::string bytes;
  ASSERT_TRUE(Read(again.get(), u"VALUE", &type, &bytes));
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(bytes, "\x01\x02\x03\x04");

  // Enumeration shows the letters the key was created with.
  char16_t name[64];
  std::uint32_t length = 64;
  ASSERT_EQ(EnumRegistrySubKey(key_.get(), 0, name, &length), kErrorSuccess);
  EXPECT_EQ(std::u16string(name, length), u"Mixed");

  RegistryKey missing;
  EXPECT_EQ(OpenRegistryKey(key_.get(), u"Absent", kKeyRead, &missing), kErrorFileNotFound);
  EXPECT_EQ(OpenRegistryKey(key_.get(), u"Mixed\\Absent\\Leaf", kKeyRead, &missing),
            kErrorFileNotFound);
  EXPECT_FALSE(missing.valid());

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
  for (const auto& c : cases) {
    // Windows counts one more NUL character for a string that ends without one when the
    // memory just past it holds one; a non-NUL character there keeps the count exact.
    const std::string padded = c.bytes + "UU";
    ASSERT_EQ(SetRegistryValue(key_.get(), c.name, c.type, padded.data(),
                               static_cast<std::uint32_t>(c.bytes.size())),
              kErrorSuccess);
  }
  for (const auto& c : cases) {
    std::uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(Read(key_.get(), c.name, &type, &bytes));
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(bytes, c.bytes);
  }

  // Names ignore case; writing again replaces type and bytes.
  ASSERT_EQ(SetRegistryValue(key_.get(), u"DWORD", kRegBinary, "\x09", 1), kErrorSuccess);
  std::uint32_t type = 0;
  std::string bytes;
  ASSERT_TRUE(Read(key_.get(), u"dword", &type, &bytes));
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(bytes, "\x09");
  RegistryKeyInfo info;
  ASSERT_EQ(QueryRegistryKeyInfo(key_.get(), &info), kErrorSuccess);
  EXPECT_EQ(info.valueCount, std::size(cases));
}

TEST_F(RegistryTest, QueryReportsSizeFirstAndMoreDataWhenTheBufferIsShort) {
  const std::string data = Utf16Bytes(std::u16string(u"C:\\Svc\\x.exe\0", 13));
  ASSERT_EQ(SetRegistryValue(key_.get(), u"Path", kRegSz, data.data(),
                             static_cast<std::uint32_t>(data.size())),
            kErrorSuccess);

  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(QueryRegistryValue(key_.get(), u"Path", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, data.size());
  // Asking without type or size only tells that the value exists.
  EXPECT_EQ(QueryRegistryValue(key_.get(), u"Path", nullptr, nullptr, nullptr), kErrorSuccess);

  char buffer[64];
  size = static_cast<std::uint32_t>(data.size()) - 1;
  EXPECT_EQ(QueryRegistryValue(key_.get(), u"Path", &type, buffer, &size), kErrorMoreData);
  EXPECT_EQ(size, data.size());
  size = sizeof(buffer);
  ASSERT_EQ(QueryRegistryValue(key_.get(), u"Path", nullptr, buffer, &size), kErrorSuccess);
  EXPECT_EQ(Bytes(buffer, size), data);

  size = sizeof(buffer);
  EXPECT_EQ(QueryRegistryValue(key_.get(), u"Absent", &type, buffer, &size), kErrorFileNotFound);
  EXPECT_EQ(QueryRegistryValue(key_.get(), u"Absent", nullptr, nullptr, &size), kErrorFileNotFound);
}

TEST_F(RegistryTest, EnumerationListsSortedSubKeysAndEveryValueThenNoMoreItems) {
  for (const char16_t* name : {u"bravo", u"Alpha", u"delta-long-name", u"Charlie"}) {
    RegistryKey child;
    ASSERT_EQ(CreateRegistryKey(key_.get(), name, kKeyWrite, &child, nullptr), kErrorSuccess);
  }
  ASSERT_EQ(SetRegistryValue(key_.get(), u"one", kRegDword, "\x01\0\0\0", 4), kErrorSuccess);
  ASSERT_EQ(SetRegistryValue(key_.get(), u"a-longer-name", kRegBinary, "123456789", 9),
            kErrorSuccess);
  ASSERT_EQ(SetRegistryValue(key_.get(), u"", kRegSz, "x\0\0", 4), kErrorSuccess);

  RegistryKeyInfo info;
  ASSERT_EQ(QueryRegistryKeyInfo(key_.get(), &info), kErrorSuccess);
  EXPECT_EQ(info.subKeyCount, 4u);
  EXPECT_EQ(info.maxSubKeyNameLength, 15u);
  EXPECT_EQ(info.valueCount, 3u);
  EXPECT_EQ(info.maxValueNameLength, 13u);
  EXPECT_EQ(info.maxValueDataSize, 9u);

  std::vector<std::u16string> names;
  char16_t name[32];
  std::uint32_t index = 0;
  for (;; ++index) {
    std::uint32_t length = 32;
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
  std::uint32_t length = 15;
  EXPECT_EQ(EnumRegistrySubKey(key_.get(), 3, name, &length), kErrorMoreData);
  length = 16;
  EXPECT_EQ(EnumRegistrySubKey(key_.get(), 3, name, &length), kErrorSuccess);
  EXPECT_EQ(length, 15u);

  std::map<std::u16string, std::pair<std::uint32_t, std::string>> values;
  for (index = 0;; ++index) {
    std::uint32_t nameLength = 32;
    std::uint32_t type = 0;
    char data[16];
    std::uint32_t size = sizeof(data);
    const Win32Error status =
        EnumRegistryValue(key_.get(), index, name, &nameLength, &type, data, &size);
    if (status != kErrorSuccess) {
      EXPECT_EQ(status, kErrorNoMoreItems);
      break;
    }
    values[std::u16string(name, nameLength)] = {type, Bytes(data, size)};
  }
  EXPECT_EQ(values.size(), 3u);
  EXPECT_EQ(values[u"one"], std::make_pair(kRegDword, std::string("\x01\0\0\0", 4)));
  EXPECT_EQ(values[u"a-longer-name"], std::make_pair(kRegBinary, std::string("123456789")));
  EXPECT_EQ(values[u""], std::make_pair(kRegSz, std::string("x\0\0", 4)));

  // Short buffers for the name or the data of the 9-byte value.
  for (index = 0; index < 3; ++index) {
    std::uint32_t nameLength = 32;
    std::uint32_t size = 0;
    ASSERT_EQ(EnumRegistryValue(key_.get(), index, name, &nameLength, nullptr, nullptr, &size),
              kErrorSuccess);
    if (std::u16string(name, nameLength) != u"a-longer-name")
      continue;
    EXPECT_EQ(size, 9u);
    char data[8];
    size = sizeof(data);
    nameLength = 32;
    EXPECT_EQ(EnumRegistryValue(key_.get(), index, name, &nameLength, nullptr, data, &size),
              kErrorMoreData);
    EXPECT_EQ(size, 9u);
    nameLength = 13;
    EXPECT_EQ(EnumRegistryValue(key_.get(), index, name, &nameLength, nullptr, nullptr, nullptr),
              kErrorMoreData);
  }
}

TEST_F(RegistryTest, DeleteTreeRemovesTheKeyOrItsContentsAndAbsentThingsAreNotFound) {
  RegistryKey leaf;
  ASSERT_EQ(CreateRegistryKey(key_.get(), u"Tree\\Branch\\Leaf", kKeyAllAccess, &leaf, nullptr),
            kErrorSuccess);
  ASSERT_EQ(SetRegistryValue(leaf.get(), u"v", kRegDword, "\0\0\0\0", 4), kErrorSuccess);
  RegistryKey sibling;
  ASSERT_EQ(CreateRegistryKey(key_.get(), u"TreeSibling", kKeyAllAccess, &sibling, nullptr),
            kErrorSuccess);
  ASSERT_EQ(SetRegistryValue(key_.get(), u"kept", kRegDword, "\0\0\0\0", 4), kErrorSuccess);

  EXPECT_EQ(DeleteRegistryTree(key_.get(), u"TREE"), kErrorSuccess);
  RegistryKey gone;
  EXPECT_EQ(OpenRegistryKey(key_.get(), u"Tree", kKeyRead, &gone), kErrorFileNotFound);
  EXPECT_EQ(OpenRegistryKey(key_.get(), u"TreeSibling", kKeyRead, &gone), kErrorSuccess);
  EXPECT_EQ(DeleteRegistryTree(key_.get(), u"Tree"), kErrorFileNotFound);
  EXPECT_EQ(DeleteRegistryValue(key_.get(), u"never-written"), kErrorFileNotFound);
  // A handle to a deleted key is dead.
  std::uint32_t size = 0;
  EXPECT_EQ(QueryRegistryValue(leaf.get(), u"v", nullptr, nullptr, &size), kErrorKeyDeleted);

  // Without a subkey the key's subkeys and values go and the key stays.
  EXPECT_EQ(DeleteRegistryTree(key_.get(), u""), kErrorSuccess);
  RegistryKeyInfo info;
  ASSERT_EQ(QueryRegistryKeyInfo(key_.get(), &info), kErrorSuccess);
  EXPECT_EQ(info.subKeyCount, 0u);
  EXPECT_EQ(info.valueCount, 0u);
  EXPECT_EQ(OpenRegistryKey(kRegistryLocalMachine, path_, kKeyRead, &gone), kErrorSuccess);

  ASSERT_EQ(SetRegistryValue(key_.get(), u"once", kRegDword, "\0\0\0\0", 4), kErrorSuccess);
  EXPECT_EQ(DeleteRegistryValue(key_.get(), u"ONCE"), kErrorSuccess);
  EXPECT_EQ(DeleteRegistryValue(key_.get(), u"once"), kErrorFileNotFound);
}

TEST_F(RegistryTest, ThirtyTwoBitViewRedirectsSoftwareAndClasses) {
  // Both class roots and the machine identity's key exist on every machine.
  for (const std::uint32_t view : {kKeyWow64_64Key, kKeyWow64_32Key}) {
    RegistryKey standard;
    EXPECT_EQ(OpenRegistryKey(kRegistryLocalMachine, u"SOFTWARE\\Classes\\CLSID", kKeyRead | view,
                              &standard),
              kErrorSuccess);
    EXPECT_EQ(OpenRegistryKey(kRegistryLocalMachine, u"SOFTWARE\\Microsoft\\Cryptography",
                              kKeyRead | view, &standard),
              kErrorSuccess);
  }

  const std::u16string clsid = u"{" + UniqueName("0c8a3f1e-") + u"}";
  const std::u16string classKey = u"SOFTWARE\\Classes\\CLSID\\" + clsid;
  const std::u16string softwareKey = path_ + u"\\Redirected";
  for (const std::u16string& sub : {classKey, softwareKey}) {
    RegistryKey key;
    ASSERT_EQ(CreateRegistryKey(kRegistryLocalMachine, sub, kKeyAllAccess | kKeyWow64_32Key, &key,
                                nullptr),
              kErrorSuccess);
    ASSERT_EQ(SetRegistryValue(key.get(), u"", kRegSz, "3\0002\0\0", 6), kErrorSuccess);
  }

  RegistryKey found;
  // Not in the 64-bit view under the same name...
  EXPECT_EQ(OpenRegistryKey(kRegistryLocalMachine, classKey, kKeyRead | kKeyWow64_64Key, &found),
            kErrorFileNotFound);
  EXPECT_EQ(OpenRegistryKey(kRegistryLocalMachine, softwareKey, kKeyRead, &found),
            kErrorFileNotFound);
  // ...but under WOW6432Node, by either of its names, and again through the 32-bit view.
  const std::u16string redirected[] = {
      u"SOFTWARE\\Classes\\WOW6432Node\\CLSID\\" + clsid,
      u"SOFTWARE\\WOW6432Node\\Classes\\CLSID\\" + clsid,
      u"SOFTWARE\\WOW6432Node\\" + softwareKey.substr(9),
  };
  for (const std::u16string& sub : redirected) {
    ASSERT_EQ(OpenRegistryKey(kRegistryLocalMachine, sub, kKeyRead | kKeyWow64_64Key, &found),
              kErrorSuccess);
    std::uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(Read(found.get(), u"", &type, &bytes));
    EXPECT_EQ(bytes, std::string("3\0002\0\0", 6));
  }
  EXPECT_EQ(OpenRegistryKey(kRegistryLocalMachine, classKey, kKeyRead | kKeyWow64_32Key, &found),
            kErrorSuccess);

  EXPECT_EQ(DeleteRegistryTree(kRegistryLocalMachine, redirected[0]), kErrorSuccess);
  EXPECT_EQ(DeleteRegistryTree(kRegistryLocalMachine, u"SOFTWARE\\WOW6432Node\\VovuTest"),
            kErrorSuccess);
  EXPECT_EQ(OpenRegistryKey(kRegistryLocalMachine, classKey, kKeyRead | kKeyWow64_32Key, &found),
            kErrorFileNotFound);
}

}  // namespace
}  // namespace vovu::platform
