// Version resources on the host: PE images built here, ELF stand-ins stamped by
// stamp-version, and damaged files of both kinds.
#include "platform/version_resource.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "foundation/text.h"
#include "platform/error.h"
#include "platform/fault_injection.h"
#include "platform/host/image/version_block.h"
#include "support/host/pe_image.h"
#include "support/test_machine.h"
#include "version_block_writer.h"

namespace vovu::platform {
namespace {

namespace fs = std::filesystem;
using testing::BuildPeImage;
using testing::Bytes;
using vovu::testing::TestMachine;
using Numbers = std::vector<std::uint32_t>;

const Bytes kBlock = stamp::BuildVersionBlock({2, 10, 0, 999}, {9, 9, 9, 9});

void WriteImage(const std::u16string& path, const Bytes& image) {
  TestMachine::WriteBytes(path, std::string(image.begin(), image.end()));
}

// The fixed file information read through the whole interface, as the service does:
// {signature, struct version, product MS, LS, file MS, LS}; {step, error} when a step fails.
Numbers ReadFixedInfo(const std::u16string& path) {
  const std::uint32_t size = GetVersionInfoSize(path);
  std::vector<std::uint8_t> block;
  if (size == 0 || !GetVersionInfo(path, size, &block))
    return {0, LastError()};
  const void* value = nullptr;
  std::uint32_t length = 0;
  if (!QueryRootVersionValue(block, &value, &length) || length < sizeof(FixedFileInfo))
    return {1, length};
  FixedFileInfo info{};
  std::memcpy(&info, value, sizeof(info));
  return {info.signature,        info.structVersion, info.productVersionMS,
          info.productVersionLS, info.fileVersionMS, info.fileVersionLS};
}

// What kBlock holds: product 2.10.0.999 and file 9.9.9.9 in a structure of version 1.0.
const Numbers kBlockInfo = {
    kFixedFileInfoSignature, 0x00010000u, 0x0002000Au, 999u, 0x00090009u, 0x00090009u};

// The error of a failed size query, or 0 when it unexpectedly succeeded.
Win32Error SizeQueryError(const std::u16string& path) {
  SetLastErrorCode(kErrorSuccess);
  return GetVersionInfoSize(path) == 0 ? LastError() : kErrorSuccess;
}

int StampVersion(const fs::path& file, const std::string& versions) {
  return std::system(("'" + std::string(VOVU_STAMP_VERSION_PATH) + "' '" + file.string() + "' " +
                      versions + " 2>/dev/null")
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

TEST(VersionResourceHostTest, ReadsFixedInfoFromPe32AndPe32PlusImagesAndFillsTheAskedSize) {
  TestMachine machine;
  for (bool pe32Plus : {true, false}) {
    const std::u16string path = machine.Path(pe32Plus ? u"app64.exe" : u"app32.exe");
    WriteImage(path, BuildPeImage(kBlock, pe32Plus));
    EXPECT_EQ(GetVersionInfoSize(path), kBlock.size());
    EXPECT_EQ(ReadFixedInfo(path), kBlockInfo);
  }

  // A larger buffer gets the block and zeros, a smaller one its start, which has no value.
  std::vector<std::uint8_t> out;
  ASSERT_TRUE(GetVersionInfo(machine.Path(u"app64.exe"), 200, &out));
  Bytes padded = kBlock;
  padded.resize(200);
  EXPECT_EQ(out, padded);
  ASSERT_TRUE(GetVersionInfo(machine.Path(u"app64.exe"), 50, &out));
  EXPECT_EQ(out, Bytes(kBlock.begin(), kBlock.begin() + 50));
  const void* value = nullptr;
  std::uint32_t length = 0;
  EXPECT_FALSE(QueryRootVersionValue(out, &value, &length));
}

TEST(VersionResourceHostTest, StampVersionRefusesBadInputAndStampsAStandInThatStillRuns) {
  TestMachine machine;
  const std::u16string path = machine.Path(u"Korvadesk.exe");
  const fs::path native = TestMachine::Native(path);
  fs::copy_file(VOVU_KORVADESK_STANDIN_PATH, native);
  TestMachine::WriteBytes(machine.Path(u"notes.txt"), "not an executable");

  for (const char* versions : {"65536", "1.2.3.4.5", "1..2", "1.2.x", "", "1.2 3.4 5"}) {
    EXPECT_NE(StampVersion(native, std::string("'") + versions + "'"), 0) << versions;
  }
  EXPECT_NE(StampVersion(TestMachine::Native(machine.Path(u"notes.txt")), "1.2.3.4"), 0);
  EXPECT_NE(StampVersion(native.string() + ".missing", "1.2.3.4"), 0);
  // The target is left as it was, an image without a version, and no temporary file stays.
  EXPECT_EQ(SizeQueryError(path), kErrorResourceTypeNotFound);
  for (const auto& entry : fs::directory_iterator(native.parent_path())) {
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }

  ASSERT_EQ(StampVersion(native, "2.10.0.999 9.9.9.9"), 0);
  EXPECT_EQ(ReadFixedInfo(path), kBlockInfo);
  // Stamping again replaces the section; the file version defaults to the product version.
  ASSERT_EQ(StampVersion(native, "3.4.12"), 0);
  EXPECT_EQ(ReadFixedInfo(path), (Numbers{kFixedFileInfoSignature, 0x00010000u, 0x00030004u,
                                          0x000C0000u, 0x00030004u, 0x000C0000u}));
  EXPECT_EQ(std::system(("'" + native.string() + "'").c_str()), 0);
}

TEST(VersionResourceHostTest, FailuresReportTheWin32Error) {
  TestMachine machine;
  const Bytes pe = BuildPeImage(kBlock, true);
  TestMachine::WriteBytes(machine.Path(u"notes.txt"), "just some text");
  TestMachine::WriteBytes(machine.Path(u"empty.exe"), "");
  WriteImage(machine.Path(u"bare.exe"), BuildPeImage(kBlock, true, false));
  WriteImage(machine.Path(u"dos.exe"), Bytes(pe.begin(), pe.begin() + 64));
  WriteImage(machine.Path(u"cut.exe"), Bytes(pe.begin(), pe.begin() + 0x220));  // .rsrc cut off
  for (const auto& [name, expected] : std::vector<std::pair<std::u16string, Win32Error>>{
           {u"missing.exe", kErrorFileNotFound},
           {u"notes.txt", kErrorBadExeFormat},
           {u"empty.exe", kErrorBadExeFormat},
           {u"dos.exe", kErrorBadExeFormat},
           {u"bare.exe", kErrorResourceTypeNotFound},
           {u"cut.exe", kErrorResourceTypeNotFound}}) {
    EXPECT_EQ(SizeQueryError(machine.Path(name)), expected) << WideToUtf8(name);
  }
  std::vector<std::uint8_t> out;
  EXPECT_FALSE(GetVersionInfo(machine.Path(u"missing.exe"), 92, &out));
  EXPECT_EQ(LastError(), kErrorFileNotFound);

  // An injected fault wins over a readable file, for this path only.
  const std::u16string good = machine.Path(u"good.exe");
  WriteImage(good, pe);
  InjectFault(FaultPoint::kVersionInfo, good, kErrorAccessDenied);
  EXPECT_EQ(SizeQueryError(good), kErrorAccessDenied);
  EXPECT_FALSE(GetVersionInfo(good, 92, &out));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_EQ(SizeQueryError(machine.Path(u"bare.exe")), kErrorResourceTypeNotFound);
  ClearFaults();
  EXPECT_EQ(ReadFixedInfo(good), kBlockInfo);
}

TEST(VersionResourceHostTest, RootValueNeedsAWellFormedHeader) {
  ASSERT_EQ(kBlock.size(), 92u);
  const void* value = nullptr;
  std::uint32_t length = 0;
  ASSERT_TRUE(QueryRootVersionValue(kBlock, &value, &length));
  EXPECT_EQ(value, kBlock.data() + 40);
  EXPECT_EQ(length, 52u);

  std::vector<Bytes> bad(4, kBlock);
  bad[0][2] = 0;      // no value
  bad[1][0] = 91;     // a total one short
  bad[2][6] = 'X';    // another key
  bad[3].resize(36);  // a key without its NUL
  bad[3][0] = 36;
  bad.push_back({});
  bad.push_back(Bytes(92, 0));
  for (std::size_t i = 0; i < bad.size(); ++i) {
    EXPECT_FALSE(QueryRootVersionValue(bad[i], &value, &length)) << i;
  }
}

TEST(VersionResourceHostTest, TruncatedOrCorruptImagesNeverReadOutOfBounds) {
  TestMachine machine;
  const Bytes pe = BuildPeImage(kBlock, true);
  const fs::path native = TestMachine::Native(machine.Path(u"Korvadesk.exe"));
  fs::copy_file(VOVU_SMALL_ELF_PATH, native);
  ASSERT_EQ(StampVersion(native, "2.10.0.999"), 0);
  const std::string elfText = TestMachine::ReadBytes(machine.Path(u"Korvadesk.exe"));
  const Bytes elf(elfText.begin(), elfText.end());
  ASSERT_GT(elf.size(), 64u);

  // Every prefix (each copied, so a read past its end is caught by the sanitizers), and every
  // byte of the PE and of the ELF's file and section headers set to telling values.
  std::uint64_t sectionTable = 0;
  std::memcpy(&sectionTable, elf.data() + 40, sizeof sectionTable);
  for (const Bytes* image : {&pe, &elf}) {
    for (std::size_t at = 0; at < image->size(); ++at) {
      ExpectSafeLookup(Bytes(image->begin(), image->begin() + at));
      if (image == &elf && at >= 64 && at < sectionTable)
        continue;
      for (std::uint8_t damage : {0x00, 0x7F, 0xFF}) {
        Bytes copy = *image;
        copy[at] = damage;
        ExpectSafeLookup(copy);
      }
    }
  }
}

}  // namespace
}  // namespace vovu::platform
