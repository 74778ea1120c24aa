// Small helpers shared by the host implementation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vovu::platform::host {

// Moves a new descriptor above 0-2, so a handle is never mistaken for "no handle" (0) and
// standard streams closed by a detached process are never reused. Returns the descriptor
// to use (or -1 with errno set); the original is closed when it was moved.
[[nodiscard]] int AboveStdio(int fd);

// Reads exactly `size` bytes from `fd` (retrying after signals); false at the end of the
// stream or on an error.
[[nodiscard]] bool ReadAll(int fd, void* data, std::size_t size);

// Writes all `size` bytes to `fd` (retrying after signals), giving up silently on an error.
void WriteAll(int fd, const void* data, std::size_t size);

// The NUL-terminated pointer array execve takes, into `strings` (which must outlive it).
[[nodiscard]] std::vector<char*> ExecPointers(std::vector<std::string>& strings);

// In a forked child about to exec a detached program: every signal unblocked, the ones the
// service handles back at their defaults, standard handles on /dev/null, and every other
// descriptor closed on exec. Async-signal-safe.
void PrepareChildForExec();

// Equal byte strings after mapping ASCII A-Z to a-z.
[[nodiscard]] bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b);

// Reads the whole file at a Windows path through the file layer (read sharing), refusing
// files larger than `maxSize` with 8; false with the last error set on failure. A file that
// shrinks while it is read gives what there was.
[[nodiscard]] bool ReadWholeFile(const std::u16string& path, std::vector<std::uint8_t>* bytes,
                                 std::int64_t maxSize);

}  // namespace vovu::platform::host
