// SHA-256 digests as 64 lower-case hexadecimal characters.
#pragma once

#include <cstddef>
#include <string>

namespace vovu {

// Two lower-case hex digits per byte, high nibble first; empty input gives empty text.
[[nodiscard]] std::u16string BytesToHex(const void* bytes, std::size_t length);

// Digest of the text's UTF-16LE code units (2 bytes each, no terminator). `hex` is written
// only on success; false when the system's SHA-256 is unavailable.
[[nodiscard]] bool Sha256HexOfWideText(const std::u16string& text, std::u16string* hex);

// Digest of the text's UTF-8 encoding (no terminator). `hex` is written only on success.
[[nodiscard]] bool Sha256HexOfUtf8(const std::u16string& text, std::u16string* hex);

// Digest of a whole file streamed in 64 KiB chunks (read sharing only while hashing).
// Failures: "open failed: " + FormatWin32Error, "BCryptOpenAlgorithmProvider failed",
// "BCryptCreateHash failed", "ReadFile failed".
[[nodiscard]] bool FileSha256Hex(const std::u16string& path, std::u16string* hex,
                                 std::u16string* error);

}  // namespace vovu
