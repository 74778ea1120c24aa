// Authenticode on the host: the file is read whole through the emulated file system, its
// signature decoded and checked with OpenSSL against the machine's root store (see
// embedded_signature.h, root_store.h). The handles of the reading calls are pointers to the
// objects below.
#include <algorithm>
#include <cstring>

#include <openssl/err.h>

#include "platform/authenticode.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/host/core/host_util.h"
#include "platform/host/image/embedded_signature.h"
#include "platform/host/image/root_store.h"

namespace vovu::platform {
namespace {

// Images larger than this are refused rather than read into memory.
constexpr std::int64_t kMaxImageSize = std::int64_t{1} << 30;
constexpr std::uint32_t kSha1Size = 20;

struct HostCertStore {
  std::vector<host::X509Ptr> certificates;
};
struct HostCryptMsg {
  host::Pkcs7Ptr message;
};
struct HostCertContext {
  host::X509Ptr certificate;
};

template <typename T>
T* FromHandle(NativeHandle h) {
  return reinterpret_cast<T*>(h);
}
template <typename T>
NativeHandle ToHandle(T* object) {
  return reinterpret_cast<NativeHandle>(object);
}

// The issuer and serial number of a signer, as GetSignerCertInfo hands them out: the DER
// issuer name's length (4 bytes, little-endian), the DER issuer name, the DER serial number.
bool EncodeIssuerAndSerial(const PKCS7_ISSUER_AND_SERIAL* id, std::vector<std::uint8_t>* out) {
  unsigned char* issuer = nullptr;
  unsigned char* serial = nullptr;
  const int issuerLength = i2d_X509_NAME(id->issuer, &issuer);
  const int serialLength = i2d_ASN1_INTEGER(id->serial, &serial);
  const bool ok = issuerLength > 0 && serialLength > 0;
  if (ok) {
    out->clear();
    for (int shift = 0; shift < 32; shift += 8)
      out->push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(issuerLength) >> shift));
    out->insert(out->end(), issuer, issuer + issuerLength);
    out->insert(out->end(), serial, serial + serialLength);
  }
  OPENSSL_free(issuer);
  OPENSSL_free(serial);
  return ok;
}

bool MatchesIssuerAndSerial(X509* certificate, const std::vector<std::uint8_t>& id) {
  if (id.size() < 4)
    return false;
  const std::uint32_t issuerLength =
      id[0] | (id[1] << 8) | (id[2] << 16) | (std::uint32_t{id[3]} << 24);
  if (issuerLength > id.size() - 4)
    return false;
  unsigned char* issuer = nullptr;
  unsigned char* serial = nullptr;
  const int ownIssuerLength = i2d_X509_NAME(X509_get_issuer_name(certificate), &issuer);
  const int ownSerialLength = i2d_ASN1_INTEGER(X509_get_serialNumber(certificate), &serial);
  const std::size_t serialLength = id.size() - 4 - issuerLength;
  const bool match = ownIssuerLength > 0 && ownSerialLength > 0 &&
                     static_cast<std::uint32_t>(ownIssuerLength) == issuerLength &&
                     static_cast<std::size_t>(ownSerialLength) == serialLength &&
                     std::memcmp(issuer, id.data() + 4, issuerLength) == 0 &&
                     std::memcmp(serial, id.data() + 4 + issuerLength, serialLength) == 0;
  OPENSSL_free(issuer);
  OPENSSL_free(serial);
  return match;
}

}  // namespace

TrustStatus VerifyFileTrust(const std::u16string& path) {
  // The verification keeps no state, so the closing call has nothing to release here.
  std::vector<std::uint8_t> image;
  if (!host::ReadWholeFile(path, &image, kMaxImageSize))
    return kTrustNoSignature;  // the file's own error stays the last error
  host::EmbeddedSignature signature;
  TrustStatus status = host::DecodeEmbeddedSignature(image, &signature);
  if (status == kTrustSuccess) {
    const host::X509StorePtr roots = host::LoadRootStore();
    status = roots ? host::VerifyEmbeddedSignature(image, signature, roots.get()) : kCertChaining;
  }
  ERR_clear_error();
  SetLastErrorCode(static_cast<Win32Error>(status));
  return status;
}

void CertStoreTraits::Close(NativeHandle h) {
  delete FromHandle<HostCertStore>(h);
}

void CryptMsgTraits::Close(NativeHandle h) {
  delete FromHandle<HostCryptMsg>(h);
}

void CertContextTraits::Close(NativeHandle h) {
  delete FromHandle<HostCertContext>(h);
}

bool OpenEmbeddedSignature(const std::u16string& path, CertStoreHandle* store,
                           CryptMsgHandle* message) {
  std::vector<std::uint8_t> image;
  if (!host::ReadWholeFile(path, &image, kMaxImageSize))
    return false;
  host::EmbeddedSignature signature;
  if (host::DecodeEmbeddedSignature(image, &signature) != kTrustSuccess) {
    ERR_clear_error();
    SetLastErrorCode(kCryptNoMatch);
    return false;
  }
  auto openedStore = std::make_unique<HostCertStore>();
  if (STACK_OF(X509)* certificates = signature.message->d.sign->cert) {
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
      X509* certificate = sk_X509_value(certificates, i);
      X509_up_ref(certificate);
      openedStore->certificates.emplace_back(certificate);
    }
  }
  auto openedMessage = std::make_unique<HostCryptMsg>();
  openedMessage->message = std::move(signature.message);
  store->reset(ToHandle(openedStore.release()));
  message->reset(ToHandle(openedMessage.release()));
  return true;
}

bool GetSignerCount(const CryptMsgHandle& message, std::uint32_t* count) {
  if (!message) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  PKCS7* signed_data = FromHandle<HostCryptMsg>(message.get())->message.get();
  *count = static_cast<std::uint32_t>(sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(signed_data)));
  return true;
}

bool GetSignerCertInfo(const CryptMsgHandle& message, std::uint32_t index, SignerCertInfo* info) {
  if (!message) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  PKCS7* signedData = FromHandle<HostCryptMsg>(message.get())->message.get();
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(signedData);
  if (signers == nullptr ||
      index >= static_cast<std::uint32_t>(sk_PKCS7_SIGNER_INFO_num(signers))) {
    SetLastErrorCode(kCryptInvalidIndex);
    return false;
  }
  const PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, static_cast<int>(index));
  if (signer->issuer_and_serial == nullptr ||
      !EncodeIssuerAndSerial(signer->issuer_and_serial, &info->bytes())) {
    SetLastErrorCode(kErrorInvalidData);
    return false;
  }
  return true;
}

CertContextHandle FindSignerCertificate(const CertStoreHandle& store, const SignerCertInfo& info) {
  if (store) {
    for (const host::X509Ptr& certificate : FromHandle<HostCertStore>(store.get())->certificates) {
      if (MatchesIssuerAndSerial(certificate.get(), info.bytes())) {
        X509_up_ref(certificate.get());
        auto context = std::make_unique<HostCertContext>();
        context->certificate.reset(certificate.get());
        return CertContextHandle(ToHandle(context.release()));
      }
    }
  }
  SetLastErrorCode(kCryptNotFound);
  return CertContextHandle();
}

bool GetCertificateSha1Hash(const CertContextHandle& certificate, std::span<std::uint8_t> buffer,
                            std::uint32_t* length) {
  if (!certificate) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  *length = kSha1Size;
  if (buffer.size() < kSha1Size) {
    SetLastErrorCode(kErrorMoreData);
    return false;
  }
  unsigned int size = 0;
  X509* x509 = FromHandle<HostCertContext>(certificate.get())->certificate.get();
  if (X509_digest(x509, EVP_sha1(), buffer.data(), &size) != 1 || size != kSha1Size) {
    ERR_clear_error();
    SetLastErrorCode(kErrorInvalidData);
    return false;
  }
  return true;
}

}  // namespace vovu::platform
