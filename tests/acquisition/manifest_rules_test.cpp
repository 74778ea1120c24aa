// The authorization rules on manifest texts and versions, without the network: the match of
// the job against the win32 entry, then the installed version, range and cohort.
#include <gtest/gtest.h>

#include <limits>

#include "acquisition/manifest_authorization.h"
#include "foundation/text.h"

namespace vovu {
namespace {

constexpr char16_t kDigest[] = u"8f4c1e0a7b2d9c3e5f6a7b8c9d0e1f2a3b4c5d6e7f8091a2b3c4d5e6f708192a";

HotUpdateJob Job() {
  HotUpdateJob job;
  job.version = u"2.11.0";
  job.packageUrl = u"https://cdn.korvasync.example/pkg/2.11.0.zip";
  job.packageSha256 = kDigest;
  job.packageSize = 4096;
  job.currentVersion = u"2.10.0";
  return job;
}

// A win32 entry offering exactly Job()'s package, with `extra` members added at its end.
std::u16string Manifest(const std::u16string& extra = u"") {
  return u"{\"other\": 1, \"win32\": {\"version\": \"2.11.0\", "
         u"\"packageUrl\": \"https://cdn.korvasync.example/pkg/2.11.0.zip\", "
         u"\"packageSha256\": \"" +
         std::u16string(kDigest) + u"\", \"packageSize\": 4096" + extra + u"}}";
}

struct MatchCase {
  const char* name;
  std::u16string manifest;
  void (*adjust)(HotUpdateJob*);
  const char16_t* error;  // null: matched
};

constexpr char16_t kMismatch[] = u"request metadata does not match official hot-update manifest";
constexpr char16_t kTypes[] = u"official manifest has invalid applicability field types";

TEST(ManifestMatch, EntryMustOfferExactlyTheJobsPackage) {
  const MatchCase cases[] = {
      {"exact", Manifest(), nullptr, nullptr},
      {"disabled false", Manifest(u", \"disabled\": false"), nullptr, nullptr},
      {"unknown members ignored", Manifest(u", \"notes\": [1, 2]"), nullptr, nullptr},
      {"digest in capitals in the job", Manifest(),
       [](HotUpdateJob* j) {
         j->packageSha256 = u"8F4C1E0A7B2D9C3E5F6A7B8C9D0E1F2A3B4C5D6E7F8091A2B3C4D5E6F708192A";
       },
       nullptr},
      {"not JSON", u"{\"win32\": ", nullptr, u"official manifest parse failed"},
      {"root not an object", u"[1]", nullptr, u"official manifest missing win32 entry"},
      {"no win32", u"{\"win64\": {}}", nullptr, u"official manifest missing win32 entry"},
      {"win32 not an object", u"{\"win32\": \"x\"}", nullptr,
       u"official manifest missing win32 entry"},
      {"disabled true", Manifest(u", \"disabled\": true"), nullptr, kMismatch},
      {"disabled string false", Manifest(u", \"disabled\": \"false\""), nullptr, kMismatch},
      {"disabled null", Manifest(u", \"disabled\": null"), nullptr, kMismatch},
      {"disabled zero", Manifest(u", \"disabled\": 0"), nullptr, kMismatch},
      {"version with build metadata", Manifest(),
       [](HotUpdateJob* j) { j->version = u"2.11.0+b7"; }, kMismatch},
      {"url differs in letter case", Manifest(),
       [](HotUpdateJob* j) { j->packageUrl = u"https://CDN.korvasync.example/pkg/2.11.0.zip"; },
       kMismatch},
      {"other digest", Manifest(), [](HotUpdateJob* j) { j->packageSha256[0] = u'0'; }, kMismatch},
      {"other size", Manifest(), [](HotUpdateJob* j) { j->packageSize = 4097; }, kMismatch},
      {"size missing reads as -1",
       u"{\"win32\": {\"version\": \"2.11.0\", \"packageUrl\": "
       u"\"https://cdn.korvasync.example/pkg/2.11.0.zip\", \"packageSha256\": \"" +
           std::u16string(kDigest) + u"\"}}",
       nullptr, kMismatch},
      {"size missing matches -1",
       u"{\"win32\": {\"version\": \"2.11.0\", \"packageUrl\": "
       u"\"https://cdn.korvasync.example/pkg/2.11.0.zip\", \"packageSha256\": \"" +
           std::u16string(kDigest) + u"\", \"packageSize\": \"4096\"}}",
       [](HotUpdateJob* j) { j->packageSize = -1; }, nullptr},
      {"mismatch before field types", Manifest(u", \"rolloutPercent\": \"50\""),
       [](HotUpdateJob* j) { j->packageSize = 1; }, kMismatch},
      {"rollout as a string", Manifest(u", \"rolloutPercent\": \"50\""), nullptr, kTypes},
      {"min as a number", Manifest(u", \"minAppVersion\": 2"), nullptr, kTypes},
      {"max as null", Manifest(u", \"maxAppVersion\": null"), nullptr, kTypes},
  };
  for (const MatchCase& c : cases) {
    HotUpdateJob job = Job();
    if (c.adjust != nullptr)
      c.adjust(&job);
    ManifestApplicability applicability;
    std::u16string error;
    const bool matched = MatchOfficialManifest(job, c.manifest, &applicability, &error);
    if (c.error == nullptr) {
      EXPECT_TRUE(matched) << c.name << ": " << WideToUtf8(error);
    } else {
      EXPECT_FALSE(matched) << c.name;
      EXPECT_EQ(WideToUtf8(error), WideToUtf8(c.error)) << c.name;
    }
  }
}

TEST(ManifestMatch, ApplicabilityFieldsAreRead) {
  ManifestApplicability applicability;
  std::u16string error;
  ASSERT_TRUE(MatchOfficialManifest(Job(), Manifest(), &applicability, &error));
  EXPECT_EQ(applicability.minAppVersion, u"");
  EXPECT_EQ(applicability.maxAppVersion, u"");
  EXPECT_EQ(applicability.rolloutPercent, 100);
  ASSERT_TRUE(MatchOfficialManifest(
      Job(),
      Manifest(
          u", \"minAppVersion\": \"2.0.0\", \"maxAppVersion\": \"\", \"rolloutPercent\": 12.5"),
      &applicability, &error));
  EXPECT_EQ(applicability.minAppVersion, u"2.0.0");
  EXPECT_EQ(applicability.maxAppVersion, u"");
  EXPECT_EQ(applicability.rolloutPercent, 12.5);
}

struct ApplicabilityCase {
  const char* name;
  std::u16string target;
  std::u16string claimed;  // the job's currentVersion
  ManifestApplicability applicability;
  double bucket;
  const char16_t* error;  // null: authorized
  bool bucketAsked;
};

constexpr char16_t kClaim[] = u"request currentVersion does not match protected installed version";
constexpr char16_t kBad[] = u"official manifest contains an invalid semantic version";
constexpr char16_t kOld[] = u"hot-update target is not newer than protected installed version";
constexpr char16_t kBelow[] = u"protected installed version is below minAppVersion";
constexpr char16_t kAbove[] = u"protected installed version is above maxAppVersion";
constexpr char16_t kPercent[] = u"official manifest rolloutPercent must be between 0 and 100";
constexpr char16_t kExcluded[] = u"machine is excluded by rolloutPercent=0";
constexpr char16_t kOutside[] = u"machine is outside the hot-update rollout cohort";
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ManifestApplicability, RulesInOrder) {
  const std::u16string in = u"2.10.0";  // the protected installed version
  const ApplicabilityCase cases[] = {
      {"no bounds, everyone", u"2.11.0", in, {}, 99.9, nullptr, false},
      {"claim differs", u"2.11.0", u"2.9.0", {}, 0, kClaim, false},
      {"claim differs, range takes it",
       u"2.11.0",
       u"2.10.0+x",
       {u"2.0.0", u"3.0.0", 100},
       0,
       kClaim,
       false},
      {"bad target", u"2.11", in, {}, 0, kBad, false},
      {"bad minimum", u"2.11.0", in, {u"v2.0.0", u"", 100}, 0, kBad, false},
      {"bad maximum", u"2.11.0", in, {u"", u"2.x.0", 100}, 0, kBad, false},
      {"grammar before direction", u"2.9.0", in, {u"", u"bad", 100}, 0, kBad, false},
      {"same version", u"2.10.0", in, {}, 0, kOld, false},
      {"older version", u"2.9.9", in, {}, 0, kOld, false},
      {"pre-release of installed", u"2.10.0-rc.1", in, {}, 0, kOld, false},
      {"minimum equal passes", u"2.11.0", in, {u"2.10.0", u"", 100}, 0, nullptr, false},
      {"below minimum", u"2.11.0", in, {u"2.10.1", u"", 100}, 0, kBelow, false},
      {"maximum equal passes", u"2.11.0", in, {u"", u"2.10.0", 100}, 0, nullptr, false},
      {"above maximum", u"2.11.0", in, {u"", u"2.10.0-rc.1", 100}, 0, kAbove, false},
      {"range before rollout", u"2.11.0", in, {u"2.10.1", u"", -1}, 0, kBelow, false},
      {"rollout above 100", u"2.11.0", in, {u"", u"", 100.5}, 0, kPercent, false},
      {"rollout negative", u"2.11.0", in, {u"", u"", -1}, 0, kPercent, false},
      {"rollout infinite", u"2.11.0", in, {u"", u"", kInf}, 0, kPercent, false},
      {"rollout NaN", u"2.11.0", in, {u"", u"", kNaN}, 0, kPercent, false},
      {"rollout 0", u"2.11.0", in, {u"", u"", 0}, 0, kExcluded, false},
      {"rollout 100 without the identity", u"2.11.0", in, {u"", u"", 100}, 99.99, nullptr, false},
      {"inside the cohort", u"2.11.0", in, {u"", u"", 50}, 49.999, nullptr, true},
      {"bucket equal to the percentage", u"2.11.0", in, {u"", u"", 50}, 50, kOutside, true},
      {"outside the cohort", u"2.11.0", in, {u"", u"", 0.5}, 0.75, kOutside, true},
  };
  for (const ApplicabilityCase& c : cases) {
    HotUpdateJob job = Job();
    job.version = c.target;
    job.currentVersion = c.claimed;
    int asked = 0;
    const double bucket = c.bucket;
    std::u16string error;
    const bool authorized = CheckApplicability(
        job, c.applicability, in,
        [&](double* out, std::u16string*) {
          ++asked;
          *out = bucket;
          return true;
        },
        &error);
    if (c.error == nullptr) {
      EXPECT_TRUE(authorized) << c.name << ": " << WideToUtf8(error);
    } else {
      EXPECT_FALSE(authorized) << c.name;
      EXPECT_EQ(WideToUtf8(error), WideToUtf8(c.error)) << c.name;
    }
    EXPECT_EQ(asked, c.bucketAsked ? 1 : 0) << c.name;
  }
}

TEST(ManifestApplicability, BucketFailurePassesThrough) {
  std::u16string error;
  EXPECT_FALSE(CheckApplicability(
      Job(), {u"", u"", 10}, u"2.10.0",
      [](double*, std::u16string* e) {
        *e = u"MachineGuid is empty";
        return false;
      },
      &error));
  EXPECT_EQ(error, u"MachineGuid is empty");
}

}  // namespace
}  // namespace vovu
