// The official manifest fetched from the update host over real HTTPS on port 443: what each
// answer, certificate and interruption gives.
#include <gtest/gtest.h>

#include <thread>

#include "acquisition/manifest_fetch.h"
#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "platform/fault_injection.h"
#include "support/host/https_world.h"

namespace vovu {
namespace {

constexpr char kManifestPath[] = "/client/new/clientHotUpdateInfo.json";
constexpr char kManifest[] = "{\"win32\": {\"version\": \"2.11.0\"}}";

class ManifestFetch : public testing::HttpsWorld {
 protected:
  void SetUp() override {
    HttpsWorld::SetUp();
    if (!IsSkipped())
      Serve(kManifestPath, kManifest);
  }

  // The fetch's outcome: "ok:" + the text's length, or the error.
  std::string Fetch() {
    std::u16string text;
    std::u16string error;
    if (!FetchOfficialManifest(&text, &error))
      return WideToUtf8(error);
    text_ = text;
    return "ok:" + std::to_string(text.size());
  }

  std::u16string text_;
};

TEST_F(ManifestFetch, ServedManifestArrivesAsTextFromTheBuiltInAddress) {
  EXPECT_EQ(Fetch(), "ok:" + std::to_string(sizeof kManifest - 1));
  EXPECT_EQ(text_, Utf8ToWide(kManifest));
  EXPECT_EQ(Server().TakeRequests(),
            std::vector<std::string>{"request GET " + std::string(kManifestPath)});
}

TEST_F(ManifestFetch, AnswersAndBodies) {
  struct {
    const char* name;
    std::string rule;
    std::string body;
    std::string expected;
  } const cases[] = {
      {"302 is not followed", "redirect 302 https://" + CdnHost() + kManifestPath, kManifest,
       "manifest HTTP status=302"},
      {"404", "status 404", kManifest, "manifest HTTP status=404"},
      {"500", "status 500", kManifest, "manifest HTTP status=500"},
      {"exactly 1 MiB", "pad 1048576", kManifest, "ok:1048576"},
      {"1 MiB and one byte", "pad 1048577", kManifest, "manifest is too large"},
      {"a byte-order mark alone", "bom", kManifest, "manifest is empty or not UTF-8"},
      {"an empty body", "empty", kManifest, "manifest is empty or not UTF-8"},
      {"a byte-order mark before the JSON", "", "\xEF\xBB\xBF" + std::string(kManifest),
       "ok:" + std::to_string(sizeof kManifest - 1)},
      {"malformed UTF-8 becomes U+FFFD", "", "\xC3", "ok:1"},
      {"a body cut short", "short", kManifest, "manifest query data failed"},
      {"a body in small pieces", "trickle 7 1", kManifest,
       "ok:" + std::to_string(sizeof kManifest - 1)},
  };
  for (const auto& c : cases) {
    Serve(kManifestPath, c.body);
    Script(c.rule.empty() ? "" : std::string(kManifestPath) + " " + c.rule + "\n");
    EXPECT_EQ(Fetch(), c.expected) << c.name;
  }
  // The redirect was never followed.
  for (const std::string& request : Server().TakeRequests())
    EXPECT_EQ(request, "request GET " + std::string(kManifestPath));
}

TEST_F(ManifestFetch, ByteOrderMarkIsRemovedOnce) {
  Serve(kManifestPath, "\xEF\xBB\xBF\xEF\xBB\xBF{}");
  EXPECT_EQ(Fetch(), "ok:3");
  EXPECT_EQ(text_, u"\xFEFF{}");
}

TEST_F(ManifestFetch, CertificatesAndNamesThatFailGiveTheSystemError) {
  struct {
    const char* name;
    std::string hosts;
    std::string expected;
  } const cases[] = {
      {"a CA outside the machine's store", "127.0.0.2 " + UpdateHost(),
       "manifest request failed: error=12175"},
      {"a certificate for another name", "127.0.0.3 " + UpdateHost(),
       "manifest request failed: error=12175"},
      {"nobody listening", "127.0.0.9 " + UpdateHost(), "manifest request failed: error=12029"},
      {"a name that does not resolve", "127.0.0.1 " + CdnHost(),
       "manifest request failed: error=12007"},
  };
  for (const auto& c : cases) {
    WriteHostsFile(c.hosts + "\n");
    EXPECT_EQ(Fetch(), c.expected) << c.name;
  }
  // The trusted host gave nothing away: no request reached it.
  EXPECT_TRUE(Server().TakeRequests().empty());
}

TEST_F(ManifestFetch, StopWhileTheBodyIsHeldCancelsAtOnce) {
  Serve(kManifestPath, std::string(kManifest) + std::string(100000, ' '));
  Script(std::string(kManifestPath) + " hold 20000\n");
  std::string outcome;
  std::thread fetch([&] { outcome = Fetch(); });
  ASSERT_TRUE(Server().WaitForLine("holding 20000"));
  // The server holds the rest back: only the stop can end the wait.
  SignalServiceStop();
  fetch.join();
  EXPECT_EQ(outcome, "manifest request cancelled");
}

TEST_F(ManifestFetch, StopBeforeTheBodyCancels) {
  SignalServiceStop();
  EXPECT_EQ(Fetch(), "manifest request cancelled");
}

TEST_F(ManifestFetch, FailuresNoServerCanCauseComeFromTheSeam) {
  struct {
    platform::FaultPoint point;
    const char* expected;
  } const cases[] = {
      {platform::FaultPoint::kHttpCrackUrl, "invalid built-in hot-update manifest URL"},
      {platform::FaultPoint::kHttpOpen, "WinHttpOpen failed"},
      {platform::FaultPoint::kHttpConnect, "WinHttpConnect failed"},
      {platform::FaultPoint::kHttpOpenRequest, "WinHttpOpenRequest failed"},
      {platform::FaultPoint::kHttpSetOption, "cannot disable redirects"},
      {platform::FaultPoint::kHttpQueryDataAvailable, "manifest query data failed"},
      {platform::FaultPoint::kHttpReadData, "manifest read failed"},
  };
  for (const auto& c : cases) {
    platform::InjectFault(c.point, u"", 8);
    EXPECT_EQ(Fetch(), c.expected);
    platform::ClearFaults();
  }
}

}  // namespace
}  // namespace vovu
