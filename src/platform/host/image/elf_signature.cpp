#include "platform/host/image/elf_signature.h"

#include <algorithm>
#include <vector>

#include "platform/authenticode.h"
#include "platform/host/core/openssl_ptr.h"
#include "platform/host/image/elf_sections.h"

namespace vovu::platform::host {

ImageLookup FindElfSignatureSection(std::span<const std::uint8_t> image, std::uint64_t* offset,
                                    std::span<const std::uint8_t>* contents) {
  const ImageLookup lookup = FindElfSection(image, kElfSignatureSection, contents);
  if (lookup == ImageLookup::kFound)
    *offset = static_cast<std::uint64_t>(contents->data() - image.data());
  return lookup;
}

bool ComputeElfSignedDigest(std::span<const std::uint8_t> image, std::uint64_t offset,
                            std::uint64_t size, ElfSignedDigest* digest) {
  if (offset > image.size() || size > image.size() - offset)
    return false;
  EvpMdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
    return false;
  bool ok = EVP_DigestUpdate(context.get(), image.data(), offset) == 1;
  const std::vector<std::uint8_t> zeros(std::min<std::uint64_t>(size, 1u << 16), 0);
  for (std::uint64_t left = size; ok && left > 0;) {
    const std::uint64_t chunk = std::min<std::uint64_t>(left, zeros.size());
    ok = EVP_DigestUpdate(context.get(), zeros.data(), chunk) == 1;
    left -= chunk;
  }
  const std::uint64_t end = offset + size;
  ok = ok && EVP_DigestUpdate(context.get(), image.data() + end, image.size() - end) == 1;
  unsigned int length = 0;
  return ok && EVP_DigestFinal_ex(context.get(), digest->data(), &length) == 1 &&
         length == digest->size();
}

}  // namespace vovu::platform::host
