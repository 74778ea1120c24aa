// Bounds-checked reads of little- or big-endian integers from an untrusted byte buffer.
//
// Every read names an absolute offset and fails (returning false, output untouched) when any
// byte of it lies outside the buffer, so parsers of file formats never index past the end,
// whatever offsets the file claims.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vovu::platform::host {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes, bool bigEndian = false)
      : bytes_(bytes), bigEndian_(bigEndian) {}

  [[nodiscard]] std::uint64_t size() const { return bytes_.size(); }

  // True when [offset, offset + length) lies inside the buffer (no overflow possible).
  [[nodiscard]] bool Contains(std::uint64_t offset, std::uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }

  // The bytes [offset, offset + length); call only after Contains said yes.
  [[nodiscard]] std::span<const std::uint8_t> Slice(std::uint64_t offset,
                                                    std::uint64_t length) const {
    return bytes_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
  }

  [[nodiscard]] bool Read8(std::uint64_t offset, std::uint8_t* value) const {
    std::uint64_t v = 0;
    if (!ReadUnsigned(offset, 1, &v))
      return false;
    *value = static_cast<std::uint8_t>(v);
    return true;
  }
  [[nodiscard]] bool Read16(std::uint64_t offset, std::uint16_t* value) const {
    std::uint64_t v = 0;
    if (!ReadUnsigned(offset, 2, &v))
      return false;
    *value = static_cast<std::uint16_t>(v);
    return true;
  }
  [[nodiscard]] bool Read32(std::uint64_t offset, std::uint32_t* value) const {
    std::uint64_t v = 0;
    if (!ReadUnsigned(offset, 4, &v))
      return false;
    *value = static_cast<std::uint32_t>(v);
    return true;
  }
  [[nodiscard]] bool Read64(std::uint64_t offset, std::uint64_t* value) const {
    return ReadUnsigned(offset, 8, value);
  }

 private:
  bool ReadUnsigned(std::uint64_t offset, unsigned width, std::uint64_t* value) const {
    if (!Contains(offset, width))
      return false;
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) {
      const unsigned index = bigEndian_ ? i : width - 1 - i;
      v = (v << 8) | bytes_[static_cast<std::size_t>(offset) + index];
    }
    *value = v;
    return true;
  }

  std::span<const std::uint8_t> bytes_;
  bool bigEndian_;
};

}  // namespace vovu::platform::host
