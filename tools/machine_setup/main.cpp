// machine-setup: lays out a fresh machine root for the host's emulated Windows machine.
//
//   machine-setup [ROOT]
//
// ROOT defaults to $VOVU_MACHINE_ROOT. Creates drive C: with the folders a Windows
// machine has (Windows\System32, ProgramData, Program Files, Users) and provides
// C:\Windows\System32\tar.exe as the host's bsdtar, which reads zip as the Windows tar does.
// Running it again on an existing root changes nothing that is already there.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/host/machine_root.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kBsdtarCandidates[] = {"/usr/bin/bsdtar", "/bin/bsdtar"};

bool MakeDirectory(const fs::path& path) {
  std::error_code error;
  fs::create_directories(path, error);
  if (error) {
    std::fprintf(stderr, "machine-setup: cannot create %s: %s\n", path.c_str(),
                 error.message().c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: machine-setup [ROOT]\n");
    return 2;
  }
  const std::string root = argc == 2 ? argv[1] : vovu::platform::host::MachineRoot();
  const fs::path drive = fs::path(root) / "drive_c";
  for (const char* folder : {"Windows/System32", "ProgramData", "Program Files", "Users"}) {
    if (!MakeDirectory(drive / folder))
      return 1;
  }
  const fs::path tar = drive / "Windows/System32/tar.exe";
  std::error_code error;
  if (!fs::exists(fs::symlink_status(tar, error))) {
    const char* bsdtar = nullptr;
    for (const char* candidate : kBsdtarCandidates) {
      if (access(candidate, X_OK) == 0) {
        bsdtar = candidate;
        break;
      }
    }
    if (bsdtar == nullptr) {
      std::fprintf(stderr, "machine-setup: bsdtar not found (Debian package libarchive-tools)\n");
      return 1;
    }
    fs::create_symlink(bsdtar, tar, error);
    if (error) {
      std::fprintf(stderr, "machine-setup: cannot link %s: %s\n", tar.c_str(),
                   error.message().c_str());
      return 1;
    }
  }
  std::printf("%s\n", root.c_str());
  return 0;
}
