// Authorization against manifests served by the update host, with the protected installed
// version (the stand-in Korvadesk.exe is 2.10.0) and this machine's rollout bucket.
#include <gtest/gtest.h>

#include "acquisition/manifest_authorization.h"
#include "foundation/text.h"
#include "state/installed_version.h"
#include "state/rollout_cohort.h"
#include "support/desktop_app.h"
#include "support/host/https_world.h"
#include "support/machine_guid.h"

namespace vovu {
namespace {

constexpr char kManifestPath[] = "/client/new/clientHotUpdateInfo.json";
constexpr char kDigest[] = "8f4c1e0a7b2d9c3e5f6a7b8c9d0e1f2a3b4c5d6e7f8091a2b3c4d5e6f708192a";
constexpr char kGuid[] = "3f1e2d4c-5b6a-4798-8a9b-0c1d2e3f4a5b";
// SHA-256 of kGuid + "|2.11.0" begins 6966c493: the bucket is 0x6966c493 / 2^32 * 100.
constexpr double kBucket = 41.17243632208556;

class ManifestAuthorization : public testing::HttpsWorld {
 protected:
  void SetUp() override {
    HttpsWorld::SetUp();
    if (IsSkipped())
      return;
    testing::InstallDesktopApp(machine_.Dir());
  }

  HotUpdateJob Job() const {
    HotUpdateJob job;
    job.version = u"2.11.0";
    job.packageUrl = Url(CdnHost(), "/pkg/2.11.0.zip");
    job.packageSha256 = Utf8ToWide(kDigest);
    job.packageSize = 4096;
    job.currentVersion = u"2.10.0";
    return job;
  }

  // A manifest whose win32 entry offers Job()'s package, with `extra` members after it.
  std::string Entry(const std::string& extra = "") const {
    return "{\"win32\": {\"version\": \"2.11.0\", \"packageUrl\": \"https://" + CdnHost() +
           "/pkg/2.11.0.zip\", \"packageSha256\": \"" + kDigest + "\", \"packageSize\": 4096" +
           extra + "}}";
  }

  // "ok" or the authorization's error, for `job` against the served `manifest`.
  std::string Authorize(const std::string& manifest, const HotUpdateJob& job) {
    Serve(kManifestPath, manifest);
    std::u16string error;
    return AuthorizeHotUpdate(job, &error) ? "ok" : WideToUtf8(error);
  }
};

// The rules themselves are the manifest rules suite's (the version bounds, the comparisons);
// here each stage meets what the machine holds: the served text, the installed version read
// from the machine, this machine's bucket.
TEST_F(ManifestAuthorization, EachStageAgainstServedManifestsAndTheMachinesState) {
  testing::StoreMachineGuid(Utf8ToWide(kGuid));
  HotUpdateJob older = Job();
  older.currentVersion = u"2.9.0";
  const std::string percentIn = ", \"rolloutPercent\": " + std::to_string(kBucket + 0.001);
  const std::string percentOut = ", \"rolloutPercent\": " + std::to_string(kBucket - 0.001);
  struct {
    const char* name;
    std::string manifest;
    HotUpdateJob job;
    std::string expected;
  } const cases[] = {
      {"exact", Entry(), Job(), "ok"},
      {"claimed version is not the protected one", Entry(), older,
       "request currentVersion does not match protected installed version"},
      {"just above this machine's bucket", Entry(percentIn), Job(), "ok"},
      {"just below this machine's bucket", Entry(percentOut), Job(),
       "machine is outside the hot-update rollout cohort"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Authorize(c.manifest, c.job), c.expected) << c.name;
}

TEST_F(ManifestAuthorization, Rollout0And100NeverReadTheMachineIdentity) {
  // This fresh machine has no MachineGuid: reading it would fail.
  std::u16string guid;
  std::u16string error;
  ASSERT_FALSE(ReadMachineGuid(&guid, &error));
  EXPECT_EQ(Authorize(Entry(", \"rolloutPercent\": 100"), Job()), "ok");
  EXPECT_EQ(Authorize(Entry(", \"rolloutPercent\": 0"), Job()),
            "machine is excluded by rolloutPercent=0");
  EXPECT_EQ(Authorize(Entry(", \"rolloutPercent\": 50"), Job()), WideToUtf8(error));
}

TEST_F(ManifestAuthorization, FetchFailureAndStaleRecordPassThrough) {
  Script(std::string(kManifestPath) + " status 404\n");
  EXPECT_EQ(Authorize(Entry(), Job()), "manifest HTTP status=404");
  Script("");
  // A record whose baseline is not the executable's version is reset to it, then used.
  std::u16string error;
  ASSERT_TRUE(WriteInstalledVersionState(u"2.9.0", u"2.10.5", &error)) << WideToUtf8(error);
  EXPECT_EQ(Authorize(Entry(), Job()), "ok");
  std::u16string baseline;
  std::u16string current;
  ASSERT_TRUE(ReadInstalledVersionState(&baseline, &current));
  EXPECT_EQ(current, u"2.10.0");
}

}  // namespace
}  // namespace vovu
