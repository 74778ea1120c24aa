#include "state/authenticode_verify.h"

#include <array>

#include "foundation/diagnostics.h"
#include "foundation/sha256.h"
#include "foundation/text.h"
#include "platform/authenticode.h"

namespace vovu {
namespace {

// Steps 4-8: the first signer's thumbprint, or the detail of the step that failed.
bool ReadSignerThumbprint(const std::u16string& path, std::u16string* thumbprint,
                          std::u16string* detail) {
  platform::CertStoreHandle store;
  platform::CryptMsgHandle message;
  if (!platform::OpenEmbeddedSignature(path, &store, &message)) {
    *detail = u"CryptQueryObject failed: " + FormatWin32Error(platform::LastError());
    return false;
  }
  std::uint32_t signers = 0;
  if (!platform::GetSignerCount(message, &signers) || signers == 0) {
    *detail = u"no signer in embedded signature";
    return false;
  }
  platform::SignerCertInfo info;
  if (!platform::GetSignerCertInfo(message, 0, &info)) {
    *detail = u"signer cert info read failed";
    return false;
  }
  platform::CertContextHandle certificate = platform::FindSignerCertificate(store, info);
  if (!certificate.valid()) {
    *detail = u"signer cert not found in store";
    return false;
  }
  std::array<std::uint8_t, 32> hash{};
  std::uint32_t length = 0;
  if (!platform::GetCertificateSha1Hash(certificate, hash, &length) || length == 0) {
    *detail = u"thumbprint read failed";
    return false;
  }
  *thumbprint = BytesToHex(hash.data(), length);
  return true;
}

}  // namespace

void VerifyAuthenticode(const std::u16string& path, bool* trusted, std::u16string* thumbprint,
                        std::u16string* error) {
  *trusted = false;
  const platform::TrustStatus status = platform::VerifyFileTrust(path);
  *trusted = status == platform::kTrustSuccess;
  if (!*trusted) {
    *error = u"signature invalid, rc=" +
             ToDecimal(static_cast<unsigned long long>(static_cast<std::uint32_t>(status)));
    return;
  }
  std::u16string detail;
  if (!ReadSignerThumbprint(path, thumbprint, &detail)) {
    *error = u"signer extract failed: " + detail;
  }
}

}  // namespace vovu
