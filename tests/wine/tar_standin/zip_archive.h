// A test fixture, not product code: the zip reading of the stand-in for the system's tar.exe
// that the wine stage installs (wine ships no tar.exe). It reads what the release tooling
// writes, a zip archive of stored (uncompressed) members, and refuses everything else with a
// reason: compressed or encrypted members, zip64, archives over several disks, member headers
// that disagree with the central directory, and data whose CRC-32 does not match.
#pragma once

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarstandin {

struct ZipMember {
  std::string name;  // UTF-8, as stored ('/' separators; a trailing '/' marks a directory)
  std::uint32_t crc32 = 0;
  std::uint32_t size = 0;        // stored, so the same in the archive and on disk
  std::uint64_t dataOffset = 0;  // where the member's bytes begin in the archive
};

class ZipArchive {
 public:
  ZipArchive() = default;
  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  // Opens the archive and reads its central directory and every member's local header.
  // False with `error` set when the file cannot be read or is not an archive of this kind.
  bool Open(const std::wstring& path, std::string* error);

  const std::vector<ZipMember>& members() const { return members_; }

  // Copies the member's bytes into `out` (an open file), checking their CRC-32.
  bool CopyMember(const ZipMember& member, HANDLE out, std::string* error);

 private:
  bool ReadAt(std::uint64_t offset, void* buffer, std::uint32_t length);

  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::uint64_t size_ = 0;
  std::vector<ZipMember> members_;
};

}  // namespace tarstandin
