// A flat zip archive of stored (uncompressed) entries, written in one pass over each input
// after a first pass that measured it: what the system tar lists and extracts, with nothing
// but the entries' own names in it (no folders, no paths).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vovu::tools {

// One input file: its name in the archive and where it is read from.
struct ZipInput {
  std::string name;
  std::filesystem::path source;
};

// What the first pass learnt of an input.
struct ZipEntryFacts {
  std::uint64_t size = 0;
  std::uint32_t crc32 = 0;
  std::string sha256;  // 64 lower-case hex digits
};

// Reads `source` once: its size, CRC-32 and SHA-256. False when it cannot be read.
[[nodiscard]] bool MeasureFile(const std::filesystem::path& source, ZipEntryFacts* facts);

// The size of the archive that WriteStoredZip makes of entries with these names and sizes.
[[nodiscard]] std::uint64_t StoredZipSize(const std::vector<ZipInput>& inputs,
                                          const std::vector<ZipEntryFacts>& facts);

// Writes the archive to `target` (replacing it) with the inputs in order, their content copied
// as it is. Entries carry a fixed time stamp (1980-01-01 00:00), so the same files always
// make the same archive. The archive must stay below 4 GiB (no zip64). False with a reason.
[[nodiscard]] bool WriteStoredZip(const std::filesystem::path& target,
                                  const std::vector<ZipInput>& inputs,
                                  const std::vector<ZipEntryFacts>& facts, std::string* error);

}  // namespace vovu::tools
