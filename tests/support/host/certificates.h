// Certificates made by the openssl tool for a suite: EC P-256 keys (RSA 2048 on request), valid
// for 30 days, each written as NAME.pem and NAME.key into one folder. Host-only.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vovu::testing {

// RSA for what checks no ECDSA signatures (wine's Authenticode and TLS).
enum class CertificateKey { kEc, kRsa };

struct CertificateRequest {
  std::string name;
  std::string issuer;  // the name of a certificate made before it; empty: a self-signed root
  std::string extendedKeyUsage;  // "codeSigning", "serverAuth"; only for a leaf
  std::string subjectAltNames;   // "DNS:a,DNS:b" or empty
  int serial = 0;                // 0: openssl picks one
  CertificateKey key = CertificateKey::kEc;
};

// A self-signed root named `name`.
inline CertificateRequest RootCertificate(const std::string& name) {
  return {name, "", "", "", 0};
}

// Makes the certificates in `dir` (made if missing), in order; false when openssl failed.
[[nodiscard]] bool MakeCertificates(const std::filesystem::path& dir,
                                    const std::vector<CertificateRequest>& requests);

// The SHA-1 thumbprint of `dir`/`name`.pem, 40 lower-case hex digits; empty on failure.
[[nodiscard]] std::string CertificateThumbprint(const std::filesystem::path& dir,
                                                const std::string& name);

}  // namespace vovu::testing
