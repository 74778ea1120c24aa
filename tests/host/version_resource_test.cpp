// Version resources on the host: PE images built here, ELF stand-ins stamped by
// stamp-version, and damaged files of both kinds.
#include "platform/version_resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/fault_injection.h"
#include "platform/host/version_block.h"
#include "support/host/pe_image.h"
#include "support/test_machine.h"
#include "version_block_writer.h"

namespace vovu::platform {
namespace {

using testing::BuildPeImage;
using testing::Bytes;
using vovu::testing::TestMachine;

constexpr stamp::FourPartVersion kProduct = {2, 10, 0, 999};
constexpr stamp::FourPartVersion kFile = {9, 9, 9, 9};

void Put16(Bytes* bytes, std::size_t at, std::uint16_t value) {
  if (bytes->size() < at + 2)
    bytes->resize(at + 2);
  (*bytes)[at] = static_cast<std::uint8_t>(value);
  (*bytes)[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::string AsString(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

Bytes AsBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// Reads the fixed file information through the whole interface, as the service does.
::testing::AssertionResult ReadFixedInfo(const std::u16string& path, FixedFileInfo* info) {
  const std::uint32_t size = GetVersionInfoSize(path);
  if (size == 0)
    return ::testing::AssertionFailure() << "no size, error " << LastError();
  std::vector<std::uint8_t> block;
  if (!GetVersionInfo(path, size, &block)) {
    return ::testing::AssertionFailure() << "no block, error " << LastError();
  }
  const void* value = nullptr;
  std::uint32_t length = 0;
  if (!QueryRootVersionValue(block, &value, &length)) {
    return ::testing::AssertionFailure() << "no root value";
  }
  if (length < sizeof(FixedFileInfo))
    return ::testing::AssertionFailure() << "short value";
  std::memcpy(info, value, sizeof(FixedFileInfo));
  return ::testing::AssertionSuccess();
}

// The error of a failed size query, or 0 when it unexpectedly succeeded.
Win32Error SizeQueryError(const std::u16string& path) {
  SetLastErrorCode(kErrorSuccess);
  return GetVersionInfoSize(path) == 0 ? LastError() : kErrorSuccess;
}

std::string Quoted(const std::filesystem::path& path) {
  return "'" + path.string() + "'";
}

int StampVersion(const std::filesystem::path& file, const std::string& versions) {
  return std::system(
      (Quoted(VOVU_STAMP_VERSION_PATH) + " " + Quoted(file) + " " + versions + " 2>/dev/null")
          .c_str());
}

// Every damaged image either yields a block inside itself or fails with 193 or 1813.
void ExpectSafeLookup(const Bytes& image) {
  std::span<const std::uint8_t> block;
  const Win32Error error = host::LocateVersionBlock(image, &block);
  ASSERT_TRUE(error == kErrorSuccess || error == kErrorBadExeFormat ||
              error == kErrorResourceTypeNotFound)
      << error;
  if (error != kErrorSuccess)
    return;
  ASSERT_GE(block.data(), image.data());
  ASSERT_LE(block.data() + block.size(), image.data() + image.size());
  std::uint32_t offset = 0, length = 0;
  if (host::FindRootVersionValue(block, &offset, &length)) {
    ASSERT_LE(std::uint64_t{offset} + length, block.size());
  }
}

TEST(VersionResourceHostTest, ReadsFixedInfoFromPe32AndPe32PlusImages) {
  TestMachine machine;
  for (bool pe32Plus : {true, false}) {
    const std::u16string path = machine.Path(pe32Plus ? u"app64.exe" : u"app32.exe");
    const Bytes block = stamp::BuildVersionBlock(kProduct, kFile);
    TestMachine::WriteBytes(path, AsString(BuildPeImage(block, pe32Plus)));

    EXPECT_EQ(GetVersionInfoSize(path), block.size());
    FixedFileInfo info{};
    ASSERT_TRUE(ReadFixedInfo(path, &info));
    EXPECT_EQ(info.signature, kFixedFileInfoSignature);
    EXPECT_EQ(info.structVersion, 0x00010000u);
    EXPECT_EQ(info.productVersionMS, (2u << 16) | 10u);
    EXPECT_EQ(info.productVersionLS, (0u << 16) | 999u);
    EXPECT_EQ(info.fileVersionMS, (9u << 16) | 9u);
    EXPECT_EQ(info.fileVersionLS, (9u << 16) | 9u);
  }
}

TEST(VersionResourceHostTest, StampedElfStandInCarriesItsVersionAndStillRuns) {
  TestMachine machine;
  const std::u16string path = machine.Path(u"Korvadesk.exe");
  const std::filesystem::path native = TestMachine::Native(path);
  std::filesystem::copy_file(VOVU_KORVADESK_STANDIN_PATH, native);

  // Unstamped, it is an image without a version.
  EXPECT_EQ(SizeQueryError(path), kErrorResourceTypeNotFound);

  ASSERT_EQ(StampVersion(native, "2.10.0.999 9.9.9.9"), 0);
  FixedFileInfo info{};
  ASSERT_TRUE(ReadFixedInfo(path, &info));
  EXPECT_EQ(info.signature, kFixedFileInfoSignature);
  EXPECT_EQ(info.productVersionMS, (2u << 16) | 10u);
  EXPECT_EQ(info.productVersionLS, 999u);
  EXPECT_EQ(info.fileVersionMS, (9u << 16) | 9u);

  // Stamping again replaces the section; the file version defaults to the product version.
  ASSERT_EQ(StampVersion(native, "3.4.12"), 0);
  ASSERT_TRUE(ReadFixedInfo(path, &info));
  EXPECT_EQ(info.productVersionMS, (3u << 16) | 4u);
  EXPECT_EQ(info.productVersionLS, 12u << 16);
  EXPECT_EQ(info.fileVersionMS, info.productVersionMS);
  EXPECT_EQ(info.fileVersionLS, info.productVersionLS);

  EXPECT_EQ(std::system(Quoted(native).c_str()), 0);
}

TEST(VersionResourceHostTest, StampVersionRefusesBadInput) {
  TestMachine machine;
  const std::filesystem::path native = TestMachine::Native(machine.Path(u"Korvadesk.exe"));
  std::filesystem::copy_file(VOVU_KORVADESK_STANDIN_PATH, native);
  const std::filesystem::path text = TestMachine::Native(machine.Path(u"notes.txt"));
  TestMachine::WriteBytes(machine.Path(u"notes.txt"), "not an executable");

  for (const char* versions : {"65536", "1.2.3.4.5", "1..2", "1.2.x", "", "1.2 3.4 5"}) {
    EXPECT_NE(StampVersion(native, std::string("'") + versions + "'"), 0) << versions;
  }
  EXPECT_NE(StampVersion(text, "1.2.3.4"), 0);
  EXPECT_NE(StampVersion(native.string() + ".missing", "1.2.3.4"), 0);
  // The target is left as it was, and no temporary file stays behind.
  EXPECT_EQ(SizeQueryError(machine.Path(u"Korvadesk.exe")), kErrorResourceTypeNotFound);
  for (const auto& entry : std::filesystem::directory_iterator(native.parent_path())) {
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }
}

TEST(VersionResourceHostTest, FailuresReportTheWin32Error) {
  TestMachine machine;
  const Bytes block = stamp::BuildVersionBlock(kProduct, kFile);
  TestMachine::WriteBytes(machine.Path(u"notes.txt"), "just some text");
  TestMachine::WriteBytes(machine.Path(u"bare.exe"), AsString(BuildPeImage(block, true, false)));
  TestMachine::WriteBytes(machine.Path(u"empty.exe"), "");

  EXPECT_EQ(SizeQueryError(machine.Path(u"missing.exe")), kErrorFileNotFound);
  EXPECT_EQ(SizeQueryError(machine.Path(u"notes.txt")), kErrorBadExeFormat);
  EXPECT_EQ(SizeQueryError(machine.Path(u"empty.exe")), kErrorBadExeFormat);
  EXPECT_EQ(SizeQueryError(machine.Path(u"bare.exe")), kErrorResourceTypeNotFound);
  std::vector<std::uint8_t> out;
  EXPECT_FALSE(GetVersionInfo(machine.Path(u"missing.exe"), 92, &out));
  EXPECT_EQ(LastError(), kErrorFileNotFound);

  // An injected fault wins over a readable file, for this path only.
  const std::u16string good = machine.Path(u"good.exe");
  TestMachine::WriteBytes(good, AsString(BuildPeImage(block, true)));
  InjectFault(FaultPoint::kVersionInfo, good, kErrorAccessDenied);
  EXPECT_EQ(SizeQueryError(good), kErrorAccessDenied);
  EXPECT_FALSE(GetVersionInfo(good, 92, &out));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_EQ(SizeQueryError(machine.Path(u"bare.exe")), kErrorResourceTypeNotFound);
  ClearFaults();
  FixedFileInfo info{};
  EXPECT_TRUE(ReadFixedInfo(good, &info));
}

TEST(VersionResourceHostTest, GetVersionInfoFillsExactlyTheAskedSize) {
  TestMachine machine;
  const Bytes block = stamp::BuildVersionBlock(kProduct, kFile);
  const std::u16string path = machine.Path(u"app.exe");
  TestMachine::WriteBytes(path, AsString(BuildPeImage(block, true)));

  std::vector<std::uint8_t> out;
  ASSERT_TRUE(GetVersionInfo(path, 200, &out));
  ASSERT_EQ(out.size(), 200u);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), out.begin()));
  EXPECT_EQ(out.back(), 0);
  ASSERT_TRUE(GetVersionInfo(path, 50, &out));
  EXPECT_EQ(out, Bytes(block.begin(), block.begin() + 50));
  const void* value = nullptr;
  std::uint32_t length = 0;
  EXPECT_FALSE(QueryRootVersionValue(out, &value, &length));  // value cut off
}

TEST(VersionResourceHostTest, RootValueNeedsAWellFormedHeader) {
  const Bytes good = stamp::BuildVersionBlock(kProduct, kFile);
  ASSERT_EQ(good.size(), 92u);
  const void* value = nullptr;
  std::uint32_t length = 0;
  ASSERT_TRUE(QueryRootVersionValue(good, &value, &length));
  EXPECT_EQ(value, good.data() + 40);
  EXPECT_EQ(length, 52u);

  Bytes noValue = good;
  Put16(&noValue, 2, 0);
  Bytes shortTotal = good;
  Put16(&shortTotal, 0, 91);
  Bytes wrongKey = good;
  wrongKey[6] = 'X';
  Bytes unterminatedKey(good.begin(), good.begin() + 36);
  Put16(&unterminatedKey, 0, 36);
  for (const Bytes& bad : {noValue, shortTotal, wrongKey, unterminatedKey, Bytes{}, Bytes{92, 0}}) {
    EXPECT_FALSE(QueryRootVersionValue(bad, &value, &length));
  }
}

TEST(VersionResourceHostTest, TruncatedOrCorruptImagesNeverReadOutOfBounds) {
  TestMachine machine;
  const Bytes pe = BuildPeImage(stamp::BuildVersionBlock(kProduct, kFile), true);
  const std::filesystem::path native = TestMachine::Native(machine.Path(u"Korvadesk.exe"));
  std::filesystem::copy_file(VOVU_KORVADESK_STANDIN_PATH, native);
  ASSERT_EQ(StampVersion(native, "2.10.0.999"), 0);
  const Bytes elf = AsBytes(TestMachine::ReadBytes(machine.Path(u"Korvadesk.exe")));
  ASSERT_GT(elf.size(), 64u);

  for (const Bytes* image : {&pe, &elf}) {
    // Every prefix (each copied, so a read past its end is caught by the sanitizers).
    for (std::size_t length = 0; length < image->size(); ++length) {
      ExpectSafeLookup(Bytes(image->begin(), image->begin() + length));
    }
  }
  // Every byte of the PE, and of the ELF's file and section headers, set to telling values.
  std::uint64_t sectionTable = 0;
  std::memcpy(&sectionTable, elf.data() + 40, sizeof sectionTable);
  std::vector<std::pair<const Bytes*, std::size_t>> positions;
  for (std::size_t i = 0; i < pe.size(); ++i)
    positions.emplace_back(&pe, i);
  for (std::size_t i = 0; i < elf.size(); ++i) {
    if (i < 64 || i >= sectionTable)
      positions.emplace_back(&elf, i);
  }
  for (const auto& [image, at] : positions) {
    for (std::uint8_t damage : {0x00, 0x7F, 0xFF}) {
      Bytes copy = *image;
      copy[at] = damage;
      ExpectSafeLookup(copy);
    }
  }

  // Through the file interface: a DOS header alone is not an image; a PE whose resource
  // section is cut off has no version.
  TestMachine::WriteBytes(machine.Path(u"dos.exe"), AsString(Bytes(pe.begin(), pe.begin() + 64)));
  TestMachine::WriteBytes(machine.Path(u"cut.exe"),
                          AsString(Bytes(pe.begin(), pe.begin() + 0x220)));
  EXPECT_EQ(SizeQueryError(machine.Path(u"dos.exe")), kErrorBadExeFormat);
  EXPECT_EQ(SizeQueryError(machine.Path(u"cut.exe")), kErrorResourceTypeNotFound);
}

}  // namespace
}  // namespace vovu::platform
