// Authenticode on Windows (under wine): the stand-in Korvadesk.exe beside this test binary,
// as built and as signed at build time by a test signer (see signed_korvadesk.cmake). Wine's
// trust policy accepts chains that Windows would not, so chain trust is the host suite's.
#include "platform/authenticode.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "foundation/sha256.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "state/authenticode_verify.h"

namespace vovu::platform {
namespace {

std::u16string BesideTests(const std::u16string& name) {
  std::u16string module;
  EXPECT_GT(GetModuleFileNameOfProcess(&module, 32768), 0u);
  return module.substr(0, module.find_last_of(u"\\/") + 1) + name;
}

// The signer's thumbprint through the reading calls; empty when one of them fails.
std::u16string SignerThumbprint(const std::u16string& path) {
  CertStoreHandle store;
  CryptMsgHandle message;
  std::uint32_t count = 0;
  SignerCertInfo info;
  if (!OpenEmbeddedSignature(path, &store, &message) || !GetSignerCount(message, &count) ||
      count == 0 || !GetSignerCertInfo(message, 0, &info)) {
    return u"";
  }
  const CertContextHandle certificate = FindSignerCertificate(store, info);
  std::array<std::uint8_t, 32> hash{};
  std::uint32_t length = 0;
  if (!certificate || !GetCertificateSha1Hash(certificate, hash, &length))
    return u"";
  return BytesToHex(hash.data(), length);
}

// The service's verification of `path`: "trusted <thumbprint>|" or "untrusted |<error>".
std::u16string ServiceVerdict(const std::u16string& path) {
  bool trusted = false;
  std::u16string thumbprint;
  std::u16string error;
  VerifyAuthenticode(path, &trusted, &thumbprint, &error);
  return (trusted ? u"trusted " : u"untrusted ") + thumbprint + u"|" + error;
}

TEST(AuthenticodeWin32Test, UnsignedImageHasNoSignature) {
  const std::u16string path = BesideTests(u"Korvadesk.exe");
  EXPECT_EQ(VerifyFileTrust(path), kTrustNoSignature);
  CertStoreHandle store;
  CryptMsgHandle message;
  EXPECT_FALSE(OpenEmbeddedSignature(path, &store, &message));
  EXPECT_NE(LastError(), kErrorSuccess);
  EXPECT_FALSE(store);
  EXPECT_FALSE(message);
  EXPECT_EQ(ServiceVerdict(path), u"untrusted |signature invalid, rc=2148204800");
}

TEST(AuthenticodeWin32Test, SignedImageYieldsItsSignerThumbprint) {
#ifndef VOVU_SIGNED_KORVADESK_THUMBPRINT
  GTEST_SKIP() << "no signed Korvadesk.exe was built (openssl or osslsigncode missing)";
#else
  const std::u16string path = BesideTests(u"Korvadesk-signed.exe");
  const TrustStatus status = VerifyFileTrust(path);
  // The test signer is self-signed: Windows answers with its chain verdict, wine may accept.
  EXPECT_TRUE(status == kTrustSuccess || status == kCertUntrustedRoot) << std::hex << status;
  const std::u16string thumbprint = SignerThumbprint(path);
  EXPECT_EQ(WideToUtf8(thumbprint), VOVU_SIGNED_KORVADESK_THUMBPRINT);
  EXPECT_EQ(SignerThumbprint(path), thumbprint);

  // Where wine's policy accepts the file, the service reads the same signer.
  if (status == kTrustSuccess) {
    EXPECT_EQ(ServiceVerdict(path), u"trusted " + thumbprint + u"|");
  }
#endif
}

}  // namespace
}  // namespace vovu::platform
