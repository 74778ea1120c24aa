#include "support/host/code_signing.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "foundation/text.h"
#include "platform/host/image/root_store.h"
#include "support/host/pe_image.h"

namespace vovu::testing {
namespace {

namespace fs = std::filesystem;

std::string Quote(const fs::path& path) {
  return "'" + path.string() + "'";
}

const char* Name(Signer signer) {
  return signer == Signer::kPublisher ? "signer" : "other";
}

// The keys of this test process, made on first use and removed when it ends.
class Keys {
 public:
  Keys() : dir_(fs::temp_directory_path() / ("vovu-signing-" + std::to_string(::getpid()))) {
    fs::create_directories(dir_);
    const auto leaf = [](const std::string& name, int serial) {
      return "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 "
             "-subj /CN=" +
             name + " -keyout " + name + ".key -out " + name +
             ".pem -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE -addext "
             "keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning "
             "-set_serial " +
             std::to_string(serial) + " && ";
    };
    const auto thumbprint = [](const std::string& name) {
      return "openssl x509 -noout -fingerprint -sha1 -in " + name +
             ".pem | sed 's/.*=//; s/://g' " + "| tr A-F a-f > " + name + ".thumbprint";
    };
    ok_ = Shell(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days "
        "30 -subj /CN=ca -keyout ca.key -out ca.pem -addext "
        "basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign && " +
        leaf("signer", 2) + leaf("other", 3) + thumbprint("signer") + " && " + thumbprint("other"));
  }
  ~Keys() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Runs `command` quietly in the keys' folder; true when it exits with 0.
  bool Shell(const std::string& command) const {
    return std::system(("(cd " + Quote(dir_) + " && " + command + ") >/dev/null 2>&1").c_str()) ==
           0;
  }

  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] const fs::path& dir() const { return dir_; }

 private:
  fs::path dir_;
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
  std::string thumbprint;
  std::ifstream(TheKeys().dir() / (std::string(Name(signer)) + ".thumbprint")) >> thumbprint;
  return Utf8ToWide(thumbprint);
}

bool SignPeFile(const fs::path& in, const fs::path& out, Signer signer) {
  const std::string name = Name(signer);
  return TheKeys().ok() &&
         TheKeys().Shell("rm -f " + Quote(out) + " && osslsigncode sign -certs " + name +
                         ".pem -key " + name + ".key -in " + Quote(in) + " -out " + Quote(out));
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
  return TheKeys().ok() && TheKeys().Shell(Quote(VOVU_SIGN_ELF_PATH) + " " + Quote(file) + " " +
                                           name + ".pem " + name + ".key");
}

}  // namespace vovu::testing
