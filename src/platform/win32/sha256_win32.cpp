// SHA-256 through CNG: the "SHA256" provider and a hash object in a caller-owned buffer
// sized by the provider's "ObjectLength".
#include <vector>

#include "platform/fault_injection.h"
#include "platform/sha256.h"
#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <bcrypt.h>

namespace vovu::platform {

struct Sha256Provider::Impl {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  ~Impl() {
    if (algorithm != nullptr)
      ::BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

struct Sha256Hash::Impl {
  std::vector<UCHAR> object;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~Impl() {
    if (hash != nullptr)
      ::BCryptDestroyHash(hash);
  }
};

Sha256Provider::Sha256Provider() = default;
Sha256Provider::~Sha256Provider() = default;

bool Sha256Provider::Open() {
  if (FaultDue(FaultPoint::kSha256Provider, u""))
    return false;
  auto impl = std::make_unique<Impl>();
  if (!BCRYPT_SUCCESS(
          ::BCryptOpenAlgorithmProvider(&impl->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      impl->algorithm == nullptr) {
    return false;
  }
  impl_ = std::move(impl);
  return true;
}

Sha256Hash::Sha256Hash() = default;
Sha256Hash::~Sha256Hash() = default;

bool Sha256Hash::Create(const Sha256Provider& provider) {
  if (FaultDue(FaultPoint::kSha256CreateHash, u""))
    return false;
  if (provider.impl() == nullptr)
    return false;
  DWORD objectLength = 0;
  ULONG written = 0;
  if (!BCRYPT_SUCCESS(::BCryptGetProperty(provider.impl()->algorithm, BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&objectLength),
                                          sizeof(objectLength), &written, 0))) {
    return false;
  }
  auto impl = std::make_unique<Impl>();
  impl->object.assign(objectLength, 0);
  if (!BCRYPT_SUCCESS(::BCryptCreateHash(provider.impl()->algorithm, &impl->hash,
                                         impl->object.data(), objectLength, nullptr, 0, 0))) {
    return false;
  }
  impl_ = std::move(impl);
  return true;
}

bool Sha256Hash::Update(const void* data, std::size_t length) {
  if (impl_ == nullptr)
    return false;
  const auto* bytes = static_cast<const UCHAR*>(data);
  // BCryptHashData takes a ULONG length; larger inputs go in pieces.
  while (length > 0) {
    const ULONG piece = length > 0x40000000 ? 0x40000000 : static_cast<ULONG>(length);
    if (!BCRYPT_SUCCESS(::BCryptHashData(impl_->hash, const_cast<PUCHAR>(bytes), piece, 0))) {
      return false;
    }
    bytes += piece;
    length -= piece;
  }
  return true;
}

bool Sha256Hash::Finish(Sha256Digest* digest) {
  return impl_ != nullptr &&
         BCRYPT_SUCCESS(::BCryptFinishHash(impl_->hash, digest->data(),
                                           static_cast<ULONG>(digest->size()), 0));
}

}  // namespace vovu::platform
