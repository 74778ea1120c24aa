#include "platform/host/image/pe_resources.h"

#include <algorithm>
#include <optional>

#include "platform/host/core/byte_reader.h"
#include "platform/host/image/pe_headers.h"

namespace vovu::platform::host {
namespace {

constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint32_t kRtVersion = 16;
constexpr std::uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr std::uint32_t kNamedEntryFlag = 0x80000000u;
constexpr std::uint64_t kResourceDirectorySize = 16;
constexpr std::uint64_t kResourceEntrySize = 8;

// The part of the image that the section table maps: RVAs are translated to file offsets
// through it, and a range is usable only when it lies wholly inside one section's raw data.
class SectionMap {
 public:
  SectionMap(const ByteReader& image, std::uint64_t table, std::uint16_t count)
      : image_(image), table_(table), count_(count) {}

  // The file offset of [rva, rva + length), if the whole range is backed by file data.
  std::optional<std::uint64_t> ToFileOffset(std::uint64_t rva, std::uint64_t length) const {
    for (std::uint16_t i = 0; i < count_; ++i) {
      const std::uint64_t header = table_ + i * kSectionHeaderSize;
      std::uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawPointer = 0;
      if (!image_.Read32(header + 8, &virtualSize) ||
          !image_.Read32(header + 12, &virtualAddress) || !image_.Read32(header + 16, &rawSize) ||
          !image_.Read32(header + 20, &rawPointer)) {
        return std::nullopt;
      }
      // Only the raw data is in the file; bytes past it exist only in memory, as zeros.
      const std::uint64_t backed = virtualSize == 0 ? rawSize : std::min(virtualSize, rawSize);
      if (rva < virtualAddress || rva - virtualAddress >= backed)
        continue;
      const std::uint64_t within = rva - virtualAddress;
      if (length > backed - within)
        return std::nullopt;
      const std::uint64_t offset = rawPointer + within;
      if (!image_.Contains(offset, length))
        return std::nullopt;
      return offset;
    }
    return std::nullopt;
  }

 private:
  const ByteReader& image_;
  std::uint64_t table_;
  std::uint16_t count_;
};

// The first entry of a resource directory table at `rva`, or the entry with numeric id `id`
// when one is asked for. Returns the entry's OffsetToData field.
std::optional<std::uint32_t> FindResourceEntry(const ByteReader& image, const SectionMap& sections,
                                               std::uint64_t rva, std::optional<std::uint32_t> id) {
  const std::optional<std::uint64_t> table = sections.ToFileOffset(rva, kResourceDirectorySize);
  if (!table)
    return std::nullopt;
  std::uint16_t namedCount = 0, idCount = 0;
  if (!image.Read16(*table + 12, &namedCount) || !image.Read16(*table + 14, &idCount)) {
    return std::nullopt;
  }
  const std::uint32_t total = std::uint32_t{namedCount} + idCount;
  if (total == 0)
    return std::nullopt;
  const std::optional<std::uint64_t> entries =
      sections.ToFileOffset(rva + kResourceDirectorySize, total * kResourceEntrySize);
  if (!entries)
    return std::nullopt;
  for (std::uint32_t i = 0; i < total; ++i) {
    std::uint32_t name = 0, offsetToData = 0;
    if (!image.Read32(*entries + i * kResourceEntrySize, &name) ||
        !image.Read32(*entries + i * kResourceEntrySize + 4, &offsetToData)) {
      return std::nullopt;
    }
    if (!id || ((name & kNamedEntryFlag) == 0 && name == *id))
      return offsetToData;
  }
  return std::nullopt;
}

}  // namespace

ImageLookup FindPeVersionResource(std::span<const std::uint8_t> bytes,
                                  std::span<const std::uint8_t>* data) {
  const ByteReader image(bytes);

  PeHeaders headers;
  if (!ReadPeHeaders(image, &headers))
    return ImageLookup::kNotThisFormat;
  std::uint64_t entry = 0;
  std::uint32_t resourceRva = 0, resourceSize = 0;
  if (!ReadDataDirectory(image, headers, kResourceDirectoryIndex, &entry, &resourceRva,
                         &resourceSize) ||
      resourceRva == 0 || resourceSize == 0) {
    return ImageLookup::kMissing;
  }

  // The resource tree: type -> name -> language -> data entry. Offsets inside the tree are
  // relative to its root; the data entry holds the RVA of the resource's bytes.
  const SectionMap sections(image, headers.sectionTable, headers.sectionCount);
  const std::optional<std::uint32_t> typeEntry =
      FindResourceEntry(image, sections, resourceRva, kRtVersion);
  if (!typeEntry || (*typeEntry & kSubdirectoryFlag) == 0)
    return ImageLookup::kMissing;
  const std::optional<std::uint32_t> nameEntry = FindResourceEntry(
      image, sections, std::uint64_t{resourceRva} + (*typeEntry & ~kSubdirectoryFlag),
      std::nullopt);
  if (!nameEntry || (*nameEntry & kSubdirectoryFlag) == 0)
    return ImageLookup::kMissing;
  const std::optional<std::uint32_t> languageEntry = FindResourceEntry(
      image, sections, std::uint64_t{resourceRva} + (*nameEntry & ~kSubdirectoryFlag),
      std::nullopt);
  if (!languageEntry || (*languageEntry & kSubdirectoryFlag) != 0)
    return ImageLookup::kMissing;

  const std::optional<std::uint64_t> dataEntry =
      sections.ToFileOffset(std::uint64_t{resourceRva} + *languageEntry, 16);
  std::uint32_t dataRva = 0, dataSize = 0;
  if (!dataEntry || !image.Read32(*dataEntry, &dataRva) ||
      !image.Read32(*dataEntry + 4, &dataSize)) {
    return ImageLookup::kMissing;
  }
  const std::optional<std::uint64_t> dataOffset = sections.ToFileOffset(dataRva, dataSize);
  if (!dataOffset)
    return ImageLookup::kMissing;
  *data = image.Slice(*dataOffset, dataSize);
  return ImageLookup::kFound;
}

}  // namespace vovu::platform::host
