// Authenticode on Windows: WinVerifyTrust and the CryptoAPI message and certificate calls.
#include "platform/authenticode.h"
#include "platform/win32/windows_api.h"

// The trust and CryptoAPI declarations are not part of the lean <windows.h>.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

namespace vovu::platform {
namespace {

HCERTSTORE ToStore(NativeHandle h) {
  return reinterpret_cast<HCERTSTORE>(h);
}
HCRYPTMSG ToMessage(NativeHandle h) {
  return reinterpret_cast<HCRYPTMSG>(h);
}
PCCERT_CONTEXT ToCertificate(NativeHandle h) {
  return reinterpret_cast<PCCERT_CONTEXT>(h);
}

}  // namespace

TrustStatus VerifyFileTrust(const std::u16string& path) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = win32::W(path);

  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = 0;

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

  // The verification state is released whatever the verdict was.
  const DWORD saved = GetLastError();
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  SetLastError(saved);
  return static_cast<TrustStatus>(result);
}

void CertStoreTraits::Close(NativeHandle h) {
  CertCloseStore(ToStore(h), 0);
}

void CryptMsgTraits::Close(NativeHandle h) {
  CryptMsgClose(ToMessage(h));
}

void CertContextTraits::Close(NativeHandle h) {
  CertFreeCertificateContext(ToCertificate(h));
}

bool OpenEmbeddedSignature(const std::u16string& path, CertStoreHandle* store,
                           CryptMsgHandle* message) {
  HCERTSTORE openedStore = nullptr;
  HCRYPTMSG openedMessage = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, win32::W(path),
                        CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                        0, nullptr, nullptr, nullptr, &openedStore, &openedMessage, nullptr)) {
    return false;
  }
  store->reset(reinterpret_cast<NativeHandle>(openedStore));
  message->reset(reinterpret_cast<NativeHandle>(openedMessage));
  return true;
}

bool GetSignerCount(const CryptMsgHandle& message, std::uint32_t* count) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (!CryptMsgGetParam(ToMessage(message.get()), CMSG_SIGNER_COUNT_PARAM, 0, &value, &size)) {
    return false;
  }
  *count = value;
  return true;
}

bool GetSignerCertInfo(const CryptMsgHandle& message, std::uint32_t index, SignerCertInfo* info) {
  DWORD size = 0;
  if (!CryptMsgGetParam(ToMessage(message.get()), CMSG_SIGNER_CERT_INFO_PARAM, index, nullptr,
                        &size)) {
    return false;
  }
  // CERT_INFO holds pointers into the same buffer, so the buffer is allocated once, here, and
  // never copied afterwards (SignerCertInfo is move-only; a move keeps the allocation).
  std::vector<std::uint8_t>& bytes = info->bytes();
  bytes.assign(size == 0 ? 1 : size, 0);
  DWORD filled = static_cast<DWORD>(bytes.size());
  if (!CryptMsgGetParam(ToMessage(message.get()), CMSG_SIGNER_CERT_INFO_PARAM, index, bytes.data(),
                        &filled)) {
    bytes.clear();
    return false;
  }
  return true;
}

CertContextHandle FindSignerCertificate(const CertStoreHandle& store, const SignerCertInfo& info) {
  if (info.bytes().size() < sizeof(CERT_INFO)) {
    SetLastError(static_cast<DWORD>(kCryptNotFound));
    return CertContextHandle();
  }
  const auto* certInfo = reinterpret_cast<const CERT_INFO*>(info.bytes().data());
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(ToStore(store.get()), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                 CERT_FIND_SUBJECT_CERT, certInfo, nullptr);
  return CertContextHandle(reinterpret_cast<NativeHandle>(found));
}

bool GetCertificateSha1Hash(const CertContextHandle& certificate, std::span<std::uint8_t> buffer,
                            std::uint32_t* length) {
  DWORD size = static_cast<DWORD>(buffer.size());
  const BOOL ok = CertGetCertificateContextProperty(ToCertificate(certificate.get()),
                                                    CERT_HASH_PROP_ID, buffer.data(), &size);
  *length = size;
  return ok != FALSE;
}

}  // namespace vovu::platform
