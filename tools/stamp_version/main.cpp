// stamp-version: writes a version block into a host (ELF) stand-in executable.
//
//   stamp-version FILE PRODUCTVERSION [FILEVERSION]
//
// Versions are a.b.c.d (missing parts 0, each at most 65535); FILEVERSION defaults to
// PRODUCTVERSION. The block goes into the section the host's version queries read, added or
// replaced by objcopy in a temporary copy that is then renamed over FILE. Exit code 0 on
// success, 1 with a message on stderr otherwise, 2 for a usage error.

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "platform/host/image/elf_sections.h"
#include "platform/version_resource.h"
#include "tool_common.h"
#include "tool_files.h"
#include "version_block_writer.h"

namespace {

namespace fs = std::filesystem;
using vovu::platform::host::ImageLookup;
using vovu::tools::ReadFile;
using vovu::tools::Run;
using vovu::tools::TemporaryFiles;
using vovu::tools::WriteFile;

constexpr char kUsage[] =
    "usage: stamp-version FILE PRODUCTVERSION [FILEVERSION]\n"
    "Writes a version block (a.b.c.d) into a host stand-in executable. Exit code 0; 1 when\n"
    "it cannot; 2 for a usage error.\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "stamp-version: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && vovu::tools::IsHelpArgument(argv[1]))
    return vovu::tools::ShowUsage(kUsage);
  if (argc != 3 && argc != 4)
    return vovu::tools::UsageError("stamp-version", "expected FILE and a version", kUsage);
  const fs::path target = argv[1];
  vovu::stamp::FourPartVersion productVersion{};
  vovu::stamp::FourPartVersion fileVersion{};
  if (!vovu::stamp::ParseFourPartVersion(argv[2], &productVersion)) {
    return vovu::tools::UsageError("stamp-version",
                                   std::string("invalid product version: ") + argv[2], kUsage);
  }
  fileVersion = productVersion;
  if (argc == 4 && !vovu::stamp::ParseFourPartVersion(argv[3], &fileVersion)) {
    return vovu::tools::UsageError("stamp-version", std::string("invalid file version: ") + argv[3],
                                   kUsage);
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
