// A fresh, empty place for one test.
//
// On the host it is a new machine root (VOVU_MACHINE_ROOT) with a drive C:; on Windows a
// new temporary directory. "ProgramData" points into it, so each test's protected tree is
// its own. The previous values are restored when the object goes.
#pragma once

#include <filesystem>
#include <string>

namespace vovu::testing {

class TestMachine {
 public:
  TestMachine();
  ~TestMachine();
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  // The Windows path of an empty scratch directory of this test.
  [[nodiscard]] const std::u16string& Dir() const { return dir_; }
  // JoinPath(Dir(), relative).
  [[nodiscard]] std::u16string Path(const std::u16string& relative) const;
  // The Windows path of the program-data folder this test uses.
  [[nodiscard]] const std::u16string& ProgramData() const { return programData_; }

  // The native path of a Windows path, for checking results with std::filesystem.
  [[nodiscard]] static std::filesystem::path Native(const std::u16string& windowsPath);

  // Whole-file helpers that bypass the code under test.
  static void WriteBytes(const std::u16string& windowsPath, const std::string& bytes);
  [[nodiscard]] static std::string ReadBytes(const std::u16string& windowsPath);
  [[nodiscard]] static bool Exists(const std::u16string& windowsPath);

 private:
  std::filesystem::path nativeTop_;
  std::u16string dir_;
  std::u16string programData_;
  std::u16string savedProgramData_;
  std::string savedRoot_;
};

// Where this target's machine is set up: host-only or Windows-only details.
void PrepareMachine(const std::filesystem::path& top, std::u16string* scratch,
                    std::string* savedState);
void RestoreMachine(const std::string& savedState);
// Gives the program-data folder at `native` the rights it has on Windows: every user may
// create folders in it (the host: root's, world-writable and sticky).
void OpenLikeProgramData(const std::filesystem::path& native);

}  // namespace vovu::testing
