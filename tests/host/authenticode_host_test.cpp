// Authenticode on the host: PE files signed by osslsigncode and ELF stand-ins signed by
// sign-elf, checked against a root store of certificates made for the suite by openssl.
#include "platform/authenticode.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "foundation/sha256.h"
#include "foundation/text.h"
#include "platform/error.h"
#include "platform/host/image/root_store.h"
#include "state/authenticode_verify.h"
#include "support/host/certificates.h"
#include "support/host/native_files.h"
#include "support/host/pe_image.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

namespace fs = std::filesystem;
using vovu::testing::ErrorAfter;
using vovu::testing::ShellQuote;
using vovu::testing::TestMachine;

// The service's verification of `path`: "trusted <thumbprint>|" or "untrusted |<error>".
std::u16string ServiceVerdict(const std::u16string& path) {
  bool trusted = false;
  std::u16string thumbprint;
  std::u16string error;
  VerifyAuthenticode(path, &trusted, &thumbprint, &error);
  return (trusted ? u"trusted " : u"untrusted ") + thumbprint + u"|" + error;
}

class AuthenticodeHostTest : public ::testing::Test {
 protected:
  // Runs `command` quietly in the folder of the suite's keys: its exit status.
  static int Shell(const std::string& command) {
    return std::system(
        ("(cd " + ShellQuote(keys_) + " && " + command + ") >/dev/null 2>&1").c_str());
  }

  // One set of keys and certificates for the whole suite: a trusted root "ca", an unrelated
  // root "other", and issued by "ca" a code-signing "signer" and a TLS-server-only "server";
  // "chain.pem" holds the signer's and the root's certificates; thumbprint_ is the signer's
  // as openssl reports it.
  static void SetUpTestSuite() {
    keys_ = fs::temp_directory_path() / ("vovu-authenticode-" + std::to_string(::getpid()));
    ASSERT_TRUE(testing::MakeCertificates(keys_, {testing::RootCertificate("ca"),
                                                  testing::RootCertificate("other"),
                                                  {"signer", "ca", "codeSigning", "", 2},
                                                  {"server", "ca", "serverAuth", "", 3}}));
    ASSERT_EQ(Shell("cat signer.pem ca.pem > chain.pem"), 0);
    thumbprint_ = Utf8ToWide(testing::CertificateThumbprint(keys_, "signer"));
    ASSERT_EQ(thumbprint_.size(), 40u);
  }

  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(keys_, ignored);
  }

  void SetUp() override {
    if (Shell("command -v osslsigncode") != 0)
      GTEST_SKIP() << "osslsigncode is not installed";
    const testing::Bytes pe = testing::BuildPeImage({}, true);
    TestMachine::WriteBytes(plain_, std::string(pe.begin(), pe.end()));
  }

  // Makes `name` (a file of the suite's keys) a trust anchor of the test's machine.
  static void Trust(const std::string& name) {
    fs::create_directories(host::RootStorePath());
    fs::copy_file(keys_ / name, host::RootStorePath() + "/" + name,
                  fs::copy_options::overwrite_existing);
  }

  // The unsigned PE signed by osslsigncode with `options` (certificates, key, ...) as `name`.
  std::u16string SignPe(const std::u16string& name,
                        const std::string& options = "-certs signer.pem -key signer.key") {
    const std::u16string out = machine_.Path(name);
    EXPECT_EQ(
        Shell("osslsigncode sign " + options + " -in " + ShellQuote(TestMachine::Native(plain_)) +
              " -out " + ShellQuote(TestMachine::Native(out))),
        0);
    return out;
  }

  // osslsigncode's own verdict on `path` with `anchor` as its only trusted root.
  static bool OsslsigncodeAccepts(const std::u16string& path,
                                  const std::string& anchor = "ca.pem") {
    return Shell("osslsigncode verify -CAfile " + anchor + " -in " +
                 ShellQuote(TestMachine::Native(path))) == 0;
  }

  // `image` with byte `at` flipped, written as "damaged.exe".
  std::u16string Damaged(std::string image, std::size_t at) {
    image[at] ^= 0x01;
    TestMachine::WriteBytes(machine_.Path(u"damaged.exe"), image);
    return machine_.Path(u"damaged.exe");
  }

  TestMachine machine_;
  const std::u16string plain_ = machine_.Path(u"plain.exe");
  static inline fs::path keys_;
  static inline std::u16string thumbprint_;
};

TEST_F(AuthenticodeHostTest, FilesWithoutSignatureAreNotTrustedAndYieldNoSigner) {
  Trust("ca.pem");
  EXPECT_EQ(ServiceVerdict(plain_), u"untrusted |signature invalid, rc=2148204800");
  EXPECT_FALSE(OsslsigncodeAccepts(plain_));
  CertStoreHandle store;
  CryptMsgHandle message;
  EXPECT_EQ(ErrorAfter(OpenEmbeddedSignature(plain_, &store, &message)), kCryptNoMatch);

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
  const std::u16string sha256 = SignPe(u"sha256.exe");
  const std::u16string sha1 = SignPe(u"sha1.exe", "-h sha1 -certs signer.pem -key signer.key");
  for (const std::u16string& path :
       {sha256, sha1, SignPe(u"chain.exe", "-certs chain.pem -key signer.key")}) {
    EXPECT_EQ(ServiceVerdict(path), u"trusted " + thumbprint_ + u"|");
    EXPECT_EQ(ServiceVerdict(path), u"trusted " + thumbprint_ + u"|");  // nothing is kept
    EXPECT_TRUE(OsslsigncodeAccepts(path));
  }

  // The CheckSum field is outside the digest: changing it keeps the signature valid.
  EXPECT_EQ(VerifyFileTrust(Damaged(TestMachine::ReadBytes(sha256), 0x40 + 24 + 64)),
            kTrustSuccess);
}

TEST_F(AuthenticodeHostTest, SignerOutsideTheRootStoreOrUsageIsRejectedByPolicy) {
  Trust("other.pem");
  const std::u16string withRoot = SignPe(u"with-root.exe", "-certs chain.pem -key signer.key");
  const std::u16string withoutRoot = SignPe(u"without-root.exe");
  // The chain ends in a root the machine does not trust (0x800B0109) / cannot be completed.
  EXPECT_EQ(ServiceVerdict(withRoot), u"untrusted |signature invalid, rc=2148204809");
  EXPECT_EQ(VerifyFileTrust(withoutRoot), kCertChaining);
  EXPECT_FALSE(OsslsigncodeAccepts(withRoot, "other.pem"));
  EXPECT_FALSE(OsslsigncodeAccepts(withoutRoot, "other.pem"));
  // The identity is still readable: only the policy decides trust. A signer that does not
  // exist; a buffer too small for the hash is told the size it needs.
  CertStoreHandle store;
  CryptMsgHandle message;
  std::uint32_t count = 0;
  SignerCertInfo info;
  ASSERT_TRUE(OpenEmbeddedSignature(withRoot, &store, &message));
  ASSERT_TRUE(GetSignerCount(message, &count));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(ErrorAfter(GetSignerCertInfo(message, 1, &info)), kCryptInvalidIndex);
  ASSERT_TRUE(GetSignerCertInfo(message, 0, &info));
  const CertContextHandle certificate = FindSignerCertificate(store, info);
  ASSERT_TRUE(certificate);
  std::array<std::uint8_t, 20> hash{};
  std::uint32_t length = 0;
  EXPECT_EQ(ErrorAfter(GetCertificateSha1Hash(certificate, std::span(hash).first(8), &length)),
            kErrorMoreData);
  EXPECT_EQ(length, 20u);
  ASSERT_TRUE(GetCertificateSha1Hash(certificate, hash, &length));
  EXPECT_EQ(BytesToHex(hash.data(), length), thumbprint_);

  // Trusted chain, but a certificate that is not for code signing.
  Trust("ca.pem");
  EXPECT_EQ(VerifyFileTrust(withRoot), kTrustSuccess);
  EXPECT_EQ(VerifyFileTrust(SignPe(u"server.exe", "-certs server.pem -key server.key")),
            kCertWrongUsage);
}

TEST_F(AuthenticodeHostTest, PeChangedAfterSigningFailsItsDigest) {
  Trust("ca.pem");
  const std::string original = TestMachine::ReadBytes(SignPe(u"signed.exe"));
  // One byte of the section, of the headers (the DOS stub), of the section table: the
  // policy's own code, and no signer is read.
  for (const std::size_t at : {0x201, 0x30, 0x40 + 24 + 240 + 8}) {
    EXPECT_EQ(ServiceVerdict(Damaged(original, at)), u"untrusted |signature invalid, rc=2148098064")
        << at;
    EXPECT_FALSE(OsslsigncodeAccepts(machine_.Path(u"damaged.exe"))) << at;
  }

  // A certificate table cut short, or with bytes appended after it, is no usable signature.
  for (const std::string& image :
       {original.substr(0, original.size() - 100), original + std::string(8, '\xCC')}) {
    TestMachine::WriteBytes(machine_.Path(u"damaged.exe"), image);
    EXPECT_EQ(VerifyFileTrust(machine_.Path(u"damaged.exe")), kTrustNoSignature);
  }
}

TEST_F(AuthenticodeHostTest, ElfStandInSignedBySignElfVerifiesUntilChanged) {
  Trust("ca.pem");
  const std::u16string standin = machine_.Path(u"korvaCF.exe");
  fs::copy_file(VOVU_KORVADESK_STANDIN_PATH, TestMachine::Native(standin));
  const std::string sign = ShellQuote(VOVU_SIGN_ELF_PATH) + " " +
                           ShellQuote(TestMachine::Native(standin)) + " signer.pem signer.key";
  ASSERT_EQ(Shell(sign), 0);
  EXPECT_EQ(ServiceVerdict(standin), u"trusted " + thumbprint_ + u"|");
  // Signing again (with the chain) replaces the signature.
  ASSERT_EQ(Shell(sign + " ca.pem"), 0);
  EXPECT_EQ(VerifyFileTrust(standin), kTrustSuccess);

  // A byte changed in the entry point, in the middle, in the last byte (the section headers,
  // which may move the signature section itself).
  const std::string original = TestMachine::ReadBytes(standin);
  for (const std::size_t at : {std::size_t{24}, original.size() / 2, original.size() - 1}) {
    const TrustStatus status = VerifyFileTrust(Damaged(original, at));
    EXPECT_TRUE(status == kTrustBadDigest ||
                (at == original.size() - 1 && status == kTrustNoSignature))
        << at << ": " << status;
  }

  // The signer outside the root store.
  fs::remove_all(host::RootStorePath());
  Trust("other.pem");
  EXPECT_EQ(VerifyFileTrust(standin), kCertUntrustedRoot);
}

}  // namespace
}  // namespace vovu::platform
