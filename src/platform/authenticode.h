// Authenticode: the system's trust verdict on a file's embedded signature, and the identity of
// the certificate that made it, in the shape of WinVerifyTrust and the CryptoAPI message and
// certificate calls.
//
// Windows: the real calls (wintrust, crypt32). Host: a verification of its own with OpenSSL
// that answers with the codes WinVerifyTrust gives. It accepts PE images with an embedded
// PKCS #7 signature (the certificate table), chained to the machine's root store, and one
// host convention for the ELF stand-ins: a PKCS #7 signature in the ELF section named by
// kElfSignatureSection (made by tools/sign_elf). docs/host-platform.md describes both.
//
// The reading calls (OpenEmbeddedSignature onwards) only read identity: the trust decision is
// VerifyFileTrust's alone. Every failing reading call returns false (or an invalid handle)
// and leaves its error, a Win32 code or an HRESULT such as kCryptNotFound, as the last error.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/native_handle.h"

namespace vovu::platform {

// A WinVerifyTrust result (a LONG): 0 when the policy accepts the file, else an HRESULT.
using TrustStatus = std::int32_t;

inline constexpr TrustStatus kTrustSuccess = 0;
// TRUST_E_SUBJECT_FORM_UNKNOWN: no signature format is known for the file.
inline constexpr TrustStatus kTrustSubjectFormUnknown = static_cast<TrustStatus>(0x800B0003u);
// TRUST_E_SUBJECT_NOT_TRUSTED: the policy does not trust the subject.
inline constexpr TrustStatus kTrustSubjectNotTrusted = static_cast<TrustStatus>(0x800B0004u);
// TRUST_E_NOSIGNATURE: the file carries no (readable) signature.
inline constexpr TrustStatus kTrustNoSignature = static_cast<TrustStatus>(0x800B0100u);
// CERT_E_EXPIRED: a certificate of the chain is outside its validity period.
inline constexpr TrustStatus kCertExpired = static_cast<TrustStatus>(0x800B0101u);
// CERT_E_UNTRUSTEDROOT: the chain ends in a root that the machine does not trust.
inline constexpr TrustStatus kCertUntrustedRoot = static_cast<TrustStatus>(0x800B0109u);
// CERT_E_CHAINING: no chain could be built, for a reason other than the root.
inline constexpr TrustStatus kCertChaining = static_cast<TrustStatus>(0x800B010Au);
// CERT_E_WRONG_USAGE: the signer certificate is not for code signing.
inline constexpr TrustStatus kCertWrongUsage = static_cast<TrustStatus>(0x800B0110u);
// TRUST_E_BAD_DIGEST: the file's digest or the signature over it does not verify.
inline constexpr TrustStatus kTrustBadDigest = static_cast<TrustStatus>(0x80096010u);

// Last-error values of the reading calls (HRESULTs, as the CryptoAPI leaves them).
inline constexpr Win32Error kCryptInvalidIndex = 0x80091008u;  // CRYPT_E_INVALID_INDEX
inline constexpr Win32Error kCryptNotFound = 0x80092004u;      // CRYPT_E_NOT_FOUND
inline constexpr Win32Error kCryptNoMatch = 0x80092009u;       // CRYPT_E_NO_MATCH

// The host's ELF section that holds a stand-in's signature.
inline constexpr char kElfSignatureSection[] = ".vovu_signature";

// WinVerifyTrust(INVALID_HANDLE_VALUE, WINTRUST_ACTION_GENERIC_VERIFY_V2, data) for the file
// at `path`, with no UI, no additional revocation checking, the file named by path only (no
// open handle, no known subject), state action VERIFY, provider flags 0; then the same call
// with state action CLOSE, whatever the first gave. Returns the first call's result:
// kTrustSuccess when the file is trusted, otherwise the policy's code. Keeps no state.
[[nodiscard]] TrustStatus VerifyFileTrust(const std::u16string& path);

// The certificate store and the message of an opened embedded signature (HCERTSTORE,
// HCRYPTMSG) and one certificate context (PCCERT_CONTEXT). Each owns what it holds.
struct CertStoreTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return 0; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);
};
using CertStoreHandle = UniqueHandle<CertStoreTraits>;

struct CryptMsgTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return 0; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);
};
using CryptMsgHandle = UniqueHandle<CryptMsgTraits>;

struct CertContextTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return 0; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);
};
using CertContextHandle = UniqueHandle<CertContextTraits>;

// CryptQueryObject on the file at `path`, accepting only embedded PKCS #7 signed data in
// binary form. On success `*store` holds the certificates the signature carries and
// `*message` the signed message. Fails when the file cannot be read, or carries no embedded
// signature (last error kCryptNoMatch on the host; whatever the system gives on Windows).
[[nodiscard]] bool OpenEmbeddedSignature(const std::u16string& path, CertStoreHandle* store,
                                         CryptMsgHandle* message);

// CryptMsgGetParam(CMSG_SIGNER_COUNT_PARAM): the number of signers of the message.
[[nodiscard]] bool GetSignerCount(const CryptMsgHandle& message, std::uint32_t* count);

// The issuer and serial number of one signer's certificate (CMSG_SIGNER_CERT_INFO_PARAM),
// as the system returns them. Opaque to the service: it only hands it to
// FindSignerCertificate. Move-only, since the Windows form points into its own bytes.
class SignerCertInfo {
 public:
  SignerCertInfo() = default;
  SignerCertInfo(const SignerCertInfo&) = delete;
  SignerCertInfo& operator=(const SignerCertInfo&) = delete;
  SignerCertInfo(SignerCertInfo&&) = default;
  SignerCertInfo& operator=(SignerCertInfo&&) = default;

  [[nodiscard]] bool empty() const { return bytes_.empty(); }
  std::vector<std::uint8_t>& bytes() { return bytes_; }
  [[nodiscard]] const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads signer `index`'s certificate information: asks for its size, allocates it (at least
// one byte) and reads it. Fails with kCryptInvalidIndex for a signer that does not exist.
[[nodiscard]] bool GetSignerCertInfo(const CryptMsgHandle& message, std::uint32_t index,
                                     SignerCertInfo* info);

// CertFindCertificateInStore(CERT_FIND_SUBJECT_CERT, X.509 ASN encoding): the certificate of
// `store` with the issuer and serial number of `info`. Invalid handle (last error
// kCryptNotFound) when the store has none.
[[nodiscard]] CertContextHandle FindSignerCertificate(const CertStoreHandle& store,
                                                      const SignerCertInfo& info);

// CertGetCertificateContextProperty(CERT_HASH_PROP_ID): the SHA-1 hash of the certificate's
// encoding (20 bytes) into `buffer`, its length in `*length`. A buffer that is too small
// fails with kErrorMoreData and `*length` set to the size needed.
[[nodiscard]] bool GetCertificateSha1Hash(const CertContextHandle& certificate,
                                          std::span<std::uint8_t> buffer, std::uint32_t* length);

}  // namespace vovu::platform
