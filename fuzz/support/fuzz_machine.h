// What the fuzz targets share: a throwaway emulated machine for the readers that go through
// the platform layer, a few whole-file helpers that bypass the code under test, and the way
// a target reports a broken invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vovu::fuzzing {

// Makes a new machine root below the temporary directory (removed when the process exits
// normally), with a drive C: and its ProgramData folder, and points VOVU_MACHINE_ROOT,
// ProgramData and the module path (C:\Program Files\Korva\vovudidavuda.exe) at it. Every
// file the readers touch then lies in this machine. Aborts when it cannot be made.
void UseFreshMachine();

// The host path of a Windows path of the current machine. Aborts when it has none.
[[nodiscard]] std::string HostPathOf(const std::u16string& windowsPath);

// Writes `bytes` to the host path, creating its parent folders. Aborts on failure.
void WriteHostFile(const std::string& path, const void* bytes, std::size_t size);
void WriteHostFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Reads a whole host file. Aborts when it cannot be read.
[[nodiscard]] std::vector<std::uint8_t> ReadHostFile(const std::string& path);

// True when anything exists at the host path (a dangling link included).
[[nodiscard]] bool HostEntryExists(const std::string& path);

// The folder of fixed inputs beside the targets' sources (fuzz/data), as a host path.
[[nodiscard]] std::string FuzzDataPath(const char* name);

// Reports a broken invariant on standard error and stops the process as a crash, so the
// fuzzer keeps the input.
[[noreturn]] void Broken(const char* what);

}  // namespace vovu::fuzzing
