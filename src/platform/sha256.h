// SHA-256 through the system's hashing primitives (CNG "SHA256" on Windows, OpenSSL EVP on
// the host).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vovu::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The opened SHA-256 algorithm provider (BCryptOpenAlgorithmProvider).
class Sha256Provider {
 public:
  Sha256Provider();
  ~Sha256Provider();
  Sha256Provider(const Sha256Provider&) = delete;
  Sha256Provider& operator=(const Sha256Provider&) = delete;

  // False when the provider is unavailable.
  [[nodiscard]] bool Open();

  struct Impl;
  [[nodiscard]] Impl* impl() const { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

// One hash object over an open provider (BCryptCreateHash with an object buffer sized by
// the provider's "ObjectLength"). Destroyed with the object.
class Sha256Hash {
 public:
  Sha256Hash();
  ~Sha256Hash();
  Sha256Hash(const Sha256Hash&) = delete;
  Sha256Hash& operator=(const Sha256Hash&) = delete;

  [[nodiscard]] bool Create(const Sha256Provider& provider);
  [[nodiscard]] bool Update(const void* data, std::size_t length);
  [[nodiscard]] bool Finish(Sha256Digest* digest);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vovu::platform
