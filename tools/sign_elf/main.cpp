// sign-elf: signs a host (ELF) stand-in executable with the host's signature convention.
//
//   sign-elf FILE CERT.pem KEY.pem [CHAIN.pem]
//
// CERT.pem is the signer's certificate, KEY.pem its private key (both PEM, the key not
// encrypted), CHAIN.pem optional further certificates to carry in the signature (an
// intermediate, or the root). The signature section (platform/host/elf_signature.h) is first
// reserved with zeros by objcopy, added or replaced, in a temporary copy; the copy's digest
// is then signed and the message written into the reserved bytes, and the copy is renamed
// over FILE. Exit code 0 on success, 1 with a message on stderr otherwise.

#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "platform/authenticode.h"
#include "platform/host/core/openssl_ptr.h"
#include "platform/host/image/elf_signature.h"
#include "tool_files.h"

namespace {

namespace fs = std::filesystem;
using vovu::platform::host::BioPtr;
using vovu::platform::host::ElfSignedDigest;
using vovu::platform::host::EvpPkeyPtr;
using vovu::platform::host::ImageLookup;
using vovu::platform::host::Pkcs7Ptr;
using vovu::platform::host::X509Ptr;
using vovu::tools::ReadFile;
using vovu::tools::Run;
using vovu::tools::TemporaryFiles;
using vovu::tools::WriteFile;

// Room left in the reserved section beyond the length of a trial signature, for signatures
// whose length varies (ECDSA's integers).
constexpr std::size_t kReserveSlack = 64;

void FreeCertificates(STACK_OF(X509) * certificates) {
  sk_X509_pop_free(certificates, X509_free);
}
using CertificatesPtr = vovu::platform::host::OpenSslPtr<STACK_OF(X509), FreeCertificates>;

int Fail(const std::string& message) {
  std::fprintf(stderr, "sign-elf: %s\n", message.c_str());
  return 1;
}

struct Signer {
  X509Ptr certificate;
  EvpPkeyPtr key;
  CertificatesPtr chain{sk_X509_new_null()};
};

bool LoadSigner(const char* certificatePath, const char* keyPath, const char* chainPath,
                Signer* signer) {
  BioPtr certificate(BIO_new_file(certificatePath, "r"));
  BioPtr key(BIO_new_file(keyPath, "r"));
  if (!certificate || !key || !signer->chain)
    return false;
  signer->certificate.reset(PEM_read_bio_X509(certificate.get(), nullptr, nullptr, nullptr));
  signer->key.reset(PEM_read_bio_PrivateKey(key.get(), nullptr, nullptr, nullptr));
  if (!signer->certificate || !signer->key)
    return false;
  if (chainPath != nullptr) {
    BioPtr chain(BIO_new_file(chainPath, "r"));
    if (!chain)
      return false;
    while (X509* extra = PEM_read_bio_X509(chain.get(), nullptr, nullptr, nullptr))
      sk_X509_push(signer->chain.get(), extra);
    if (sk_X509_num(signer->chain.get()) == 0)
      return false;
  }
  return true;
}

// A detached PKCS #7 signed-data message over `digest`, in DER; empty on failure.
std::vector<std::uint8_t> Sign(const Signer& signer, const ElfSignedDigest& digest) {
  BioPtr content(BIO_new_mem_buf(digest.data(), static_cast<int>(digest.size())));
  if (!content)
    return {};
  Pkcs7Ptr message(PKCS7_sign(signer.certificate.get(), signer.key.get(), signer.chain.get(),
                              content.get(), PKCS7_BINARY | PKCS7_DETACHED));
  if (!message)
    return {};
  unsigned char* der = nullptr;
  const int length = i2d_PKCS7(message.get(), &der);
  if (length <= 0)
    return {};
  std::vector<std::uint8_t> bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5)
    return Fail("usage: sign-elf FILE CERT.pem KEY.pem [CHAIN.pem]");
  const fs::path target = argv[1];
  Signer signer;
  if (!LoadSigner(argv[2], argv[3], argc == 5 ? argv[4] : nullptr, &signer))
    return Fail("cannot read the signer's certificate, key or chain");

  std::vector<std::uint8_t> image;
  if (!ReadFile(target, &image))
    return Fail("cannot read " + target.string());
  std::uint64_t offset = 0;
  std::span<const std::uint8_t> existing;
  const ImageLookup lookup =
      vovu::platform::host::FindElfSignatureSection(image, &offset, &existing);
  if (lookup == ImageLookup::kNotThisFormat)
    return Fail(target.string() + " is not an ELF file");

  // 1. Reserve the section: a trial signature tells how long the real one will be.
  const std::vector<std::uint8_t> trial = Sign(signer, ElfSignedDigest{});
  if (trial.empty())
    return Fail("signing failed");
  TemporaryFiles temporaries;
  const fs::path reservedPath = target.string() + ".signature.tmp";
  const fs::path signedPath = target.string() + ".signed.tmp";
  temporaries.paths = {reservedPath, signedPath};
  if (!WriteFile(reservedPath, std::vector<std::uint8_t>(trial.size() + kReserveSlack, 0)))
    return Fail("cannot write " + reservedPath.string());
  const std::string section = vovu::platform::kElfSignatureSection;
  const std::string option = lookup == ImageLookup::kFound ? "--update-section" : "--add-section";
  if (!Run({"objcopy", option, section + "=" + reservedPath.string(), "--set-section-flags",
            section + "=noload,readonly", target.string(), signedPath.string()})) {
    return Fail("objcopy failed on " + target.string());
  }

  // 2. Sign the digest of the file as it now is, and fill the reserved bytes.
  std::span<const std::uint8_t> reserved;
  if (!ReadFile(signedPath, &image) || vovu::platform::host::FindElfSignatureSection(
                                           image, &offset, &reserved) != ImageLookup::kFound) {
    return Fail("cannot find the reserved section in " + signedPath.string());
  }
  ElfSignedDigest digest{};
  if (!vovu::platform::host::ComputeElfSignedDigest(image, offset, reserved.size(), &digest))
    return Fail("cannot digest " + signedPath.string());
  const std::vector<std::uint8_t> signature = Sign(signer, digest);
  if (signature.empty() || signature.size() > reserved.size())
    return Fail("signing failed");
  std::copy(signature.begin(), signature.end(),
            image.begin() + static_cast<std::ptrdiff_t>(offset));
  if (!WriteFile(signedPath, image))
    return Fail("cannot write " + signedPath.string());

  std::error_code error;
  const fs::perms permissions = fs::status(target, error).permissions();
  if (!error)
    fs::permissions(signedPath, permissions, error);
  if (!error)
    fs::rename(signedPath, target, error);
  if (error)
    return Fail("cannot replace " + target.string() + ": " + error.message());
  return 0;
}
