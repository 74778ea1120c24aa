// Fuzzes the host's structural readers of executable images, what stands in for the system's
// own loader checks on the package's korvaCF.exe: arbitrary bytes as a PE image (headers,
// data directories, the Authenticode layout and image digest) and as an ELF image (named
// sections, the signature section and the digest it covers).
//
// Invariants: nothing is read outside the image (the sanitizers), and whatever a reader
// reports found lies wholly inside it: the section table, every data-directory entry, the
// layout's fields, section data, certificate table and signature (sections in file order and
// clear of the table), an ELF section's contents. A layout found can always be digested, and
// so can a signature section.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <openssl/evp.h>

#include "platform/authenticode.h"
#include "platform/host/image/elf_sections.h"
#include "platform/host/image/elf_signature.h"
#include "platform/host/image/pe_authenticode.h"
#include "platform/host/image/pe_headers.h"
#include "support/fuzz_machine.h"

namespace {

namespace host = vovu::platform::host;
using vovu::fuzzing::Broken;

bool Inside(std::uint64_t offset, std::uint64_t length, std::size_t size) {
  return offset <= size && length <= size - offset;
}

bool Inside(std::span<const std::uint8_t> part, std::span<const std::uint8_t> image) {
  return part.empty() ||
         (part.data() >= image.data() && part.data() + part.size() <= image.data() + image.size());
}

void CheckPe(std::span<const std::uint8_t> image) {
  const host::ByteReader reader(image);
  host::PeHeaders headers;
  if (host::ReadPeHeaders(reader, &headers)) {
    if (!Inside(headers.sectionTable, headers.sectionCount * host::kSectionHeaderSize,
                image.size()) ||
        headers.optional > image.size()) {
      Broken("PE headers accepted that do not lie inside the image");
    }
    for (std::uint32_t index = 0; index < 16; ++index) {
      std::uint64_t entry = 0;
      std::uint32_t address = 0;
      std::uint32_t size = 0;
      if (host::ReadDataDirectory(reader, headers, index, &entry, &address, &size) &&
          !Inside(entry, 8, image.size())) {
        Broken("a data-directory entry outside the image");
      }
    }
  }

  host::PeSignatureLayout layout;
  if (host::ReadPeSignatureLayout(image, &layout) != host::ImageLookup::kFound)
    return;
  if (!Inside(layout.checksumOffset, 4, image.size()) ||
      !Inside(layout.securityEntryOffset, 8, image.size()) || layout.headersSize > image.size() ||
      !Inside(layout.tableOffset, layout.tableSize, image.size()) ||
      !Inside(layout.signature, image) || layout.signature.empty()) {
    Broken("a signature layout reaching outside the image");
  }
  // Sections may overlap (each is digested as it is described, as Windows does), but they are
  // taken in file order.
  std::uint64_t previousOffset = 0;
  for (const host::PeSignatureLayout::Range& range : layout.sections) {
    if (!Inside(range.offset, range.size, image.size()) || range.offset < previousOffset)
      Broken("layout sections outside the image or out of file order");
    if (range.offset < layout.tableOffset + layout.tableSize &&
        layout.tableOffset < range.offset + range.size) {
      Broken("a layout section overlapping the certificate table");
    }
    previousOffset = range.offset;
  }
  std::vector<std::uint8_t> digest;
  if (!host::ComputePeImageDigest(image, layout, EVP_sha256(), &digest) || digest.size() != 32)
    Broken("a layout found that cannot be digested");
}

void CheckElf(std::span<const std::uint8_t> image) {
  for (const char* name : {".text", ".shstrtab", vovu::platform::kElfSignatureSection}) {
    std::span<const std::uint8_t> contents;
    if (host::FindElfSection(image, name, &contents) == host::ImageLookup::kFound &&
        !Inside(contents, image)) {
      Broken("an ELF section's contents outside the image");
    }
  }
  std::uint64_t offset = 0;
  std::span<const std::uint8_t> contents;
  if (host::FindElfSignatureSection(image, &offset, &contents) != host::ImageLookup::kFound)
    return;
  if (!Inside(contents, image) ||
      (!contents.empty() && offset != static_cast<std::uint64_t>(contents.data() - image.data())))
    Broken("the signature section's offset and contents disagree");
  host::ElfSignedDigest digest{};
  if (!host::ComputeElfSignedDigest(image, offset, contents.size(), &digest))
    Broken("a signature section found that cannot be digested");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's size, so a read past its end is caught.
  const std::vector<std::uint8_t> bytes(data, data + size);
  const std::span<const std::uint8_t> image(bytes.data(), bytes.size());
  CheckPe(image);
  CheckElf(image);
  return 0;
}
