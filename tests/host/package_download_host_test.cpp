// Package downloads from the update host over real HTTPS on port 443: sizes, redirects,
// certificates and interruptions, and what is left on disk after each.
#include <gtest/gtest.h>

#include <thread>

#include "acquisition/package_download.h"
#include "acquisition/update_host.h"
#include "foundation/diagnostics.h"
#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "support/host/https_world.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

constexpr std::uint64_t kSize = 300000;  // several reads and several buffer fills

std::string Package(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return bytes;
}

class PackageDownload : public testing::HttpsWorld {
 protected:
  void SetUp() override {
    HttpsWorld::SetUp();
    if (IsSkipped())
      return;
    dest_ = machine_.Path(u"package.zip");
    Serve("/pkg/good.zip", Package(kSize));
  }

  // The download's outcome: "ok" or the error.
  std::string Download(const std::u16string& url, std::uint64_t size = kSize) {
    std::u16string error;
    return DownloadPackage(url, dest_, size, &error) ? "ok" : WideToUtf8(error);
  }

  std::u16string Good() const { return Url(CdnHost(), "/pkg/good.zip"); }

  bool Exists(const std::u16string& path) { return TestMachine::Exists(path); }
  bool PartExists() { return Exists(dest_ + u".part"); }

  std::u16string dest_;
};

TEST_F(PackageDownload, WholePackageLandsUnderItsNameAndNoPartRemains) {
  EXPECT_EQ(Download(Good()), "ok");
  EXPECT_EQ(TestMachine::ReadBytes(dest_), Package(kSize));
  EXPECT_FALSE(PartExists());
  // An existing package is replaced whole.
  Serve("/pkg/other.zip", std::string(kSize, 'x'));
  EXPECT_EQ(Download(Url(CdnHost(), "/pkg/other.zip")), "ok");
  EXPECT_EQ(TestMachine::ReadBytes(dest_), std::string(kSize, 'x'));
}

TEST_F(PackageDownload, HostNamesInAnyLetterCaseAndRedirectsInsideTheDomain) {
  std::string upper = CdnHost();
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(Download(Url(upper, "/pkg/good.zip")), "ok");
  Script("/pkg/moved.zip redirect 302 https://" + CdnHost() + "/pkg/good.zip\n");
  EXPECT_EQ(Download(Url(UpdateHost(), "/pkg/moved.zip")), "ok");
  EXPECT_EQ(TestMachine::ReadBytes(dest_), Package(kSize));
}

TEST_F(PackageDownload, RefusalsLeaveNothingBehind) {
  Serve("/pkg/longer.zip", Package(kSize + 1));
  Serve("/pkg/shorter.zip", Package(kSize - 1));
  Serve("/pkg/cut.zip", Package(kSize));
  Script("/pkg/off.zip redirect 302 https://" + OutsideHost() +
         "/pkg/good.zip\n"
         "/pkg/lookalike.zip redirect 301 https://" +
         LookalikeHost() +
         "/pkg/good.zip\n"
         "/pkg/bare.zip redirect 307 https://" +
         WideToUtf8(UpdateDomain()) +
         "/pkg/good.zip\n"
         "/pkg/plain.zip redirect 302 http://" +
         CdnHost() +
         "/pkg/good.zip\n"
         "/pkg/loop.zip redirect 302 https://" +
         CdnHost() +
         "/pkg/loop.zip\n"
         "/pkg/cut.zip short\n"
         "/pkg/missing.zip status 404\n");
  struct {
    const char* name;
    std::u16string url;
    std::string expected;
  } const cases[] = {
      {"one byte more", Url(CdnHost(), "/pkg/longer.zip"), "package exceeds expected size"},
      {"one byte less", Url(CdnHost(), "/pkg/shorter.zip"), "package size mismatch"},
      {"connection closed one byte early", Url(CdnHost(), "/pkg/cut.zip"), "query data failed"},
      {"404", Url(CdnHost(), "/pkg/missing.zip"), "http status=404"},
      {"redirect off the domain", Url(CdnHost(), "/pkg/off.zip"),
       "hot-update redirect target host is not allowed"},
      {"redirect to a lookalike", Url(CdnHost(), "/pkg/lookalike.zip"),
       "hot-update redirect target host is not allowed"},
      {"redirect to the bare domain", Url(CdnHost(), "/pkg/bare.zip"),
       "hot-update redirect target host is not allowed"},
      {"redirect to http", Url(CdnHost(), "/pkg/plain.zip"),
       "hot-update redirect target must be https"},
      {"endless redirects", Url(CdnHost(), "/pkg/loop.zip"), "too many redirects"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Download(c.url), c.expected) << c.name;
    EXPECT_FALSE(Exists(dest_)) << c.name;
    EXPECT_FALSE(PartExists()) << c.name;
  }
}

TEST_F(PackageDownload, RedirectsOffTheDomainAreRefusedBeforeTheyAreFollowed) {
  Script("/pkg/off.zip redirect 302 https://" + OutsideHost() + "/pkg/good.zip\n");
  // A .part file cannot be created: a download that got as far as writing would say so.
  platform::InjectFault(platform::FaultPoint::kCreateFileForWrite, dest_ + u".part", 5);
  EXPECT_EQ(Download(Url(CdnHost(), "/pkg/off.zip")),
            "hot-update redirect target host is not allowed");
  EXPECT_EQ(Server().TakeRequests(), std::vector<std::string>{"request GET /pkg/off.zip"});
}

TEST_F(PackageDownload, ThePartNeverGrowsPastTheExpectedSize) {
  Serve("/pkg/longer.zip", Package(kSize + 1));
  // The part file cannot be deleted, so what was written stays to be measured.
  platform::InjectFault(platform::FaultPoint::kDeleteFile, dest_ + u".part", 5);
  EXPECT_EQ(Download(Url(CdnHost(), "/pkg/longer.zip")), "package exceeds expected size");
  platform::ClearFaults();
  ASSERT_TRUE(PartExists());
  const std::string written = TestMachine::ReadBytes(dest_ + u".part");
  EXPECT_LE(written.size(), kSize);
  EXPECT_EQ(written, Package(kSize).substr(0, written.size()));
}

TEST_F(PackageDownload, FailureLeavesAnExistingPackageAsItWas) {
  TestMachine::WriteBytes(dest_, "previous");
  EXPECT_EQ(Download(Good(), kSize + 1), "package size mismatch");
  EXPECT_EQ(TestMachine::ReadBytes(dest_), "previous");
  EXPECT_FALSE(PartExists());
}

TEST_F(PackageDownload, UntrustedOrMisnamedServersGiveNoResponse) {
  for (const char* address : {"127.0.0.2", "127.0.0.3"}) {
    WriteHostsFile(std::string(address) + " " + CdnHost() + "\n");
    EXPECT_EQ(Download(Good()), "no response") << address;
    EXPECT_FALSE(PartExists());
  }
  EXPECT_TRUE(Server().TakeRequests().empty());
}

TEST_F(PackageDownload, StopWhileTheBodyArrivesCancelsAndDeletesThePart) {
  Script("/pkg/good.zip hold 100000\n");
  std::string outcome;
  std::thread download([&] { outcome = Download(Good()); });
  ASSERT_TRUE(Server().WaitForLine("holding 100000"));
  // The server holds the rest back: only the stop can end the wait.
  SignalServiceStop();
  download.join();
  EXPECT_EQ(outcome, "download cancelled");
  EXPECT_FALSE(PartExists());
  EXPECT_FALSE(Exists(dest_));
}

TEST_F(PackageDownload, StopBeforeTheBodyCancels) {
  SignalServiceStop();
  EXPECT_EQ(Download(Good()), "download cancelled");
  EXPECT_FALSE(PartExists());
}

// One byte more is refused before any connection (the download checks' table).
TEST_F(PackageDownload, TheLargestSizeIsAskedFor) {
  Script("/pkg/any.zip status 404\n");
  EXPECT_EQ(Download(Url(CdnHost(), "/pkg/any.zip"), 2147483648ull), "http status=404");
  EXPECT_EQ(Server().TakeRequests().size(), 1u);
}

TEST_F(PackageDownload, FailuresNoServerCanCauseComeFromTheSeam) {
  using platform::FaultPoint;
  const std::u16string part = dest_ + u".part";
  const std::u16string moved = Url(CdnHost(), "/pkg/moved.zip");
  Script("/pkg/moved.zip redirect 302 https://" + CdnHost() + "/pkg/good.zip\n");
  struct {
    FaultPoint point;
    std::u16string path;
    std::u16string url;
    std::string expected;
    bool partRemains;
  } const cases[] = {
      {FaultPoint::kHttpOpen, u"", Good(), "WinHttpOpen failed", false},
      {FaultPoint::kHttpConnect, u"", Good(), "WinHttpConnect failed", false},
      {FaultPoint::kHttpOpenRequest, u"", Good(), "WinHttpOpenRequest failed", false},
      {FaultPoint::kHttpQueryUrlSize, u"", Good(), "cannot query final redirect url", false},
      {FaultPoint::kHttpQueryUrl, u"", Good(),
       "cannot read final redirect url: " + WideToUtf8(FormatWin32Error(8)), false},
      {FaultPoint::kHttpCrackUrl, Good(), moved, "cannot crack redirect location", false},
      {FaultPoint::kCreateFileForWrite, part, Good(),
       "create output failed: " + WideToUtf8(FormatWin32Error(8)), false},
      {FaultPoint::kHttpQueryDataAvailable, u"", Good(), "query data failed", false},
      {FaultPoint::kHttpReadData, u"", Good(), "read data failed", false},
      {FaultPoint::kWriteFile, u"", Good(), "write download failed", false},
      {FaultPoint::kMoveFile, u"", Good(), "move .part failed: " + WideToUtf8(FormatWin32Error(8)),
       true},
  };
  for (const auto& c : cases) {
    platform::InjectFault(c.point, c.path, 8);
    EXPECT_EQ(Download(c.url), c.expected);
    platform::ClearFaults();
    EXPECT_EQ(PartExists(), c.partRemains) << c.expected;
    EXPECT_FALSE(Exists(dest_)) << c.expected;
    if (PartExists()) {
      ASSERT_TRUE(platform::DeleteFileAt(part));
    }
  }
}

}  // namespace
}  // namespace vovu
