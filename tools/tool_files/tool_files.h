// Whole-file reads and writes, running a program, and temporary files, for the host's
// developer tools that rewrite executables through objcopy.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace vovu::tools {

// The whole file; false when it cannot be read.
[[nodiscard]] bool ReadFile(const std::filesystem::path& path, std::vector<std::uint8_t>* bytes);

// Replaces the file's content; false when it cannot be written.
[[nodiscard]] bool WriteFile(const std::filesystem::path& path,
                             std::span<const std::uint8_t> bytes);

// Runs a program found on PATH and waits for it; true when it exits with 0.
[[nodiscard]] bool Run(std::vector<std::string> arguments);

// Removes the listed files on every way out of a scope.
struct TemporaryFiles {
  std::vector<std::filesystem::path> paths;
  ~TemporaryFiles();
};

}  // namespace vovu::tools
