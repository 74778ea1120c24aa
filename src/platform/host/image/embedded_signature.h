// The host's reading and checking of a file's embedded signature: a PE image's Authenticode
// signature (see pe_authenticode.h) or an ELF stand-in's signature section (see
// elf_signature.h). The results are the codes WinVerifyTrust gives for the same findings.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <openssl/x509_vfy.h>

#include "platform/authenticode.h"
#include "platform/host/core/openssl_ptr.h"
#include "platform/host/image/pe_authenticode.h"

namespace vovu::platform::host {

// One decoded signature and what it must cover. Owns the message; holds no view of the
// image it came from (the layout's signature view is not used after decoding).
struct EmbeddedSignature {
  enum class Kind { kPe, kElf };
  Kind kind = Kind::kPe;
  Pkcs7Ptr message;

  // PE: the layout, the digest algorithm and image digest that the signed
  // SpcIndirectDataContent names, and that content's value octets (what the signer signed).
  PeSignatureLayout layout;
  const EVP_MD* digestAlgorithm = nullptr;
  std::vector<std::uint8_t> namedDigest;
  std::vector<std::uint8_t> signedContent;

  // ELF: the signature section's contents in the file.
  std::uint64_t sectionOffset = 0;
  std::uint64_t sectionSize = 0;
};

// Finds and decodes the signature of `image`. kTrustSuccess when one was decoded;
// kTrustSubjectFormUnknown when the image is neither PE nor ELF; kTrustNoSignature when it has
// no signature, or one that is malformed (a certificate table or signature section that
// does not parse, a message that is not PKCS #7 signed data of the expected content type,
// an ELF signature section with anything but zeros after the message).
[[nodiscard]] TrustStatus DecodeEmbeddedSignature(std::span<const std::uint8_t> image,
                                                  EmbeddedSignature* signature);

// Checks a decoded signature of `image`, in order: the image digest against the one the
// signature names (kTrustBadDigest); every signer's signature over the content
// (kTrustBadDigest); the first signer's chain, built from the certificates the message
// carries, to a certificate of `roots` at the current time (kCertUntrustedRoot when it ends
// in a self-signed certificate that `roots` lacks, kCertExpired for a certificate outside its
// validity, kCertChaining otherwise); the signer's extended key usage, when it has one,
// includes code signing (kCertWrongUsage). kTrustSuccess when all hold. Revocation and
// countersignature timestamps are not examined.
[[nodiscard]] TrustStatus VerifyEmbeddedSignature(std::span<const std::uint8_t> image,
                                                  const EmbeddedSignature& signature,
                                                  X509_STORE* roots);

// The certificate of the message's first signer, found among the certificates it carries
// (by issuer and serial number); null when there is none. Not owned by the caller.
[[nodiscard]] X509* FirstSignerCertificate(PKCS7* message);

}  // namespace vovu::platform::host
