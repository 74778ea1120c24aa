// SHA-256 on the host through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include "platform/error.h"
#include "platform/fault_injection.h"
#include "platform/sha256.h"

namespace vovu::platform {

struct Sha256Provider::Impl {
  const EVP_MD* md = nullptr;
};

struct Sha256Hash::Impl {
  EVP_MD_CTX* ctx = nullptr;
  ~Impl() { EVP_MD_CTX_free(ctx); }
};

Sha256Provider::Sha256Provider() = default;
Sha256Provider::~Sha256Provider() = default;

bool Sha256Provider::Open() {
  if (FaultDue(FaultPoint::kSha256Provider, u""))
    return false;
  auto impl = std::make_unique<Impl>();
  impl->md = EVP_sha256();
  if (impl->md == nullptr)
    return false;
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
  auto impl = std::make_unique<Impl>();
  impl->ctx = EVP_MD_CTX_new();
  if (impl->ctx == nullptr || EVP_DigestInit_ex(impl->ctx, provider.impl()->md, nullptr) != 1) {
    return false;
  }
  impl_ = std::move(impl);
  return true;
}

bool Sha256Hash::Update(const void* data, std::size_t length) {
  return impl_ != nullptr && EVP_DigestUpdate(impl_->ctx, data, length) == 1;
}

bool Sha256Hash::Finish(Sha256Digest* digest) {
  unsigned int length = 0;
  return impl_ != nullptr && EVP_DigestFinal_ex(impl_->ctx, digest->data(), &length) == 1 &&
         length == digest->size();
}

}  // namespace vovu::platform
