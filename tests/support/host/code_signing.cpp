#include "support/host/code_signing.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "foundation/text.h"
#include "platform/host/image/root_store.h"
#include "support/host/certificates.h"
#include "support/host/native_files.h"
#include "support/host/pe_image.h"

namespace vovu::testing {
namespace {

namespace fs = std::filesystem;

const char* Name(Signer signer) {
  return signer == Signer::kPublisher ? "signer" : "other";
}

// The keys of this test process, made on first use and removed when it ends.
class Keys {
 public:
  Keys() : dir_(fs::temp_directory_path() / ("vovu-signing-" + std::to_string(::getpid()))) {
    ok_ = MakeCertificates(dir_, {RootCertificate("ca"),
                                  {"signer", "ca", "codeSigning", "", 2},
                                  {"other", "ca", "codeSigning", "", 3}});
    for (const Signer signer : {Signer::kPublisher, Signer::kOther})
      thumbprints_[static_cast<int>(signer)] = CertificateThumbprint(dir_, Name(signer));
  }
  ~Keys() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Runs `command` quietly in the keys' folder; true when it exits with 0.
  bool Shell(const std::string& command) const {
    return std::system(
               ("(cd " + ShellQuote(dir_) + " && " + command + ") >/dev/null 2>&1").c_str()) == 0;
  }

  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] const fs::path& dir() const { return dir_; }
  [[nodiscard]] const std::string& thumbprint(Signer signer) const {
    return thumbprints_[static_cast<int>(signer)];
  }

 private:
  fs::path dir_;
  std::string thumbprints_[2];
  bool ok_ = false;
};

const Keys& TheKeys() {
  static const Keys keys;
  return keys;
}

}  // namespace

bool CanSignPeFiles() {
  return std::system("command -v osslsigncode >/dev/null 2>&1") == 0;
}

void TrustSigningRoot() {
  fs::create_directories(platform::host::RootStorePath());
  fs::copy_file(TheKeys().dir() / "ca.pem", platform::host::RootStorePath() + "/signing-ca.pem",
                fs::copy_options::overwrite_existing);
}

std::u16string SignerThumbprint(Signer signer) {
  return Utf8ToWide(TheKeys().thumbprint(signer));
}

bool SignPeFile(const fs::path& in, const fs::path& out, Signer signer) {
  const std::string name = Name(signer);
  return TheKeys().ok() &&
         TheKeys().Shell("rm -f " + ShellQuote(out) + " && osslsigncode sign -certs " + name +
                         ".pem -key " + name + ".key -in " + ShellQuote(in) + " -out " +
                         ShellQuote(out));
}

const SignedPeFiles& SignedRelease() {
  static const SignedPeFiles files = [] {
    SignedPeFiles made;
    const fs::path dir = TheKeys().dir() / "release";
    fs::create_directories(dir);
    made.unsignedKorvaCf = dir / "korvaCF-unsigned.exe";
    made.unsignedAddon = dir / "addon-unsigned.node";
    made.korvaCf = dir / "korvaCF.exe";
    made.addon = dir / "addon.node";
    made.addonByOther = dir / "addon-other.node";
    const Bytes pe64 = BuildPeImage({}, true);
    const Bytes pe32 = BuildPeImage({}, false);
    std::ofstream(made.unsignedKorvaCf, std::ios::binary)
        .write(reinterpret_cast<const char*>(pe64.data()),
               static_cast<std::streamsize>(pe64.size()));
    std::ofstream(made.unsignedAddon, std::ios::binary)
        .write(reinterpret_cast<const char*>(pe32.data()),
               static_cast<std::streamsize>(pe32.size()));
    made.ok = SignPeFile(made.unsignedKorvaCf, made.korvaCf, Signer::kPublisher) &&
              SignPeFile(made.unsignedAddon, made.addon, Signer::kPublisher) &&
              SignPeFile(made.unsignedAddon, made.addonByOther, Signer::kOther);
    return made;
  }();
  return files;
}

bool SignElfFile(const fs::path& file, Signer signer) {
  const std::string name = Name(signer);
  return TheKeys().ok() && TheKeys().Shell(ShellQuote(VOVU_SIGN_ELF_PATH) + " " + ShellQuote(file) +
                                           " " + name + ".pem " + name + ".key");
}

}  // namespace vovu::testing
