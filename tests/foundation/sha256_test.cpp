#include "foundation/sha256.h"

#include <gtest/gtest.h>

#include "foundation/diagnostics.h"
#include "platform/fault_injection.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::Outcome;

constexpr char16_t kAbcDigest[] =
    u"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char16_t kEmptyDigest[] =
    u"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(TextDigests, Utf8AndUtf16FormsDigestDifferentBytesInLowerCaseHex) {
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
  EXPECT_EQ(BytesToHex(bytes, 3), u"00abff");
  EXPECT_EQ(BytesToHex(bytes, 0), u"");
  std::u16string hex;
  ASSERT_TRUE(Sha256HexOfUtf8(u"abc", &hex));
  EXPECT_EQ(hex, kAbcDigest);
  // 61 00 62 00 63 00
  ASSERT_TRUE(Sha256HexOfWideText(u"abc", &hex));
  EXPECT_EQ(hex, u"13e228567e8249fce53337f25d7970de3bd68ab2653424c7b8f9fd05e33caedf");
  ASSERT_TRUE(Sha256HexOfUtf8(u"", &hex));
  EXPECT_EQ(hex, kEmptyDigest);
  // Non-ASCII text is digested as its UTF-8 bytes C3 A9.
  ASSERT_TRUE(Sha256HexOfUtf8(u"\u00E9", &hex));
  EXPECT_EQ(hex, u"4a99557e4033c3539de2eb65472017cad5f9557f7a0625a09f1c3f6e2ba69c4c");
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 7 + 3) % 251);
  return bytes;
}

TEST(FileDigest, WholeFileAcrossTheChunkBoundariesOrNoneAtAll) {
  testing::TestMachine machine;
  const struct {
    std::size_t size;
    const char16_t* digest;
  } cases[] = {
      {0, kEmptyDigest},
      {65535, u"e8f3d8d5ca3bbbc3435337aabd9d299b9ed4ebf56d13ae167503259ea24c1c1e"},
      {65536, u"93d1a595bb5828c088e99c53df8dca5511567b7724bc2325cf3e54d725fa069b"},
      {65537, u"1f97534600bc110bc61e3d51829deadef8a1ec24e00bb2becc3f9f75b9527e79"},
      {200000, u"d2979f63fc353288130be1837d34f088e378e76c5baa67b8a6077c950db3c286"},
  };
  for (const auto& c : cases) {
    const std::u16string path = machine.Path(u"f.bin");
    testing::TestMachine::WriteBytes(path, Pattern(c.size));
    std::u16string hex;
    ASSERT_EQ(Outcome(FileSha256Hex, path, &hex), u"ok") << c.size;
    EXPECT_EQ(hex, c.digest) << c.size;
  }

  // Failures name their cause and leave the digest alone.
  std::u16string hex = u"untouched";
  EXPECT_EQ(Outcome(FileSha256Hex, machine.Path(u"missing.bin"), &hex),
            u"open failed: " + FormatWin32Error(2));
  const std::u16string path = machine.Path(u"f.bin");
  testing::TestMachine::WriteBytes(path, Pattern(100000));
  platform::InjectFault(platform::FaultPoint::kSha256Provider, u"", 0, 1);
  EXPECT_EQ(Outcome(FileSha256Hex, path, &hex), u"BCryptOpenAlgorithmProvider failed");
  platform::InjectFault(platform::FaultPoint::kSha256CreateHash, u"", 0, 1);
  EXPECT_EQ(Outcome(FileSha256Hex, path, &hex), u"BCryptCreateHash failed");
  // A failed read gives no digest at all, never one of a partial file.
  platform::InjectFault(platform::FaultPoint::kReadFile, u"", 30, 1);
  EXPECT_EQ(Outcome(FileSha256Hex, path, &hex), u"ReadFile failed");
  EXPECT_EQ(hex, u"untouched");

  platform::InjectFault(platform::FaultPoint::kSha256Provider, u"", 0, 1);
  EXPECT_FALSE(Sha256HexOfUtf8(u"abc", &hex));
  EXPECT_EQ(hex, u"untouched");
}

}  // namespace
}  // namespace vovu
