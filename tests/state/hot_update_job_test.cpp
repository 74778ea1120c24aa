#include "state/hot_update_job.h"

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "state/protected_storage.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

HotUpdateJob KnownJob() {
  HotUpdateJob job;
  job.version = u"2.11.0";
  job.createdAt = 13440000000000;
  job.updatedAt = 13440000000123;
  job.packageUrl = u"https://updates.example/p.zip";
  job.packageSha256 = u"ab";
  job.expectedPublisher = u"Korva \"Labs\"";
  job.packageSize = 1234.9;
  job.currentVersion = u"2.10.0";
  job.status = u"staged";
  job.statusMessage = u"line\nbreak\\";
  job.error = u"";
  job.sessionId = platform::kNoSession;
  job.sid = u"S-1-5-21-1-2-3-1001";
  job.jobFile = u"C:\\Users\\A\\job.json";
  job.dir = u"D\\payload";
  job.serviceDir = u"D";
  job.pidHint = 4242;
  job.startedAt = -5;
  job.deadlineAt = 90000;
  return job;
}

TEST(JobFileLayout, ExactBytesOfAKnownRecord) {
  EXPECT_EQ(FormatJobFile(KnownJob()),
            u"{\n"
            u"  \"schemaVersion\": 1,\n"
            u"  \"version\": \"2.11.0\",\n"
            u"  \"createdAt\": 13440000000000,\n"
            u"  \"updatedAt\": 13440000000123,\n"
            u"  \"request\": {\n"
            u"    \"packageUrl\": \"https://updates.example/p.zip\",\n"
            u"    \"packageSha256\": \"ab\",\n"
            u"    \"expectedPublisher\": \"Korva \\\"Labs\\\"\",\n"
            u"    \"packageSize\": 1234,\n"
            u"    \"currentVersion\": \"2.10.0\"\n"
            u"  },\n"
            u"  \"status\": \"staged\",\n"
            u"  \"statusMessage\": \"line\\nbreak\\\\\",\n"
            u"  \"error\": \"\",\n"
            u"  \"owner\": { \"sessionId\": 4294967295, \"sid\": \"S-1-5-21-1-2-3-1001\", "
            u"\"jobFile\": \"C:\\\\Users\\\\A\\\\job.json\" },\n"
            u"  \"staging\": { \"dir\": \"D\\\\payload\", \"serviceDir\": \"D\" },\n"
            u"  \"relaunch\": { \"pidHint\": 4242, \"startedAt\": -5, \"deadlineAt\": 90000 }\n"
            u"}\n");
}

TEST(JobFileLayout, RoundTripKeepsEveryFieldAndControlCharacters) {
  TestMachine machine;
  HotUpdateJob job = KnownJob();
  job.error = std::u16string(u"\x01\x1f\"\\/\u00E9") + char16_t(0xD800);
  job.sessionId = 3;
  const std::u16string path = machine.Path(u"job.json");
  ASSERT_TRUE(WriteJobFile(job, path));
  HotUpdateJob back;
  ASSERT_TRUE(ReadJobFile(path, &back));
  EXPECT_EQ(back.packageSize, 1234);  // written truncated
  // A lone surrogate cannot travel through UTF-8: it comes back as U+FFFD.
  EXPECT_EQ(back.error, std::u16string(u"\x01\x1f\"\\/\u00E9\uFFFD"));
  job.error = back.error;
  EXPECT_EQ(FormatJobFile(back), FormatJobFile(job));
}

TEST(JobFileReading, SectionsAreReadOnlyWhenPresentAndLenientlyUpToTheSizeLimit) {
  TestMachine machine;
  const std::u16string path = machine.Path(u"job.json");
  HotUpdateJob job;
  job.packageUrl = u"kept";
  job.dir = u"kept";
  job.sid = u"kept";
  job.pidHint = 7;
  job.status = u"overwritten";

  TestMachine::WriteBytes(path, "{}");
  ASSERT_TRUE(ReadJobFile(path, &job));
  EXPECT_EQ(job.status, u"");
  EXPECT_EQ(job.packageUrl, u"kept");
  EXPECT_EQ(job.dir, u"kept");
  EXPECT_EQ(job.pidHint, 7u);

  // A section that is not an object empties its fields; owner's session becomes "none".
  TestMachine::WriteBytes(path,
                          "{\"owner\":5,\"request\":[1],\"relaunch\":null,"
                          "\"createdAt\":-12.7,\"version\":3}");
  ASSERT_TRUE(ReadJobFile(path, &job));
  EXPECT_EQ(job.sid, u"");
  EXPECT_EQ(job.sessionId, platform::kNoSession);
  EXPECT_EQ(job.packageUrl, u"");
  EXPECT_EQ(job.pidHint, 0u);
  EXPECT_EQ(job.createdAt, -12);
  EXPECT_EQ(job.version, u"");

  TestMachine::WriteBytes(path, "{\"owner\":{},\"request\":{\"packageSize\":1234.9}}");
  job.sessionId = 1;
  ASSERT_TRUE(ReadJobFile(path, &job));
  EXPECT_EQ(job.sessionId, platform::kNoSession);
  EXPECT_EQ(job.packageSize, 1234.9);

  // The low 32 bits of a larger session number; a duplicated key reads as its first.
  TestMachine::WriteBytes(path,
                          "{\"owner\":{\"sessionId\":4294967298,\"sid\":\"a\",\"sid\":\"b\"}}");
  ASSERT_TRUE(ReadJobFile(path, &job));
  EXPECT_EQ(job.sessionId, 2u);
  EXPECT_EQ(job.sid, u"a");

  std::string padded = "{\"version\":\"9.9.9\"}";
  padded.append(kMaxJobFileBytes - padded.size(), ' ');
  TestMachine::WriteBytes(path, padded);
  ASSERT_TRUE(ReadJobFile(path, &job));
  EXPECT_EQ(job.version, u"9.9.9");
  for (const std::string& bad :
       {padded + " ", std::string("{\"version\":"), std::string("\xEF\xBB\xBF{}")}) {
    TestMachine::WriteBytes(path, bad);
    EXPECT_FALSE(ReadJobFile(path, &job)) << bad.substr(0, 20);
  }
  EXPECT_FALSE(ReadJobFile(machine.Path(u"missing.json"), &job));
}

// The job id of `jobFile` and `sid`; failing to compute it is a test failure.
std::u16string JobId(const std::u16string& jobFile, const std::u16string& sid) {
  std::u16string id;
  EXPECT_TRUE(ComputeJobId(jobFile, sid, &id)) << WideToUtf8(jobFile);
  return id;
}

TEST(JobIdentity, IdsIgnoreAsciiCaseOnlyAndNeedASid) {
  const std::u16string a = JobId(u"C:\\Users\\A\\x\\job.json", u"S-1-5-21-1-2-3-1001");
  EXPECT_EQ(a.size(), 64u);
  EXPECT_EQ(JobId(u"c:\\users\\a\\X\\JOB.JSON", u"s-1-5-21-1-2-3-1001"), a);
  EXPECT_NE(JobId(u"C:\\Users\\A\\x\\job.json", u"S-1-5-21-1-2-3-1002"), a);
  EXPECT_NE(JobId(u"C:\\Users\\\u00C9\\job.json", u"S-1-5-21-1-2-3-1001"),
            JobId(u"C:\\Users\\\u00E9\\job.json", u"S-1-5-21-1-2-3-1001"));

  TestMachine machine;
  std::u16string jobDir;
  std::u16string serviceJobFile;
  std::u16string error;
  ASSERT_TRUE(DeriveJobPaths(u"C:\\j.json", u"S-1-5-18", &jobDir, &serviceJobFile, &error));
  EXPECT_EQ(jobDir, GetHotUpdateDir() + u"\\" + JobId(u"C:\\j.json", u"S-1-5-18"));
  EXPECT_EQ(serviceJobFile, jobDir + u"\\service-job.json");
  EXPECT_FALSE(DeriveJobPaths(u"C:\\j.json", u"", &jobDir, &serviceJobFile, &error));
  EXPECT_EQ(error, u"cannot derive protected hot-update job id");
}

TEST(JobPersistence, WithoutASessionOnlyTheProtectedCopyIsWritten) {
  TestMachine machine;
  HotUpdateJob job = KnownJob();
  job.jobFile = machine.Path(u"user-job.json");
  job.sessionId = platform::kNoSession;
  const std::u16string protectedCopy = machine.Path(u"service-job.json");
  ASSERT_TRUE(PersistJob(job, protectedCopy));
  EXPECT_EQ(TestMachine::ReadBytes(protectedCopy), WideToUtf8(FormatJobFile(job)));
  EXPECT_FALSE(TestMachine::Exists(job.jobFile));
  // The protected write's failure is the result.
  EXPECT_FALSE(PersistJob(job, machine.Path(u"absent\\service-job.json")));
}

}  // namespace
}  // namespace vovu
