#include "platform/host/image/pe_authenticode.h"

#include <algorithm>

#include "platform/host/core/byte_reader.h"
#include "platform/host/core/openssl_ptr.h"
#include "platform/host/image/pe_headers.h"

namespace vovu::platform::host {
namespace {

constexpr std::uint64_t kChecksumField = 64;  // same offset in PE32 and PE32+
constexpr std::uint64_t kSizeOfHeadersField = 60;
constexpr std::uint32_t kSecurityDirectoryIndex = 4;
constexpr std::uint64_t kWinCertificateHeaderSize = 8;
constexpr std::uint16_t kWinCertRevision2 = 0x0200;
constexpr std::uint16_t kWinCertTypePkcsSignedData = 0x0002;

}  // namespace

ImageLookup ReadPeSignatureLayout(std::span<const std::uint8_t> bytes, PeSignatureLayout* layout) {
  const ByteReader image(bytes);

  PeHeaders headers;
  if (!ReadPeHeaders(image, &headers))
    return ImageLookup::kNotThisFormat;

  // The certificate table's directory entry; its "address" is a file offset, not an RVA.
  std::uint32_t tableOffset = 0, tableSize = 0, headersSize = 0;
  if (!ReadDataDirectory(image, headers, kSecurityDirectoryIndex, &layout->securityEntryOffset,
                         &tableOffset, &tableSize) ||
      !image.Read32(headers.optional + kSizeOfHeadersField, &headersSize)) {
    return ImageLookup::kMissing;
  }
  layout->checksumOffset = headers.optional + kChecksumField;
  layout->headersSize = headersSize;
  if (tableOffset == 0 || tableSize == 0)
    return ImageLookup::kMissing;
  // The table must close the file: bytes after it would be covered by nothing.
  if (std::uint64_t{tableOffset} + tableSize != image.size() ||
      layout->securityEntryOffset + 8 > headersSize || headersSize > tableOffset) {
    return ImageLookup::kMissing;
  }
  layout->tableOffset = tableOffset;
  layout->tableSize = tableSize;

  // Section data, sorted by file position; it must all lie before the certificate table.
  layout->sections.clear();
  for (std::uint16_t i = 0; i < headers.sectionCount; ++i) {
    const std::uint64_t header = headers.sectionTable + i * kSectionHeaderSize;
    std::uint32_t rawSize = 0, rawPointer = 0;
    if (!image.Read32(header + 16, &rawSize) || !image.Read32(header + 20, &rawPointer))
      return ImageLookup::kNotThisFormat;
    if (rawSize == 0)
      continue;
    if (std::uint64_t{rawPointer} + rawSize > tableOffset)
      return ImageLookup::kMissing;
    layout->sections.push_back({rawPointer, rawSize});
  }
  std::sort(layout->sections.begin(), layout->sections.end(),
            [](const auto& a, const auto& b) { return a.offset < b.offset; });

  // The first certificate: WIN_CERTIFICATE { dwLength, wRevision, wCertificateType, data }.
  std::uint32_t length = 0;
  std::uint16_t revision = 0, type = 0;
  if (!image.Read32(tableOffset, &length) || !image.Read16(tableOffset + 4, &revision) ||
      !image.Read16(tableOffset + 6, &type) || length <= kWinCertificateHeaderSize ||
      length > tableSize || revision != kWinCertRevision2 || type != kWinCertTypePkcsSignedData) {
    return ImageLookup::kMissing;
  }
  layout->signature =
      image.Slice(tableOffset + kWinCertificateHeaderSize, length - kWinCertificateHeaderSize);
  return ImageLookup::kFound;
}

bool ComputePeImageDigest(std::span<const std::uint8_t> image, const PeSignatureLayout& layout,
                          const EVP_MD* algorithm, std::vector<std::uint8_t>* digest) {
  EvpMdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), algorithm, nullptr) != 1)
    return false;
  bool ok = true;
  const auto hash = [&](std::uint64_t from, std::uint64_t to) {
    if (ok && to > from) {
      ok = to <= image.size() &&
           EVP_DigestUpdate(context.get(), image.data() + from, to - from) == 1;
    }
  };

  // 1. The headers, leaving out the CheckSum field and the certificate-table entry.
  hash(0, layout.checksumOffset);
  hash(layout.checksumOffset + 4, layout.securityEntryOffset);
  hash(layout.securityEntryOffset + 8, layout.headersSize);
  // 2. Every section's raw data, in file order.
  std::uint64_t covered = layout.headersSize;
  for (const PeSignatureLayout::Range& section : layout.sections) {
    hash(section.offset, section.offset + section.size);
    covered = std::max(covered, section.offset + section.size);
  }
  // 3. Data past the last section (debug data, padding), up to the certificate table.
  hash(covered, layout.tableOffset != 0 ? layout.tableOffset : image.size());

  unsigned int size = 0;
  digest->assign(EVP_MAX_MD_SIZE, 0);
  if (!ok || EVP_DigestFinal_ex(context.get(), digest->data(), &size) != 1)
    return false;
  digest->resize(size);
  return true;
}

}  // namespace vovu::platform::host
