// Fuzzes the host's Authenticode over arbitrary bytes as the package's korvaCF.exe: the
// embedded signature found and decoded (the PE certificate table's PKCS #7 message, or the
// ELF stand-in's signature section), then checked against the image, once with an empty root
// store and once with a root that signed the seed images (fuzz/data/signing-ca.pem).
//
// Invariants: no crash, leak or overrun inside OpenSSL's decoding or ours; a decoded
// signature holds its message and, for a PE image, a digest of its algorithm's size; nothing
// is ever trusted without a trusted root; and whatever is trusted really has the image
// digest its signature names (recomputed here from the layout) and a first signer.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "platform/authenticode.h"
#include "platform/host/image/elf_signature.h"
#include "platform/host/image/embedded_signature.h"
#include "platform/host/image/pe_authenticode.h"
#include "support/fuzz_machine.h"

namespace {

namespace host = vovu::platform::host;
using vovu::fuzzing::Broken;

host::X509StorePtr gEmptyStore;
host::X509StorePtr gSeedStore;

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
  gEmptyStore.reset(X509_STORE_new());
  gSeedStore =
      StoreWith(vovu::fuzzing::ReadHostFile(vovu::fuzzing::FuzzDataPath("signing-ca.pem")));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  const std::span<const std::uint8_t> image(bytes.data(), bytes.size());
  host::EmbeddedSignature signature;
  if (host::DecodeEmbeddedSignature(image, &signature) != vovu::platform::kTrustSuccess)
    return 0;
  if (!signature.message)
    Broken("a signature decoded without its message");
  const bool pe = signature.kind == host::EmbeddedSignature::Kind::kPe;
  if (pe && (signature.digestAlgorithm == nullptr ||
             signature.namedDigest.size() !=
                 static_cast<std::size_t>(EVP_MD_size(signature.digestAlgorithm)))) {
    Broken("a PE signature decoded without a digest of its algorithm's size");
  }
  if (!pe && (signature.sectionOffset > image.size() ||
              signature.sectionSize > image.size() - signature.sectionOffset)) {
    Broken("an ELF signature section outside the image");
  }
  if (host::VerifyEmbeddedSignature(image, signature, gEmptyStore.get()) ==
      vovu::platform::kTrustSuccess) {
    Broken("a signature trusted without any trusted root");
  }
  if (host::VerifyEmbeddedSignature(image, signature, gSeedStore.get()) !=
      vovu::platform::kTrustSuccess) {
    return 0;
  }
  if (host::FirstSignerCertificate(signature.message.get()) == nullptr)
    Broken("a trusted signature without a first signer");
  if (pe) {
    std::vector<std::uint8_t> digest;
    if (!host::ComputePeImageDigest(image, signature.layout, signature.digestAlgorithm, &digest) ||
        digest != signature.namedDigest) {
      Broken("a trusted PE image whose digest is not the one its signature names");
    }
  }
  return 0;
}
