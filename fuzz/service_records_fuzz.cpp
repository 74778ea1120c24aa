// Fuzzes the service's own records as they are read after a crash or a foreign write (a torn
// or damaged file): the same arbitrary bytes as installed-version.json and as the protected
// service-job.json of one caller's job.
//
// Invariants: the installed-version record is accepted only with two semantic versions, the
// current one not below the baseline; a protected job record is the caller's only when its
// sid is the caller's exactly and its jobFile the caller's path ignoring case, and its status
// check passes only on that exact status; a record the service reads and writes back reads
// the same ever after (writing a read record once may normalise it, twice must change
// nothing).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "state/hot_update_job.h"
#include "state/installed_version.h"
#include "state/semantic_version.h"
#include "support/fuzz_machine.h"

namespace {

using vovu::fuzzing::Broken;

constexpr char16_t kCallerSid[] = u"S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr char16_t kJobFile[] =
    u"C:\\Users\\alice\\.zodezevadororuza\\updates\\hotupdate\\app\\job.json";

std::u16string gServiceJobFile;
std::string gHostServiceJobFile;
std::string gHostInstalledVersion;

bool SameJob(const vovu::HotUpdateJob& a, const vovu::HotUpdateJob& b) {
  // packageSize is compared by bits: a NaN must read back as the same NaN or not at all.
  return a.version == b.version && a.packageUrl == b.packageUrl &&
         a.packageSha256 == b.packageSha256 && a.expectedPublisher == b.expectedPublisher &&
         std::memcmp(&a.packageSize, &b.packageSize, sizeof a.packageSize) == 0 &&
         a.currentVersion == b.currentVersion && a.status == b.status &&
         a.statusMessage == b.statusMessage && a.error == b.error && a.createdAt == b.createdAt &&
         a.updatedAt == b.updatedAt && a.pidHint == b.pidHint && a.startedAt == b.startedAt &&
         a.deadlineAt == b.deadlineAt && a.sessionId == b.sessionId && a.sid == b.sid &&
         a.jobFile == b.jobFile && a.serviceDir == b.serviceDir && a.dir == b.dir;
}

void CheckInstalledVersion(const std::uint8_t* data, std::size_t size) {
  vovu::fuzzing::WriteHostFile(gHostInstalledVersion, data, size);
  std::u16string baseline;
  std::u16string current;
  if (!vovu::ReadInstalledVersionState(&baseline, &current))
    return;
  vovu::SemanticVersion parsedBaseline;
  vovu::SemanticVersion parsedCurrent;
  if (!vovu::ParseSemanticVersion(baseline, &parsedBaseline) ||
      !vovu::ParseSemanticVersion(current, &parsedCurrent)) {
    Broken("installed-version record accepted with a version that is not semantic");
  }
  if (vovu::CompareSemanticVersions(parsedCurrent, parsedBaseline) < 0)
    Broken("installed-version record accepted with current below baseline");
}

void CheckProtectedJob(const std::uint8_t* data, std::size_t size) {
  vovu::fuzzing::WriteHostFile(gHostServiceJobFile, data, size);
  vovu::HotUpdateJob job;
  std::u16string jobDir;
  std::u16string serviceJobFile;
  std::u16string failure;
  if (vovu::ReadCallersJob(kJobFile, kCallerSid, &job, &jobDir, &serviceJobFile, &failure) &&
      (job.sid != kCallerSid || vovu::ToLower(job.jobFile) != vovu::ToLower(kJobFile))) {
    Broken("a protected record of someone else taken as the caller's");
  }
  vovu::HotUpdateJob raw;
  if (vovu::CheckJobStatus(kJobFile, kCallerSid, vovu::kStatusStaged, &failure) &&
      (!vovu::ReadJobFile(gServiceJobFile, &raw) || raw.status != vovu::kStatusStaged ||
       raw.sid != kCallerSid || vovu::ToLower(raw.jobFile) != vovu::ToLower(kJobFile))) {
    Broken("status check passed on a record that is not the caller's staged job");
  }

  vovu::HotUpdateJob first;
  if (!vovu::ReadJobFile(gServiceJobFile, &first))
    return;
  vovu::HotUpdateJob second;
  vovu::HotUpdateJob third;
  if (!vovu::WriteJobFile(first, gServiceJobFile) || !vovu::ReadJobFile(gServiceJobFile, &second))
    Broken("a record read could not be written back and read again");
  if (!vovu::WriteJobFile(second, gServiceJobFile) || !vovu::ReadJobFile(gServiceJobFile, &third))
    Broken("a record written back could not be written and read again");
  if (!SameJob(second, third))
    Broken("a record written back read differently the second time");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vovu::fuzzing::UseFreshMachine();
  std::u16string jobDir;
  std::u16string failure;
  if (!vovu::DeriveJobPaths(kJobFile, kCallerSid, &jobDir, &gServiceJobFile, &failure))
    Broken("no protected path for the job");
  gHostServiceJobFile = vovu::fuzzing::HostPathOf(gServiceJobFile);
  gHostInstalledVersion = vovu::fuzzing::HostPathOf(vovu::InstalledVersionStatePath());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckInstalledVersion(data, size);
  CheckProtectedJob(data, size);
  return 0;
}
