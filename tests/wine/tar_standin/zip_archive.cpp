#include "zip_archive.h"

#include "crc32.h"

#include <algorithm>
#include <array>

namespace tarstandin {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kEndSize = 22;
constexpr std::uint32_t kCentralSize = 46;
constexpr std::uint32_t kLocalSize = 30;
constexpr std::uint32_t kMaxComment = 65535;
// A central directory larger than this is no package of ours.
constexpr std::uint32_t kMaxDirectory = 64u << 20;
constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagUtf8 = 0x0800;

std::uint16_t U16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool HasNonAscii(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

}  // namespace

ZipArchive::~ZipArchive() {
  if (file_ != INVALID_HANDLE_VALUE)
    CloseHandle(file_);
}

bool ZipArchive::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t length) {
  if (offset > size_ || length > size_ - offset)
    return false;
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(file_, position, nullptr, FILE_BEGIN))
    return false;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    DWORD read = 0;
    if (!ReadFile(file_, bytes, length, &read, nullptr) || read == 0)
      return false;
    bytes += read;
    length -= read;
  }
  return true;
}

bool ZipArchive::Open(const std::wstring& path, std::string* error) {
  file_ = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER size;
  if (file_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(file_, &size)) {
    *error = "cannot open the archive (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  size_ = static_cast<std::uint64_t>(size.QuadPart);

  // The end record: the last signature whose comment reaches exactly to the end of the file.
  const std::uint32_t tail =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(size_, kEndSize + kMaxComment));
  std::vector<unsigned char> end(tail);
  if (tail < kEndSize || !ReadAt(size_ - tail, end.data(), tail)) {
    *error = "unrecognized archive format";
    return false;
  }
  std::int64_t found = -1;
  for (std::int64_t at = tail - kEndSize; at >= 0; --at) {
    const unsigned char* p = end.data() + at;
    if (U32(p) == kEndSignature && at + kEndSize + U16(p + 20) == tail) {
      found = at;
      break;
    }
  }
  if (found < 0) {
    *error = "unrecognized archive format";
    return false;
  }
  const unsigned char* e = end.data() + found;
  const std::uint64_t endOffset = size_ - tail + static_cast<std::uint64_t>(found);
  const std::uint16_t count = U16(e + 10);
  const std::uint32_t directorySize = U32(e + 12);
  const std::uint32_t directoryOffset = U32(e + 16);
  if (U16(e + 4) != 0 || U16(e + 6) != 0 || U16(e + 8) != count) {
    *error = "multi-volume archives are not supported";
    return false;
  }
  if (count == 0xFFFF || directorySize == 0xFFFFFFFFu || directoryOffset == 0xFFFFFFFFu) {
    *error = "zip64 archives are not supported";
    return false;
  }
  if (directorySize > kMaxDirectory ||
      static_cast<std::uint64_t>(directoryOffset) + directorySize > endOffset) {
    *error = "damaged central directory";
    return false;
  }
  std::vector<unsigned char> directory(directorySize);
  if (!ReadAt(directoryOffset, directory.data(), directorySize)) {
    *error = "damaged central directory";
    return false;
  }

  std::size_t at = 0;
  for (std::uint16_t i = 0; i < count; ++i) {
    if (directory.size() - at < kCentralSize || U32(&directory[at]) != kCentralSignature) {
      *error = "damaged central directory";
      return false;
    }
    const unsigned char* c = &directory[at];
    const std::uint16_t flags = U16(c + 8);
    const std::uint16_t method = U16(c + 10);
    ZipMember member;
    member.crc32 = U32(c + 16);
    const std::uint32_t packed = U32(c + 20);
    member.size = U32(c + 24);
    const std::uint16_t nameLength = U16(c + 28);
    const std::size_t recordSize =
        kCentralSize + static_cast<std::size_t>(nameLength) + U16(c + 30) + U16(c + 32);
    const std::uint32_t localOffset = U32(c + 42);
    if (directory.size() - at < recordSize) {
      *error = "damaged central directory";
      return false;
    }
    member.name.assign(reinterpret_cast<const char*>(c + kCentralSize), nameLength);
    at += recordSize;

    if (packed == 0xFFFFFFFFu || member.size == 0xFFFFFFFFu || localOffset == 0xFFFFFFFFu) {
      *error = "zip64 archives are not supported";
      return false;
    }
    if (member.name.empty() || member.name.find('\0') != std::string::npos) {
      *error = "member with an invalid name";
      return false;
    }
    if ((flags & kFlagUtf8) == 0 && HasNonAscii(member.name)) {
      *error = member.name + ": member names must be ASCII or flagged UTF-8";
      return false;
    }
    if ((flags & kFlagEncrypted) != 0) {
      *error = member.name + ": encrypted members are not supported";
      return false;
    }
    if (method != 0 || packed != member.size) {
      *error = member.name + ": compression method " + std::to_string(method) +
               " is not supported (stored members only)";
      return false;
    }

    unsigned char local[kLocalSize];
    if (!ReadAt(localOffset, local, kLocalSize) || U32(local) != kLocalSignature) {
      *error = member.name + ": damaged member header";
      return false;
    }
    const std::uint16_t localNameLength = U16(local + 26);
    std::string localName(localNameLength, '\0');
    if (localNameLength > 0 &&
        !ReadAt(localOffset + kLocalSize, localName.data(), localNameLength)) {
      *error = member.name + ": damaged member header";
      return false;
    }
    const bool sizesInHeader = (U16(local + 6) & kFlagDataDescriptor) == 0;
    if (localName != member.name || U16(local + 8) != method ||
        (sizesInHeader && (U32(local + 14) != member.crc32 || U32(local + 18) != packed ||
                           U32(local + 22) != member.size))) {
      *error = member.name + ": member header disagrees with the central directory";
      return false;
    }
    member.dataOffset =
        static_cast<std::uint64_t>(localOffset) + kLocalSize + localNameLength + U16(local + 28);
    if (member.dataOffset + member.size > directoryOffset) {
      *error = member.name + ": member data overruns the archive";
      return false;
    }
    members_.push_back(std::move(member));
  }
  return true;
}

bool ZipArchive::CopyMember(const ZipMember& member, HANDLE out, std::string* error) {
  std::vector<unsigned char> buffer(1 << 16);
  std::uint64_t offset = member.dataOffset;
  std::uint32_t left = member.size;
  std::uint32_t crc = 0;
  while (left > 0) {
    const std::uint32_t piece =
        std::min<std::uint32_t>(left, static_cast<std::uint32_t>(buffer.size()));
    if (!ReadAt(offset, buffer.data(), piece)) {
      *error = member.name + ": truncated member data";
      return false;
    }
    DWORD written = 0;
    if (!WriteFile(out, buffer.data(), piece, &written, nullptr) || written != piece) {
      *error = member.name + ": write failed (error " + std::to_string(GetLastError()) + ")";
      return false;
    }
    crc = vovu::tools::ContinueCrc32(crc, buffer.data(), piece);
    offset += piece;
    left -= piece;
  }
  if (crc != member.crc32) {
    *error = member.name + ": CRC-32 mismatch";
    return false;
  }
  return true;
}

}  // namespace tarstandin
