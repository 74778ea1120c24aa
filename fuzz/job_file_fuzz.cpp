// Fuzzes the user's job file as the service reads it: arbitrary bytes as job.json, opened the
// way the service opens a user's file and read by the job-file reader, then put to the
// request check that decides whether a prepare may go on.
//
// Invariants: a read never crashes or overruns; a request the check accepts has a version of
// 1 to 64 characters from A-Z a-z 0-9 . - _ without "..", 64 hex digits as its SHA-256 and a
// whole package size above 0 and at most 2 GiB; and the 1 MiB bound holds exactly: an input
// ending in the byte 0x01 (and, at every start, a valid file) is written (without that byte) padded
// with blanks to exactly 1 MiB, which reads as the unpadded text does, and to one byte more, which
// must fail with 223.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hotupdate/prepare_claim.h"
#include "platform/error.h"
#include "platform/user_file.h"
#include "state/hot_update_job.h"
#include "support/fuzz_machine.h"

namespace {

using vovu::fuzzing::Broken;

constexpr char16_t kJobFile[] = u"C:\\scratch\\job.json";
std::string gHostJobFile;

bool IsHex(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool IsVersionChar(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
         c == u'.' || c == u'-' || c == u'_';
}

// What an accepted request must look like, checked field by field.
void CheckAcceptedRequest(const vovu::HotUpdateJob& job) {
  if (job.version.empty() || job.version.size() > 64 ||
      job.version.find(u"..") != std::u16string::npos) {
    Broken("accepted version of bad length or with \"..\"");
  }
  for (char16_t c : job.version) {
    if (!IsVersionChar(c))
      Broken("accepted version with a character outside the set");
  }
  if (job.packageSha256.size() != 64)
    Broken("accepted packageSha256 that is not 64 characters");
  for (char16_t c : job.packageSha256) {
    if (!IsHex(c))
      Broken("accepted packageSha256 with a non-hex character");
  }
  const double size = job.packageSize;
  if (!(size >= 1) || !(size <= 2147483648.0) ||
      size != static_cast<double>(static_cast<std::int64_t>(size))) {
    Broken("accepted packageSize that is not whole, above 0 and at most 2 GiB");
  }
}

// Writes `bytes` as the job file and reads it through the service's path.
bool ReadAs(const std::vector<std::uint8_t>& bytes, vovu::HotUpdateJob* job) {
  vovu::fuzzing::WriteHostFile(gHostJobFile, bytes);
  const vovu::platform::FileHandle file = vovu::platform::OpenUserFileForRead(kJobFile);
  if (!file)
    Broken("the job file written cannot be opened");
  return vovu::ReadJobFromOpenFile(file, job);
}

void CheckLimit(std::vector<std::uint8_t> bytes, bool readUnpadded) {
  if (bytes.size() > vovu::kMaxJobFileBytes)
    return;
  bytes.resize(vovu::kMaxJobFileBytes, ' ');
  vovu::HotUpdateJob job;
  if (ReadAs(bytes, &job) != readUnpadded)
    Broken("a job file of exactly 1 MiB read differently from its unpadded text");
  bytes.push_back(' ');
  if (ReadAs(bytes, &job) || vovu::platform::LastError() != 223)
    Broken("a job file of 1 MiB + 1 byte was read or failed otherwise than with 223");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vovu::fuzzing::UseFreshMachine();
  gHostJobFile = vovu::fuzzing::HostPathOf(kJobFile);
  // The bound on a valid file at every start, since padded inputs are rare (each costs a few
  // reads of 1 MiB, so none is kept among the seeds).
  const std::string text = "{\"version\": \"2.11.0\", \"request\": {\"packageSize\": 4096}}";
  const std::vector<std::uint8_t> bytes(text.begin(), text.end());
  vovu::HotUpdateJob job;
  if (!ReadAs(bytes, &job))
    Broken("a valid job file was not read");
  CheckLimit(bytes, true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const bool padded = size > 0 && data[size - 1] == 0x01;
  const std::vector<std::uint8_t> bytes(data, data + (padded ? size - 1 : size));
  vovu::HotUpdateJob job;
  const bool read = ReadAs(bytes, &job);
  if (read && vovu::IsValidRequestMetadata(job))
    CheckAcceptedRequest(job);
  if (padded)
    CheckLimit(bytes, read);
  return 0;
}
