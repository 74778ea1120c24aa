// Files of the host itself, by their Linux paths (TestMachine::Native gives the path of a
// machine file), and paths quoted for the system's shell. Host-only.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vovu::testing {

// The whole file; empty when it cannot be read.
inline std::string ReadNative(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the file with `bytes`, making its folders.
inline void WriteNative(const std::filesystem::path& path, const std::string& bytes) {
  if (path.has_parent_path())
    std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// `path` in single quotes for sh (the suites' paths hold no single quote).
inline std::string ShellQuote(const std::filesystem::path& path) {
  return "'" + path.string() + "'";
}

}  // namespace vovu::testing
