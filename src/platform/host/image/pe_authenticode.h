// The Authenticode view of a PE image (PE32 or PE32+): where its signature lies and the
// image digest that the signature must name.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <openssl/evp.h>

#include "platform/host/image/image_lookup.h"

namespace vovu::platform::host {

// The parts of a PE image that Authenticode leaves out of the digest, and the signature.
struct PeSignatureLayout {
  std::uint64_t checksumOffset = 0;       // the optional header's CheckSum field (4 bytes)
  std::uint64_t securityEntryOffset = 0;  // data directory 4, the certificate table (8 bytes)
  std::uint64_t headersSize = 0;          // SizeOfHeaders
  struct Range {
    std::uint64_t offset;
    std::uint64_t size;
  };
  std::vector<Range> sections;    // raw data of sections with any, in file order
  std::uint64_t tableOffset = 0;  // the certificate table; 0 when the image has none
  std::uint64_t tableSize = 0;
  // The first certificate of the table when it is a PKCS #7 signed-data blob (WIN_CERTIFICATE
  // revision 0x0200, type 0x0002); empty otherwise. Views into the image.
  std::span<const std::uint8_t> signature;
};

// Reads the layout of `image`.
//
// kNotThisFormat: no DOS header, no "PE\0\0" signature, an unknown optional-header magic, or
// headers that run past the end of the image. kMissing: a PE image without a certificate
// table (or with fewer than five data directories), one whose first certificate is not
// PKCS #7 signed data, or one whose certificate table or section data lie outside the image
// or overlap each other, so that no digest can be taken. kFound: `signature` is set.
[[nodiscard]] ImageLookup ReadPeSignatureLayout(std::span<const std::uint8_t> image,
                                                PeSignatureLayout* layout);

// The Authenticode image digest with `algorithm`: the headers without the CheckSum field and
// the certificate-table entry, then each section's raw data in file order, then whatever
// follows the last section up to the certificate table (or the end of the image).
[[nodiscard]] bool ComputePeImageDigest(std::span<const std::uint8_t> image,
                                        const PeSignatureLayout& layout, const EVP_MD* algorithm,
                                        std::vector<std::uint8_t>* digest);

}  // namespace vovu::platform::host
