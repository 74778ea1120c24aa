// File version resources, in the shape of GetFileVersionInfoSizeW, GetFileVersionInfoW and
// VerQueryValueW(block, "\").
//
// Windows: the real calls. Host: the version resource of a PE file's resource directory,
// or, for the host's ELF stand-ins, the same VS_VERSIONINFO block kept in the ELF section
// named by kElfVersionSection (stamped by tools/stamp-version).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vovu::platform {

inline constexpr char kElfVersionSection[] = ".vovu_version";
inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;

// VS_FIXEDFILEINFO, 52 bytes.
struct FixedFileInfo {
  std::uint32_t signature;
  std::uint32_t structVersion;
  std::uint32_t fileVersionMS;
  std::uint32_t fileVersionLS;
  std::uint32_t productVersionMS;
  std::uint32_t productVersionLS;
  std::uint32_t fileFlagsMask;
  std::uint32_t fileFlags;
  std::uint32_t fileOS;
  std::uint32_t fileType;
  std::uint32_t fileSubtype;
  std::uint32_t fileDateMS;
  std::uint32_t fileDateLS;
};
static_assert(sizeof(FixedFileInfo) == 52);

// The size of the file's version block, 0 on failure (last error: 2 missing file, 1813 no
// version resource, 193 not an executable image).
[[nodiscard]] std::uint32_t GetVersionInfoSize(const std::u16string& path);

// Reads the version block into `block` (resized to `size`).
[[nodiscard]] bool GetVersionInfo(const std::u16string& path, std::uint32_t size,
                                  std::vector<std::uint8_t>* block);

// VerQueryValueW(block, "\"): a pointer into `block` at the fixed file information and its
// length. False when the block has none.
[[nodiscard]] bool QueryRootVersionValue(const std::vector<std::uint8_t>& block, const void** value,
                                         std::uint32_t* length);

}  // namespace vovu::platform
