// make-certificates DIR SUBJECT_ALT_NAMES: the wine stage's keys, through the suites' own maker
// (support/host/certificates.h). RSA throughout, since wine checks no ECDSA signatures:
//   ca.pem, ca.key                 the stage's root, which the stage adds to the trust bundle
//   server.pem, server.key         the update host's certificate for SUBJECT_ALT_NAMES
//                                  ("DNS:a,DNS:b"), under ca
//   publisher.pem, publisher.key   the code signer under ca, serial 2
//   publisher-chain.pem            publisher.pem followed by ca.pem, for the signing tool
// Exits with 1 when openssl failed, 2 on a wrong command line.
#include <cstdio>
#include <filesystem>

#include "support/host/certificates.h"
#include "support/host/native_files.h"

int main(int argc, char** argv) {
  namespace t = vovu::testing;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DIR SUBJECT_ALT_NAMES\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  constexpr t::CertificateKey kRsa = t::CertificateKey::kRsa;
  t::CertificateRequest ca = t::RootCertificate("ca");
  ca.key = kRsa;
  if (!t::MakeCertificates(dir, {ca,
                                 {"server", "ca", "serverAuth", argv[2], 0, kRsa},
                                 {"publisher", "ca", "codeSigning", "", 2, kRsa}})) {
    std::fprintf(stderr, "openssl could not make the certificates in %s\n", argv[1]);
    return 1;
  }
  t::WriteNative(dir / "publisher-chain.pem",
                 t::ReadNative(dir / "publisher.pem") + t::ReadNative(dir / "ca.pem"));
  return 0;
}
