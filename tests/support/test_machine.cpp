#include "support/test_machine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/fault_injection.h"

namespace vovu::testing {
namespace {

std::filesystem::path UniqueTop() {
  static std::atomic<int> counter{0};
  std::random_device random;
  std::ostringstream name;
  name << "vovu-test-" << random() << "-" << counter++;
  return std::filesystem::temp_directory_path() / name.str();
}

}  // namespace

TestMachine::TestMachine() : nativeTop_(UniqueTop()) {
  std::filesystem::create_directories(nativeTop_);
  PrepareMachine(nativeTop_, &dir_, &savedRoot_);
  std::u16string value;
  if (platform::GetEnvironmentValue(u"ProgramData", &value, 32768) > 0)
    savedProgramData_ = value;
  programData_ = JoinPath(dir_, u"ProgramData");
  std::filesystem::create_directories(Native(programData_));
  OpenLikeProgramData(Native(programData_));
  EXPECT_TRUE(platform::SetEnvironmentValue(u"ProgramData", programData_));
}

TestMachine::~TestMachine() {
  platform::ClearFaults();
  platform::SetModulePathForTesting(u"");
  (void)platform::SetEnvironmentValue(u"ProgramData", savedProgramData_);
  RestoreMachine(savedRoot_);
  std::error_code ignored;
  std::filesystem::remove_all(nativeTop_, ignored);
}

std::u16string TestMachine::Path(const std::u16string& relative) const {
  return JoinPath(dir_, relative);
}

void TestMachine::WriteBytes(const std::u16string& windowsPath, const std::string& bytes) {
  std::ofstream out(Native(windowsPath), std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << Native(windowsPath);
}

std::string TestMachine::ReadBytes(const std::u16string& windowsPath) {
  std::ifstream in(Native(windowsPath), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool TestMachine::Exists(const std::u16string& windowsPath) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(Native(windowsPath), ignored));
}

}  // namespace vovu::testing
