// Authenticode on Windows (under wine): the stand-in Korvadesk.exe beside this test binary,
// as built and as signed at build time by a test signer (see signed_korvadesk.cmake). Wine's
// trust policy accepts chains that Windows would not, so chain trust is the host suite's.
#include "platform/authenticode.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

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
std::string SignerThumbprint(const std::u16string& path) {
  CertStoreHandle store;
  CryptMsgHandle message;
  std::uint32_t count = 0;
  SignerCertInfo info;
  if (!OpenEmbeddedSignature(path, &store, &message) || !GetSignerCount(message, &count) ||
      count == 0 || !GetSignerCertInfo(message, 0, &info)) {
    return "";
  }
  const CertContextHandle certificate = FindSignerCertificate(store, info);
  std::array<std::uint8_t, 32> hash{};
  std::uint32_t length = 0;
  if (!certificate || !GetCertificateSha1Hash(certificate, hash, &length))
    return "";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint32_t i = 0; i < length; ++i) {
    text += kDigits[hash[i] >> 4];
    text += kDigits[hash[i] & 15];
  }
  return text;
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

  bool trusted = true;
  std::u16string thumbprint;
  std::u16string error;
  VerifyAuthenticode(path, &trusted, &thumbprint, &error);
  EXPECT_FALSE(trusted);
  EXPECT_EQ(thumbprint, u"");
  EXPECT_EQ(error, u"signature invalid, rc=2148204800");
}

TEST(AuthenticodeWin32Test, SignedImageYieldsItsSignerThumbprint) {
#ifndef VOVU_SIGNED_KORVADESK_THUMBPRINT
  GTEST_SKIP() << "no signed Korvadesk.exe was built (openssl or osslsigncode missing)";
#else
  const std::u16string path = BesideTests(u"Korvadesk-signed.exe");
  const TrustStatus status = VerifyFileTrust(path);
  // The test signer is self-signed: Windows answers with its chain verdict, wine may accept.
  EXPECT_TRUE(status == kTrustSuccess || status == kCertUntrustedRoot) << std::hex << status;
  const std::string thumbprint = SignerThumbprint(path);
  EXPECT_EQ(thumbprint, VOVU_SIGNED_KORVADESK_THUMBPRINT);
  EXPECT_EQ(SignerThumbprint(path), thumbprint);

  // Where wine's policy accepts the file, the service reads the same signer.
  if (status == kTrustSuccess) {
    bool trusted = false;
    std::u16string read;
    std::u16string error;
    VerifyAuthenticode(path, &trusted, &read, &error);
    EXPECT_TRUE(trusted);
    EXPECT_EQ(std::string(read.begin(), read.end()), thumbprint);
    EXPECT_EQ(error, u"");
  }
#endif
}

}  // namespace
}  // namespace vovu::platform
