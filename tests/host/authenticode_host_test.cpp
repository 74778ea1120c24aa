// Authenticode on the host: PE files signed by osslsigncode and ELF stand-ins signed by
// sign-elf, checked against a root store of certificates made for the suite by openssl.
#include "platform/authenticode.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/error.h"
#include "platform/host/root_store.h"
#include "state/authenticode_verify.h"
#include "support/host/pe_image.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using vovu::testing::TestMachine;

int RunShell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

std::string Quote(const fs::path& path) {
  return "'" + path.string() + "'";
}

Bytes ReadNative(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteNative(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// What the service's verification reads of a file: the policy's verdict and, through the
// reading calls, the signer's thumbprint (empty when any of them fails).
struct Verdict {
  TrustStatus status = kTrustSuccess;
  std::string thumbprint;
};

Verdict Inspect(const std::u16string& path) {
  Verdict verdict;
  verdict.status = VerifyFileTrust(path);
  CertStoreHandle store;
  CryptMsgHandle message;
  std::uint32_t count = 0;
  SignerCertInfo info;
  if (!OpenEmbeddedSignature(path, &store, &message) || !GetSignerCount(message, &count) ||
      count == 0 || !GetSignerCertInfo(message, 0, &info)) {
    return verdict;
  }
  const CertContextHandle certificate = FindSignerCertificate(store, info);
  std::array<std::uint8_t, 32> hash{};
  std::uint32_t length = 0;
  if (!certificate || !GetCertificateSha1Hash(certificate, hash, &length))
    return verdict;
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::uint32_t i = 0; i < length; ++i) {
    verdict.thumbprint += kDigits[hash[i] >> 4];
    verdict.thumbprint += kDigits[hash[i] & 15];
  }
  return verdict;
}

class AuthenticodeHostTest : public ::testing::Test {
 protected:
  // One set of keys and certificates for the whole suite: a trusted root, an unrelated root,
  // a code-signing certificate issued by the first and one for TLS servers only.
  static void SetUpTestSuite() {
    keys_ = new fs::path(fs::temp_directory_path() /
                         ("vovu-authenticode-" + std::to_string(::getpid())));
    fs::create_directories(*keys_);
    const std::string dir = Quote(*keys_);
    const auto root = [&](const std::string& name) {
      return RunShell(
          "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 "
          "-subj '/CN=" +
          name +
          "' -addext 'basicConstraints=critical,CA:TRUE' -addext "
          "'keyUsage=critical,keyCertSign' -keyout " +
          dir + "/" + name + ".key -out " + dir + "/" + name + ".pem");
    };
    const auto leaf = [&](const std::string& name, const std::string& usage, int serial) {
      std::ofstream(*keys_ / (name + ".ext"))
          << "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
          << "extendedKeyUsage=" << usage << "\n";
      return RunShell(
                 "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=" +
                 name + "' -keyout " + dir + "/" + name + ".key -out " + dir + "/" + name +
                 ".csr") |
             RunShell("openssl x509 -req -days 30 -in " + dir + "/" + name + ".csr -CA " + dir +
                      "/ca.pem -CAkey " + dir + "/ca.key -set_serial " + std::to_string(serial) +
                      " -extfile " + dir + "/" + name + ".ext -out " + dir + "/" + name + ".pem");
    };
    ASSERT_EQ(root("ca") | root("other") | leaf("signer", "codeSigning", 2) |
                  leaf("server", "serverAuth", 3),
              0);
    std::ofstream(*keys_ / "chain.pem")
        << std::ifstream(*keys_ / "signer.pem").rdbuf() << std::ifstream(*keys_ / "ca.pem").rdbuf();
    // The thumbprint openssl reports: "SHA1 Fingerprint=AB:CD:...".
    std::FILE* pipe =
        ::popen(("openssl x509 -noout -fingerprint -sha1 -in " + dir + "/signer.pem").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {};
    const bool read = std::fgets(line, sizeof(line), pipe) != nullptr;
    ::pclose(pipe);
    ASSERT_TRUE(read);
    std::string text = line;
    expectedThumbprint_ = new std::string;
    for (char c : text.substr(text.find('=') + 1)) {
      if (std::isxdigit(static_cast<unsigned char>(c)))
        *expectedThumbprint_ += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }

  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(*keys_, ignored);
    delete keys_;
    delete expectedThumbprint_;
  }

  void SetUp() override {
    if (RunShell("command -v osslsigncode") != 0)
      GTEST_SKIP() << "osslsigncode is not installed";
  }

  static fs::path Key(const std::string& name) { return *keys_ / name; }

  // Makes `name` (a file of the suite's keys) a trust anchor of the test's machine.
  static void Trust(const std::string& name) {
    const fs::path store = host::RootStorePath();
    fs::create_directories(store);
    fs::copy_file(Key(name), store / name, fs::copy_options::overwrite_existing);
  }

  // Writes a small PE as `name` in the scratch folder and returns its Windows path.
  std::u16string WritePe(const std::u16string& name) {
    const std::u16string path = machine_.Path(name);
    WriteNative(TestMachine::Native(path), testing::BuildPeImage({}, true));
    return path;
  }

  // osslsigncode sign of `in` into `out` with the signer's key and `certificates` (a PEM file
  // of the suite); `extra` are further options.
  static void SignPe(const std::u16string& in, const std::u16string& out,
                     const std::string& signer = "signer", const std::string& certificates = "",
                     const std::string& extra = "") {
    const std::string certs = certificates.empty() ? signer + ".pem" : certificates;
    ASSERT_EQ(RunShell("osslsigncode sign " + extra + " -certs " + Quote(Key(certs)) + " -key " +
                       Quote(Key(signer + ".key")) + " -in " + Quote(TestMachine::Native(in)) +
                       " -out " + Quote(TestMachine::Native(out))),
              0);
  }

  // osslsigncode's own verdict on `path` with `anchor` as its only trusted root.
  static bool OsslsigncodeAccepts(const std::u16string& path,
                                  const std::string& anchor = "ca.pem") {
    return RunShell("osslsigncode verify -CAfile " + Quote(Key(anchor)) + " -in " +
                    Quote(TestMachine::Native(path))) == 0;
  }

  static std::string Thumbprint() { return *expectedThumbprint_; }

  TestMachine machine_;

 private:
  static fs::path* keys_;
  static std::string* expectedThumbprint_;
};

fs::path* AuthenticodeHostTest::keys_ = nullptr;
std::string* AuthenticodeHostTest::expectedThumbprint_ = nullptr;

TEST_F(AuthenticodeHostTest, FilesWithoutSignatureAreNotTrustedAndYieldNoSigner) {
  Trust("ca.pem");
  const std::u16string pe = WritePe(u"plain.exe");
  const Verdict verdict = Inspect(pe);
  EXPECT_EQ(verdict.status, kTrustNoSignature);
  EXPECT_EQ(static_cast<std::uint32_t>(verdict.status), 2148204800u);
  EXPECT_EQ(verdict.thumbprint, "");
  EXPECT_FALSE(OsslsigncodeAccepts(pe));

  CertStoreHandle store;
  CryptMsgHandle message;
  EXPECT_FALSE(OpenEmbeddedSignature(pe, &store, &message));
  EXPECT_EQ(LastError(), kCryptNoMatch);

  // An ELF stand-in without a signature section, a file that is no image, a missing file.
  const std::u16string elf = machine_.Path(u"plain-standin");
  fs::copy_file(VOVU_KORVADESK_STANDIN_PATH, TestMachine::Native(elf));
  EXPECT_EQ(VerifyFileTrust(elf), kTrustNoSignature);
  TestMachine::WriteBytes(machine_.Path(u"app.asar"), "not an image");
  EXPECT_EQ(VerifyFileTrust(machine_.Path(u"app.asar")), kTrustSubjectFormUnknown);
  EXPECT_EQ(VerifyFileTrust(machine_.Path(u"missing.exe")), kTrustNoSignature);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
}

TEST_F(AuthenticodeHostTest, SignedPeChainedToTheRootStoreIsTrustedWithSignerThumbprint) {
  Trust("other.pem");
  Trust("ca.pem");
  const std::u16string plain = WritePe(u"plain.exe");
  const std::u16string sha256 = machine_.Path(u"sha256.exe");
  const std::u16string sha1 = machine_.Path(u"sha1.exe");
  const std::u16string chain = machine_.Path(u"chain.exe");
  SignPe(plain, sha256);
  SignPe(plain, sha1, "signer", "", "-h sha1");
  SignPe(plain, chain, "signer", "chain.pem");
  ASSERT_EQ(Thumbprint().size(), 40u);
  for (const std::u16string& path : {sha256, sha1, chain}) {
    const Verdict first = Inspect(path);
    EXPECT_EQ(first.status, kTrustSuccess);
    EXPECT_EQ(first.thumbprint, Thumbprint());
    EXPECT_EQ(Inspect(path).thumbprint, first.thumbprint);
    EXPECT_TRUE(OsslsigncodeAccepts(path));
  }

  // The CheckSum field is outside the digest: changing it keeps the signature valid.
  Bytes image = ReadNative(TestMachine::Native(sha256));
  image[0x40 + 24 + 64] ^= 0x5A;
  WriteNative(TestMachine::Native(sha256), image);
  EXPECT_EQ(VerifyFileTrust(sha256), kTrustSuccess);

  // A buffer too small for the hash property is told the size it needs.
  CertStoreHandle store;
  CryptMsgHandle message;
  SignerCertInfo info;
  ASSERT_TRUE(OpenEmbeddedSignature(sha1, &store, &message));
  EXPECT_FALSE(GetSignerCertInfo(message, 1, &info));
  EXPECT_EQ(LastError(), kCryptInvalidIndex);
  ASSERT_TRUE(GetSignerCertInfo(message, 0, &info));
  const CertContextHandle certificate = FindSignerCertificate(store, info);
  ASSERT_TRUE(certificate);
  std::array<std::uint8_t, 8> small{};
  std::uint32_t length = 0;
  EXPECT_FALSE(GetCertificateSha1Hash(certificate, small, &length));
  EXPECT_EQ(LastError(), kErrorMoreData);
  EXPECT_EQ(length, 20u);
}

TEST_F(AuthenticodeHostTest, SignerOutsideTheRootStoreOrUsageIsRejectedByPolicy) {
  Trust("other.pem");
  const std::u16string plain = WritePe(u"plain.exe");
  const std::u16string withRoot = machine_.Path(u"with-root.exe");
  const std::u16string withoutRoot = machine_.Path(u"without-root.exe");
  SignPe(plain, withRoot, "signer", "chain.pem");
  SignPe(plain, withoutRoot);
  // The chain ends in a root the machine does not trust / cannot be completed at all.
  EXPECT_EQ(VerifyFileTrust(withRoot), kCertUntrustedRoot);
  EXPECT_EQ(static_cast<std::uint32_t>(VerifyFileTrust(withRoot)), 0x800B0109u);
  EXPECT_EQ(VerifyFileTrust(withoutRoot), kCertChaining);
  EXPECT_FALSE(OsslsigncodeAccepts(withRoot, "other.pem"));
  EXPECT_FALSE(OsslsigncodeAccepts(withoutRoot, "other.pem"));
  // The identity is still readable: only the policy decides trust.
  EXPECT_EQ(Inspect(withRoot).thumbprint, Thumbprint());

  // Trusted chain, but a certificate that is not for code signing.
  Trust("ca.pem");
  EXPECT_EQ(VerifyFileTrust(withRoot), kTrustSuccess);
  const std::u16string server = machine_.Path(u"server.exe");
  SignPe(plain, server, "server");
  EXPECT_EQ(VerifyFileTrust(server), kCertWrongUsage);
}

TEST_F(AuthenticodeHostTest, PeChangedAfterSigningFailsItsDigest) {
  Trust("ca.pem");
  const std::u16string plain = WritePe(u"plain.exe");
  const std::u16string signedPe = machine_.Path(u"signed.exe");
  SignPe(plain, signedPe);
  const Bytes original = ReadNative(TestMachine::Native(signedPe));
  const fs::path damaged = TestMachine::Native(machine_.Path(u"damaged.exe"));

  // One byte of the section, of the headers (the DOS stub), of the section table.
  for (const std::size_t at :
       {std::size_t{0x201}, std::size_t{0x30}, std::size_t{0x40 + 24 + 240 + 8}}) {
    SCOPED_TRACE(at);
    Bytes image = original;
    image[at] ^= 0x01;
    WriteNative(damaged, image);
    EXPECT_EQ(VerifyFileTrust(machine_.Path(u"damaged.exe")), kTrustBadDigest);
    EXPECT_FALSE(OsslsigncodeAccepts(machine_.Path(u"damaged.exe")));
  }

  // A certificate table cut short, or with bytes appended after it, is no usable signature.
  for (const Bytes& image : {Bytes(original.begin(), original.end() - 100), [&] {
                               Bytes longer = original;
                               longer.resize(longer.size() + 8, 0xCC);
                               return longer;
                             }()}) {
    WriteNative(damaged, image);
    EXPECT_EQ(VerifyFileTrust(machine_.Path(u"damaged.exe")), kTrustNoSignature);
  }
}

TEST_F(AuthenticodeHostTest, ElfStandInSignedBySignElfVerifiesUntilChanged) {
  Trust("ca.pem");
  const std::u16string standin = machine_.Path(u"korvaCF.exe");
  const fs::path native = TestMachine::Native(standin);
  fs::copy_file(VOVU_KORVADESK_STANDIN_PATH, native);
  const std::string sign = std::string(VOVU_SIGN_ELF_PATH) + " " + Quote(native) + " ";
  ASSERT_EQ(RunShell(sign + Quote(Key("signer.pem")) + " " + Quote(Key("signer.key"))), 0);
  Verdict verdict = Inspect(standin);
  EXPECT_EQ(verdict.status, kTrustSuccess);
  EXPECT_EQ(verdict.thumbprint, Thumbprint());

  // Signing again replaces the signature.
  ASSERT_EQ(RunShell(sign + Quote(Key("signer.pem")) + " " + Quote(Key("signer.key")) + " " +
                     Quote(Key("ca.pem"))),
            0);
  EXPECT_EQ(Inspect(standin).status, kTrustSuccess);

  // A byte changed in the entry point, in the middle, in the last byte (the section headers).
  const Bytes original = ReadNative(native);
  const fs::path damaged = TestMachine::Native(machine_.Path(u"damaged"));
  for (const std::size_t at : {std::size_t{24}, original.size() / 2, original.size() - 1}) {
    SCOPED_TRACE(at);
    Bytes image = original;
    image[at] ^= 0x01;
    WriteNative(damaged, image);
    const TrustStatus status = VerifyFileTrust(machine_.Path(u"damaged"));
    if (at == original.size() - 1) {  // may move the signature section itself
      EXPECT_TRUE(status == kTrustBadDigest || status == kTrustNoSignature) << status;
    } else {
      EXPECT_EQ(status, kTrustBadDigest);
    }
  }

  // The signer outside the root store.
  fs::remove_all(host::RootStorePath());
  Trust("other.pem");
  EXPECT_EQ(VerifyFileTrust(standin), kCertUntrustedRoot);
}

TEST_F(AuthenticodeHostTest, VerifyAuthenticodeReportsTheServiceTexts) {
  Trust("ca.pem");
  const std::u16string plain = WritePe(u"plain.exe");
  const std::u16string signedPe = machine_.Path(u"signed.exe");
  SignPe(plain, signedPe);

  bool trusted = true;
  std::u16string thumbprint;
  std::u16string error;
  VerifyAuthenticode(plain, &trusted, &thumbprint, &error);
  EXPECT_FALSE(trusted);
  EXPECT_EQ(thumbprint, u"");
  EXPECT_EQ(error, u"signature invalid, rc=2148204800");

  error.clear();
  VerifyAuthenticode(signedPe, &trusted, &thumbprint, &error);
  EXPECT_TRUE(trusted);
  EXPECT_EQ(std::string(thumbprint.begin(), thumbprint.end()), Thumbprint());
  EXPECT_EQ(error, u"");

  // A byte changed after signing: the policy's own code, and no signer is read.
  Bytes image = ReadNative(TestMachine::Native(signedPe));
  image[0x201] ^= 0x01;
  WriteNative(TestMachine::Native(signedPe), image);
  thumbprint.clear();
  VerifyAuthenticode(signedPe, &trusted, &thumbprint, &error);
  EXPECT_FALSE(trusted);
  EXPECT_EQ(thumbprint, u"");
  EXPECT_EQ(error, u"signature invalid, rc=2148098064");
}

}  // namespace
}  // namespace vovu::platform
