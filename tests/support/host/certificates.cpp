#include "support/host/certificates.h"

#include <cstdlib>

#include "support/host/native_files.h"

namespace vovu::testing {

namespace fs = std::filesystem;

namespace {

// Runs `command` quietly in `dir`; true when it exits with 0.
bool ShellIn(const fs::path& dir, const std::string& command) {
  return std::system(("(cd " + ShellQuote(dir) + " && " + command + ") >/dev/null 2>&1").c_str()) ==
         0;
}

}  // namespace

bool MakeCertificates(const fs::path& dir, const std::vector<CertificateRequest>& requests) {
  std::error_code error;
  fs::create_directories(dir, error);
  std::string command = "true";
  for (const CertificateRequest& r : requests) {
    command += " && openssl req -x509 -newkey ";
    command +=
        r.key == CertificateKey::kRsa ? "rsa:2048" : "ec -pkeyopt ec_paramgen_curve:prime256v1";
    command += " -nodes -days 30 -subj /CN=" + r.name + " -keyout " + r.name + ".key -out " +
               r.name + ".pem";
    if (r.issuer.empty()) {
      command += " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign";
    } else {
      command += " -CA " + r.issuer + ".pem -CAkey " + r.issuer +
                 ".key -addext basicConstraints=CA:FALSE -addext "
                 "keyUsage=critical,digitalSignature -addext extendedKeyUsage=" +
                 r.extendedKeyUsage;
    }
    if (!r.subjectAltNames.empty())
      command += " -addext subjectAltName=" + r.subjectAltNames;
    if (r.serial != 0)
      command += " -set_serial " + std::to_string(r.serial);
  }
  return ShellIn(dir, command);
}

std::string CertificateThumbprint(const fs::path& dir, const std::string& name) {
  const std::string out = name + ".thumbprint";
  if (!ShellIn(dir, "openssl x509 -noout -fingerprint -sha1 -in " + name +
                        ".pem | sed 's/.*=//; s/://g' | tr A-F a-f > " + out))
    return "";
  std::string thumbprint = ReadNative(dir / out);
  while (!thumbprint.empty() && (thumbprint.back() == '\n' || thumbprint.back() == '\r'))
    thumbprint.pop_back();
  return thumbprint.size() == 40 ? thumbprint : "";
}

}  // namespace vovu::testing
