// machine-setup: lays out a fresh machine root for the host's emulated Windows machine.
//
//   machine-setup [ROOT]
//
// ROOT defaults to $VOVU_MACHINE_ROOT (and, without it, to the default root, which it names
// on standard error); an argument that looks like a switch is refused, exit code 2. Creates drive
// C: with the folders a Windows machine has (Windows\System32, ProgramData, Program Files, Users)
// and provides C:\Windows\System32\tar.exe as the host's bsdtar, which reads zip as the Windows tar
// does, and gives the machine its identity: MachineGuid under HKLM\SOFTWARE\Microsoft\Cryptography
// (64-bit view, REG_SZ), a random GUID in lower case. Running it again on an existing root
// changes nothing that is already there.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/host/core/machine_root.h"
#include "platform/registry.h"
#include "tool_common.h"

namespace fs = std::filesystem;

namespace {

constexpr char kUsage[] =
    "usage: machine-setup [ROOT]\n"
    "Lays out a machine root for the emulated Windows machine (default: $VOVU_MACHINE_ROOT)\n"
    "and prints its path. Exit code 0; 1 when it cannot; 2 for a usage error.\n";

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

// A random (version 4) GUID in lower-case 8-4-4-4-12 form.
bool RandomGuid(std::u16string* guid) {
  unsigned char bytes[16];
  std::ifstream random("/dev/urandom", std::ios::binary);
  if (!random.read(reinterpret_cast<char*>(bytes), sizeof(bytes)))
    return false;
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  static const char kHex[] = "0123456789abcdef";
  guid->clear();
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10)
      guid->push_back(u'-');
    guid->push_back(static_cast<char16_t>(kHex[bytes[i] >> 4]));
    guid->push_back(static_cast<char16_t>(kHex[bytes[i] & 0x0f]));
  }
  return true;
}

// Writes MachineGuid unless the machine already has one.
bool SeedMachineGuid() {
  namespace platform = vovu::platform;
  platform::RegistryKey key;
  platform::Win32Error status = platform::CreateRegistryKey(
      platform::kRegistryLocalMachine, u"SOFTWARE\\Microsoft\\Cryptography",
      platform::kKeyRead | platform::kKeySetValue | platform::kKeyWow64_64Key, &key, nullptr);
  if (status == platform::kErrorSuccess) {
    status = platform::QueryRegistryValue(key.get(), u"MachineGuid", nullptr, nullptr, nullptr);
    if (status == platform::kErrorFileNotFound) {
      std::u16string guid;
      if (!RandomGuid(&guid)) {
        std::fprintf(stderr, "machine-setup: cannot read /dev/urandom\n");
        return false;
      }
      const auto size = static_cast<std::uint32_t>((guid.size() + 1) * sizeof(char16_t));
      status = platform::SetRegistryValue(key.get(), u"MachineGuid", platform::kRegSz, guid.c_str(),
                                          size);
    }
  }
  if (status != platform::kErrorSuccess) {
    std::fprintf(stderr, "machine-setup: cannot set MachineGuid: %s\n",
                 vovu::tools::ErrorText(status).c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && vovu::tools::IsHelpArgument(argv[1]))
    return vovu::tools::ShowUsage(kUsage);
  if (argc > 2)
    return vovu::tools::UsageError("machine-setup", "at most one ROOT", kUsage);
  // A switch typed by habit ("--help", "/?") must not become a directory of that name.
  if (argc == 2 && vovu::tools::LooksLikeOption(argv[1])) {
    return vovu::tools::UsageError("machine-setup", std::string("unknown switch: ") + argv[1],
                                   kUsage);
  }
  if (argc == 1)
    vovu::tools::NoteMachineRoot("machine-setup");
  const std::string root = argc == 2 ? argv[1] : vovu::platform::host::MachineRoot();
  const fs::path drive = fs::path(root) / "drive_c";
  for (const char* folder : {"Windows/System32", "ProgramData", "Program Files", "Users"}) {
    if (!MakeDirectory(drive / folder))
      return 1;
  }
  // As on Windows, every user may create folders in ProgramData (none may remove another's),
  // and every user may create a pipe of a new name.
  const fs::path pipes = fs::path(root) / "pipes";
  if (!MakeDirectory(pipes))
    return 1;
  const mode_t open = geteuid() == 0 ? 01777 : 0755;
  chmod((drive / "ProgramData").c_str(), open);
  chmod(pipes.c_str(), open);
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
  // The registry lives in the root this program sets up.
  setenv(vovu::platform::host::kMachineRootVariable, root.c_str(), 1);
  if (!SeedMachineGuid())
    return 1;
  std::printf("%s\n", root.c_str());
  return 0;
}
