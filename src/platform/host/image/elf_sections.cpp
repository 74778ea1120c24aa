#include "platform/host/image/elf_sections.h"

#include "platform/host/core/byte_reader.h"

namespace vovu::platform::host {
namespace {

constexpr std::uint8_t kElfClass32 = 1;
constexpr std::uint8_t kElfClass64 = 2;
constexpr std::uint8_t kElfDataLittle = 1;
constexpr std::uint8_t kElfDataBig = 2;
constexpr std::uint32_t kShtNobits = 8;
constexpr std::uint16_t kShnXindex = 0xFFFF;

// Where the fields this lookup needs sit, for one ELF class.
struct ElfLayout {
  std::uint64_t headerSize;
  std::uint64_t shoff, shentsize, shnum, shstrndx;  // in the file header
  std::uint64_t sectionHeaderSize;
  std::uint64_t name, type, offset, size, link;  // in a section header
  bool wide;                                     // offsets and sizes are 64-bit
};

constexpr ElfLayout kElf32{52, 32, 46, 48, 50, 40, 0, 4, 16, 20, 24, false};
constexpr ElfLayout kElf64{64, 40, 58, 60, 62, 64, 0, 4, 24, 32, 40, true};

struct SectionHeader {
  std::uint32_t name = 0;
  std::uint32_t type = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint32_t link = 0;
};

class ElfImage {
 public:
  ElfImage(const ByteReader& reader, const ElfLayout& layout) : reader_(reader), layout_(layout) {}

  bool ReadAddress(std::uint64_t at, std::uint64_t* value) const {
    if (layout_.wide)
      return reader_.Read64(at, value);
    std::uint32_t narrow = 0;
    if (!reader_.Read32(at, &narrow))
      return false;
    *value = narrow;
    return true;
  }

  bool ReadSection(std::uint64_t table, std::uint64_t index, SectionHeader* header) const {
    const std::uint64_t at = table + index * layout_.sectionHeaderSize;
    return reader_.Contains(at, layout_.sectionHeaderSize) &&
           reader_.Read32(at + layout_.name, &header->name) &&
           reader_.Read32(at + layout_.type, &header->type) &&
           ReadAddress(at + layout_.offset, &header->offset) &&
           ReadAddress(at + layout_.size, &header->size) &&
           reader_.Read32(at + layout_.link, &header->link);
  }

 private:
  const ByteReader& reader_;
  const ElfLayout& layout_;
};

}  // namespace

ImageLookup FindElfSection(std::span<const std::uint8_t> bytes, std::string_view name,
                           std::span<const std::uint8_t>* contents) {
  std::uint8_t ident[6] = {};
  const ByteReader raw(bytes);
  for (std::uint64_t i = 0; i < 6; ++i) {
    if (!raw.Read8(i, &ident[i]))
      return ImageLookup::kNotThisFormat;
  }
  if (ident[0] != 0x7F || ident[1] != 'E' || ident[2] != 'L' || ident[3] != 'F') {
    return ImageLookup::kNotThisFormat;
  }
  const ElfLayout* layout = ident[4] == kElfClass32   ? &kElf32
                            : ident[4] == kElfClass64 ? &kElf64
                                                      : nullptr;
  if (layout == nullptr || (ident[5] != kElfDataLittle && ident[5] != kElfDataBig)) {
    return ImageLookup::kNotThisFormat;
  }
  const ByteReader reader(bytes, ident[5] == kElfDataBig);
  const ElfImage image(reader, *layout);

  // The section header table; a count or string-table index too large for the header is kept
  // in section 0 (extended numbering).
  std::uint64_t table = 0;
  std::uint16_t entrySize = 0, count16 = 0, stringIndex16 = 0;
  if (!reader.Contains(0, layout->headerSize) || !image.ReadAddress(layout->shoff, &table) ||
      !reader.Read16(layout->shentsize, &entrySize) || !reader.Read16(layout->shnum, &count16) ||
      !reader.Read16(layout->shstrndx, &stringIndex16)) {
    return ImageLookup::kNotThisFormat;
  }
  if (table == 0)
    return ImageLookup::kMissing;  // no section headers at all
  if (entrySize != layout->sectionHeaderSize)
    return ImageLookup::kNotThisFormat;
  SectionHeader first;
  if (!image.ReadSection(table, 0, &first))
    return ImageLookup::kNotThisFormat;
  const std::uint64_t count = count16 != 0 ? count16 : first.size;
  const std::uint64_t stringIndex = stringIndex16 != kShnXindex ? stringIndex16 : first.link;
  if (count > reader.size() / layout->sectionHeaderSize ||
      !reader.Contains(table, count * layout->sectionHeaderSize) || stringIndex >= count) {
    return ImageLookup::kNotThisFormat;
  }
  SectionHeader strings;
  if (!image.ReadSection(table, stringIndex, &strings) ||
      !reader.Contains(strings.offset, strings.size)) {
    return ImageLookup::kNotThisFormat;
  }
  const std::span<const std::uint8_t> names = reader.Slice(strings.offset, strings.size);

  for (std::uint64_t i = 1; i < count; ++i) {
    SectionHeader section;
    if (!image.ReadSection(table, i, &section))
      return ImageLookup::kNotThisFormat;
    // The name must be followed by its NUL inside the string table.
    if (section.name >= names.size() || names.size() - section.name <= name.size() ||
        names[section.name + name.size()] != 0 ||
        std::string_view(reinterpret_cast<const char*>(names.data()) + section.name, name.size()) !=
            name) {
      continue;
    }
    if (section.type == kShtNobits || !reader.Contains(section.offset, section.size)) {
      return ImageLookup::kMissing;
    }
    *contents = reader.Slice(section.offset, section.size);
    return ImageLookup::kFound;
  }
  return ImageLookup::kMissing;
}

}  // namespace vovu::platform::host
