#include "support/fuzz_machine.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/environment.h"
#include "platform/host/core/machine_root.h"

namespace vovu::fuzzing {
namespace {

namespace fs = std::filesystem;

fs::path& MachineTop() {
  static fs::path top;
  return top;
}

void RemoveMachine() {
  std::error_code ignored;
  if (!MachineTop().empty())
    fs::remove_all(MachineTop(), ignored);
}

}  // namespace

void UseFreshMachine() {
  std::string pattern = (fs::temp_directory_path() / "vovu-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    Broken("cannot make a machine root");
  MachineTop() = pattern;
  std::atexit(RemoveMachine);
  const fs::path root = MachineTop() / "machine";
  std::error_code error;
  fs::create_directories(root / "drive_c" / "ProgramData", error);
  fs::create_directories(root / "drive_c" / "Program Files" / "Korva", error);
  fs::create_directories(root / "drive_c" / "scratch", error);
  fs::create_directories(root / "pipes", error);
  if (error)
    Broken("cannot lay out the machine root");
  setenv(platform::host::kMachineRootVariable, root.c_str(), 1);
  if (!platform::SetEnvironmentValue(u"ProgramData", u"C:\\ProgramData"))
    Broken("cannot set ProgramData");
  platform::SetModulePathForTesting(u"C:\\Program Files\\Korva\\vovudidavuda.exe");
}

std::string HostPathOf(const std::u16string& windowsPath) {
  std::string host;
  if (!platform::host::ToHostPath(windowsPath, &host))
    Broken("a Windows path without a host path");
  return host;
}

void WriteHostFile(const std::string& path, const void* bytes, std::size_t size) {
  std::error_code ignored;
  fs::create_directories(fs::path(path).parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  if (!out.flush())
    Broken("cannot write a file of the machine");
}

void WriteHostFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  WriteHostFile(path, bytes.data(), bytes.size());
}

std::vector<std::uint8_t> ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    Broken("cannot read a fixed input");
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

bool HostEntryExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::string FuzzDataPath(const char* name) {
  return std::string(VOVU_FUZZ_DATA_DIR) + "/" + name;
}

void Broken(const char* what) {
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::fflush(stderr);
  __builtin_trap();
}

}  // namespace vovu::fuzzing
