// Every download ends: the manifest fetch and the package download against servers that
// trickle a byte now and then (in the headers or the body) or stall after the headers, and
// redirect chains that lead outside the update domain. The deadlines are shortened through
// the test seam (ScopedDownloadLimitsForTest); the per-wait time-outs are the real ones (30
// s), far longer than any pause here, so only the deadline or the stop can end these
// downloads.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "acquisition/download_limits.h"
#include "acquisition/manifest_fetch.h"
#include "acquisition/package_download.h"
#include "acquisition/update_host.h"
#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "support/host/https_world.h"
#include "support/host/tls_trickle_server.h"
#include "support/stop_event.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;
using testing::TlsTrickleServer;
using testing::UpdateHostServer;

constexpr char kManifestPath[] = "/client/new/clientHotUpdateInfo.json";
constexpr char kOwnAddress[] = "127.0.0.4";  // the test's own servers
constexpr std::uint64_t kSize = 200000;

// Short deadlines for both downloads; the package's rate so high that its size adds nothing.
DownloadLimits Shortened(std::uint32_t ms) {
  DownloadLimits limits;
  limits.manifestDeadlineMs = ms;
  limits.packageDeadlineFloorMs = ms;
  limits.packageSlowestBytesPerSecond = 1ull << 40;
  return limits;
}

// Response headers of a 200 with `length` bytes of body.
std::string Head(std::size_t length) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(length) + "\r\n\r\n";
}

// Many short header lines: each would renew a per-wait time-out.
std::string TrickledHeaderLines(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i)
    text += "X-Slow: " + std::to_string(i) + "\r\n";
  return text;
}

class DownloadLimitsTest : public testing::HttpsWorld {
 protected:
  void SetUp() override {
    HttpsWorld::SetUp();
    if (IsSkipped())
      return;
    dest_ = machine_.Path(u"package.zip");
    Serve("/pkg/good.zip", std::string(kSize, 'p'));
    Serve(kManifestPath, "{\"win32\": {}}");
  }

  std::string Download(const std::u16string& url, std::uint64_t size = kSize) {
    std::u16string error;
    return DownloadPackage(url, dest_, size, &error) ? "ok" : WideToUtf8(error);
  }

  static std::string Fetch() {
    std::u16string text;
    std::u16string error;
    return FetchOfficialManifest(&text, &error) ? "ok" : WideToUtf8(error);
  }

  // Points `host` at the test's own server (the first line that names a host decides).
  static void OwnServerIs(const std::string& host) {
    WriteHostsFile(std::string(kOwnAddress) + " " + host + "\n" + DefaultHostsFile());
  }

  // Starts the trickling server as `host`.
  void Trickle(const std::string& host, const std::string& quick, const std::string& trickled,
               int intervalMs) {
    std::string reason;
    ASSERT_TRUE(trickle_.Start(kOwnAddress, ServerCertificate(), ServerKey(), quick, trickled,
                               intervalMs, &reason))
        << reason;
    OwnServerIs(host);
  }

  // Runs `download` on a thread, gives the stop once the trickling server has the request,
  // and gives the outcome; the time from the stop to the end is reported.
  template <typename Download>
  std::string StopWhileTrickling(Download download) {
    std::string outcome;
    std::thread run([&] { outcome = download(); });
    EXPECT_TRUE(trickle_.WaitForRequests(1));
    const auto stopped = std::chrono::steady_clock::now();
    SignalServiceStop();
    run.join();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - stopped)
                        .count();
    RecordProperty("stop_to_end_ms", std::to_string(ms));
    std::printf("stop to end of the download: %lld ms\n", static_cast<long long>(ms));
    return outcome;
  }

  std::u16string dest_;
  TlsTrickleServer trickle_;
};

TEST_F(DownloadLimitsTest, TrickledBodiesEndAtTheDeadline) {
  const ScopedDownloadLimitsForTest limits(Shortened(1500));
  // 4 KiB every 100 ms: far within any per-wait time-out, and 5 s for the whole package.
  Script("/pkg/good.zip trickle 4096 100\n" + std::string(kManifestPath) + " trickle 1 100\n");
  EXPECT_EQ(Download(Url(CdnHost(), "/pkg/good.zip")), "package download timed out");
  EXPECT_FALSE(TestMachine::Exists(dest_ + u".part"));
  EXPECT_FALSE(TestMachine::Exists(dest_));
  Serve(kManifestPath, std::string(100, ' ') + "{}");
  EXPECT_EQ(Fetch(), "manifest request timed out");
}

TEST_F(DownloadLimitsTest, TrickledHeadersEndAtTheDeadline) {
  const ScopedDownloadLimitsForTest limits(Shortened(1500));
  // Each byte arrives well within the per-wait time-out; the whole answer, which would be
  // accepted, takes some 20 s.
  const std::string body = "{\"win32\": {}}";
  Trickle(CdnHost(), "HTTP/1.1 200 OK\r\n",
          TrickledHeaderLines(20) + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
              body,
          100);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(Download(Url(CdnHost(), "/pkg/good.zip"), body.size()), "package download timed out");
  EXPECT_FALSE(TestMachine::Exists(dest_ + u".part"));
  OwnServerIs(UpdateHost());
  EXPECT_EQ(Fetch(), "manifest request timed out");
  EXPECT_EQ(trickle_.Requests(), 2);
}

TEST_F(DownloadLimitsTest, AStopEndsATrickledHeaderOrBodyAtOnce) {
  struct {
    const char* name;
    std::string quick;
    std::string trickled;
    bool manifest;
    std::string expected;
  } const cases[] = {
      {"package header", "HTTP/1.1 200 OK\r\n", TrickledHeaderLines(500), false,
       "download cancelled"},
      {"package body", Head(kSize), std::string(kSize, 'p'), false, "download cancelled"},
      {"package body stalled", Head(kSize), "", false, "download cancelled"},
      {"manifest header", "HTTP/1.1 200 OK\r\n", TrickledHeaderLines(500), true,
       "manifest request cancelled"},
      {"manifest body", Head(1000), std::string(1000, ' '), true, "manifest request cancelled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::InstallStopEvent();
    // A byte every 2 s: only the stop ends these within the test's time.
    Trickle(c.manifest ? UpdateHost() : CdnHost(), c.quick, c.trickled, 2000);
    ASSERT_FALSE(HasFatalFailure());
    const std::string outcome = StopWhileTrickling(
        [&] { return c.manifest ? Fetch() : Download(Url(CdnHost(), "/pkg/good.zip")); });
    EXPECT_EQ(outcome, c.expected);
    EXPECT_FALSE(TestMachine::Exists(dest_ + u".part"));
    trickle_.Stop();
  }
}

// The real receive time-out (30 s) after the headers, with the release deadlines: a ctest
// entry of its own, labelled long (tests/CMakeLists.txt).
TEST_F(DownloadLimitsTest, LongHeadersThenAStallEndAfterTheReceiveTimeOut) {
  Trickle(CdnHost(), Head(kSize), "", 0);
  ASSERT_FALSE(HasFatalFailure());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Download(Url(CdnHost(), "/pkg/good.zip")), "package receive timed out");
  const double seconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count() /
                         1000.0;
  std::printf("headers then a stall: the download ended after %.1f s\n", seconds);
  RecordProperty("seconds", std::to_string(seconds));
  EXPECT_FALSE(TestMachine::Exists(dest_ + u".part"));
}

TEST_F(DownloadLimitsTest, ARedirectOutsideTheDomainSendsNothingThere) {
  // The outside name is a server of its own, which would answer anything it is asked.
  UpdateHostServer outside;
  std::string reason;
  ASSERT_TRUE(StartServer(kOwnAddress, &outside, &reason)) << reason;
  OwnServerIs(OutsideHost());
  const std::string domain = WideToUtf8(UpdateDomain());
  Script("/pkg/a.zip redirect 302 https://" + UpdateHost() +
         "/pkg/b.zip\n"
         "/pkg/b.zip redirect 307 https://" +
         OutsideHost() +
         "/pkg/good.zip\n"
         "/pkg/port.zip redirect 302 https://" +
         CdnHost() +
         ":8443/pkg/good.zip\n"
         "/pkg/user.zip redirect 302 https://user@" +
         CdnHost() +
         "/pkg/good.zip\n"
         "/pkg/ip.zip redirect 302 https://" +
         kOwnAddress +
         "/pkg/good.zip\n"
         "/pkg/plain.zip redirect 301 http://" +
         CdnHost() + "/pkg/good.zip\n");
  struct {
    const char* path;
    std::string expected;
    std::size_t requests;  // to the update host
  } const cases[] = {
      {"/pkg/a.zip", "hot-update redirect target host is not allowed", 2},
      {"/pkg/port.zip", "hot-update redirect target host is not allowed", 1},
      {"/pkg/user.zip", "hot-update redirect target host is not allowed", 1},
      {"/pkg/ip.zip", "hot-update redirect target host is not allowed", 1},
      {"/pkg/plain.zip", "hot-update redirect target must be https", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Download(Url(CdnHost(), c.path)), c.expected) << c.path;
    EXPECT_EQ(Server().TakeRequests().size(), c.requests) << c.path;
    EXPECT_FALSE(TestMachine::Exists(dest_)) << c.path;
  }
  EXPECT_TRUE(outside.TakeRequests().empty());
  // The same server is reachable: a direct request to it would have been answered.
  EXPECT_EQ(Download(Url(CdnHost(), "/pkg/good.zip")), "ok");
}

TEST_F(DownloadLimitsTest, FiveRedirectsAreFollowedAndASixthIsRefused) {
  std::string script;
  for (int i = 0; i < 6; ++i) {
    script += "/pkg/r" + std::to_string(i) + ".zip redirect 302 " +
              (i % 2 == 0 ? "https://" + UpdateHost() : std::string()) + "/pkg/r" +
              std::to_string(i + 1) + ".zip\n";
  }
  Serve("/pkg/r6.zip", std::string(kSize, 'p'));
  Script(script);
  EXPECT_EQ(Download(Url(CdnHost(), "/pkg/r1.zip")), "ok");
  EXPECT_EQ(Server().TakeRequests().size(), 6u);
  EXPECT_EQ(Download(Url(CdnHost(), "/pkg/r0.zip")), "too many redirects");
  EXPECT_EQ(Server().TakeRequests().size(), 6u);
}

}  // namespace
}  // namespace vovu
