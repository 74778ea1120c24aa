// Fuzzes the host's Authenticode over arbitrary bytes as the package's korvaCF.exe: the
// embedded signature found and decoded (the PE certificate table's PKCS #7 message, or the
// ELF stand-in's signature section), then checked against the image, once with an empty root
// store and once with a root that signed the seed images (fuzz/data/signing-ca.pem).
//
// Invariants: no crash, leak or overrun inside OpenSSL's decoding or ours; a decoded
// signature holds its message and, for a PE image, a known digest algorithm; nothing
// is ever trusted without a trusted root; and whatever is trusted really has the image
// digest its signature names (recomputed here from the layout) and a first signer. The same
// bytes as a file go through the service's own check (trust, then the signer's thumbprint,
// with the seeds' root in the machine's root store): it must agree with the check in memory,
// and the thumbprint it names the publisher by must be the SHA-1 of the first signer's
// certificate, never of another certificate the message carries.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include "platform/authenticode.h"
#include "platform/host/image/elf_signature.h"
#include "platform/host/image/embedded_signature.h"
#include "platform/host/image/pe_authenticode.h"
#include "platform/host/image/root_store.h"
#include "state/authenticode_verify.h"
#include "support/fuzz_machine.h"

namespace {

namespace host = vovu::platform::host;
using vovu::fuzzing::Broken;

host::X509StorePtr gEmptyStore;
host::X509StorePtr gSeedStore;
constexpr char16_t kImageFile[] = u"C:\\scratch\\korvaCF.exe";
std::string gHostImageFile;

// The SHA-1 of the certificate's DER encoding in lower-case hex.
std::u16string Thumbprint(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0)
    Broken("a signer certificate that cannot be encoded");
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(der, static_cast<std::size_t>(length), digest);
  OPENSSL_free(der);
  std::u16string hex;
  for (unsigned char byte : digest) {
    hex.push_back(u"0123456789abcdef"[byte >> 4]);
    hex.push_back(u"0123456789abcdef"[byte & 15]);
  }
  return hex;
}

// The service's check of the same bytes as a file: whether it trusts them, and by which
// thumbprint it names the publisher.
bool TrustedAsFile(const std::vector<std::uint8_t>& bytes, std::u16string* thumbprint) {
  vovu::fuzzing::WriteHostFile(gHostImageFile, bytes);
  bool trusted = false;
  std::u16string error;
  vovu::VerifyAuthenticode(kImageFile, &trusted, thumbprint, &error);
  return trusted;
}

host::X509StorePtr StoreWith(const std::vector<std::uint8_t>& pem) {
  host::X509StorePtr store(X509_STORE_new());
  host::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  host::X509Ptr root(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!store || !root || X509_STORE_add_cert(store.get(), root.get()) != 1)
    Broken("cannot make the seed root store");
  return store;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vovu::fuzzing::UseFreshMachine();
  gHostImageFile = vovu::fuzzing::HostPathOf(kImageFile);
  vovu::fuzzing::WriteHostFile(
      host::RootStorePath() + "/signing-ca.pem",
      vovu::fuzzing::ReadHostFile(vovu::fuzzing::FuzzDataPath("signing-ca.pem")));
  gEmptyStore.reset(X509_STORE_new());
  gSeedStore =
      StoreWith(vovu::fuzzing::ReadHostFile(vovu::fuzzing::FuzzDataPath("signing-ca.pem")));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  const std::span<const std::uint8_t> image(bytes.data(), bytes.size());
  std::u16string thumbprint;
  const bool trustedAsFile = TrustedAsFile(bytes, &thumbprint);
  host::EmbeddedSignature signature;
  if (host::DecodeEmbeddedSignature(image, &signature) != vovu::platform::kTrustSuccess) {
    if (trustedAsFile)
      Broken("a file trusted whose signature does not decode");
    return 0;
  }
  if (!signature.message)
    Broken("a signature decoded without its message");
  const bool pe = signature.kind == host::EmbeddedSignature::Kind::kPe;
  // A named digest of another size than its algorithm's decodes (it never matches the image
  // and is refused as a bad digest); the algorithm itself must be known.
  if (pe && signature.digestAlgorithm == nullptr)
    Broken("a PE signature decoded without a known digest algorithm");
  if (!pe && (signature.sectionOffset > image.size() ||
              signature.sectionSize > image.size() - signature.sectionOffset)) {
    Broken("an ELF signature section outside the image");
  }
  if (host::VerifyEmbeddedSignature(image, signature, gEmptyStore.get()) ==
      vovu::platform::kTrustSuccess) {
    Broken("a signature trusted without any trusted root");
  }
  const bool trusted = host::VerifyEmbeddedSignature(image, signature, gSeedStore.get()) ==
                       vovu::platform::kTrustSuccess;
  if (trusted != trustedAsFile)
    Broken("the file's check and the check in memory disagree");
  if (!trusted)
    return 0;
  X509* signer = host::FirstSignerCertificate(signature.message.get());
  if (signer == nullptr)
    Broken("a trusted signature without a first signer");
  if (!thumbprint.empty() && thumbprint != Thumbprint(signer))
    Broken("the publisher named by another certificate than the first signer's");
  if (pe) {
    std::vector<std::uint8_t> digest;
    if (!host::ComputePeImageDigest(image, signature.layout, signature.digestAlgorithm, &digest) ||
        digest != signature.namedDigest) {
      Broken("a trusted PE image whose digest is not the one its signature names");
    }
  }
  return 0;
}
