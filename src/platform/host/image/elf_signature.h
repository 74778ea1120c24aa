// The host's convention for a signed ELF stand-in.
//
// The ELF section named kElfSignatureSection (platform/authenticode.h) holds a PKCS #7
// signed-data message in DER, detached, whose content is the 32-byte SHA-256 digest of the
// whole file as it is with that section's contents replaced by zero bytes. Only zero bytes
// may follow the message inside the section: the signing tool (tools/sign_elf) reserves the
// section before it knows the message's exact length. Every other byte of the file, the ELF
// headers and the section's own header included, is covered by the digest.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "platform/host/image/image_lookup.h"

namespace vovu::platform::host {

using ElfSignedDigest = std::array<std::uint8_t, 32>;

// Finds the signature section of `image`: `*offset` is the file offset of its contents and
// `*contents` views them. The results of FindElfSection.
[[nodiscard]] ImageLookup FindElfSignatureSection(std::span<const std::uint8_t> image,
                                                  std::uint64_t* offset,
                                                  std::span<const std::uint8_t>* contents);

// The digest the signature covers: SHA-256 of `image` with the `size` bytes at `offset`
// taken as zeros. False when the range lies outside the image or hashing fails.
[[nodiscard]] bool ComputeElfSignedDigest(std::span<const std::uint8_t> image, std::uint64_t offset,
                                          std::uint64_t size, ElfSignedDigest* digest);

}  // namespace vovu::platform::host
