// stamp-version: writes a version block into a host (ELF) stand-in executable.
//
//   stamp-version FILE PRODUCTVERSION [FILEVERSION]
//
// Versions are a.b.c.d (missing parts 0, each at most 65535); FILEVERSION defaults to
// PRODUCTVERSION. The block goes into the section the host's version queries read, added or
// replaced by objcopy in a temporary copy that is then renamed over FILE. Exit code 0 on
// success, 1 with a message on stderr otherwise.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "platform/host/elf_sections.h"
#include "platform/version_resource.h"
#include "version_block_writer.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vovu::platform::host::ImageLookup;

int Fail(const std::string& message) {
  std::fprintf(stderr, "stamp-version: %s\n", message.c_str());
  return 1;
}

bool ReadFile(const fs::path& path, std::vector<std::uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

// Runs a program found on PATH and waits for it; true when it exits with 0.
bool Run(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Removes the temporary files on every way out.
struct TemporaryFiles {
  std::vector<fs::path> paths;
  ~TemporaryFiles() {
    std::error_code ignored;
    for (const fs::path& path : paths)
      fs::remove(path, ignored);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    return Fail("usage: stamp-version FILE PRODUCTVERSION [FILEVERSION]");
  }
  const fs::path target = argv[1];
  vovu::stamp::FourPartVersion productVersion{};
  vovu::stamp::FourPartVersion fileVersion{};
  if (!vovu::stamp::ParseFourPartVersion(argv[2], &productVersion)) {
    return Fail(std::string("invalid product version: ") + argv[2]);
  }
  fileVersion = productVersion;
  if (argc == 4 && !vovu::stamp::ParseFourPartVersion(argv[3], &fileVersion)) {
    return Fail(std::string("invalid file version: ") + argv[3]);
  }

  std::vector<std::uint8_t> image;
  if (!ReadFile(target, &image))
    return Fail("cannot read " + target.string());
  std::span<const std::uint8_t> existing;
  const ImageLookup lookup =
      vovu::platform::host::FindElfSection(image, vovu::platform::kElfVersionSection, &existing);
  if (lookup == ImageLookup::kNotThisFormat)
    return Fail(target.string() + " is not an ELF file");

  TemporaryFiles temporaries;
  const fs::path blockPath = target.string() + ".version-block.tmp";
  const fs::path stampedPath = target.string() + ".stamped.tmp";
  temporaries.paths = {blockPath, stampedPath};
  if (!WriteFile(blockPath, vovu::stamp::BuildVersionBlock(productVersion, fileVersion))) {
    return Fail("cannot write " + blockPath.string());
  }

  const std::string section = vovu::platform::kElfVersionSection;
  const std::string option = lookup == ImageLookup::kFound ? "--update-section" : "--add-section";
  if (!Run({"objcopy", option, section + "=" + blockPath.string(), target.string(),
            stampedPath.string()})) {
    return Fail("objcopy failed on " + target.string());
  }

  std::error_code error;
  const fs::perms permissions = fs::status(target, error).permissions();
  if (!error)
    fs::permissions(stampedPath, permissions, error);
  if (!error)
    fs::rename(stampedPath, target, error);
  if (error)
    return Fail("cannot replace " + target.string() + ": " + error.message());
  return 0;
}
