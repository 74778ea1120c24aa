#include "package_zip.h"

#include "crc32.h"

#include <openssl/evp.h>

#include <array>
#include <fstream>
#include <memory>

namespace vovu::tools {
namespace {

constexpr std::size_t kBufferBytes = 1 << 20;
constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint64_t kLocalHeaderBytes = 30;
constexpr std::uint64_t kCentralHeaderBytes = 46;
constexpr std::uint64_t kEndBytes = 22;
constexpr std::uint16_t kVersionNeeded = 10;                 // stored entries
constexpr std::uint16_t kVersionMadeBy = (3 << 8) | 20;      // Unix, zip 2.0
constexpr std::uint16_t kDosDate = (0 << 9) | (1 << 5) | 1;  // 1980-01-01
constexpr std::uint32_t kUnixFileMode = 0100644u << 16;

class LittleEndian {
 public:
  void U16(std::uint16_t v) {
    bytes_.push_back(static_cast<char>(v & 0xFF));
    bytes_.push_back(static_cast<char>(v >> 8));
  }
  void U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v & 0xFFFF));
    U16(static_cast<std::uint16_t>(v >> 16));
  }
  void Text(const std::string& text) { bytes_ += text; }
  [[nodiscard]] const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// The fields local and central headers share, from "version needed" to the name length.
void EntryFields(LittleEndian* out, const ZipInput& input, const ZipEntryFacts& facts) {
  out->U16(kVersionNeeded);
  out->U16(0);  // flags
  out->U16(0);  // method: stored
  out->U16(0);  // time 00:00
  out->U16(kDosDate);
  out->U32(facts.crc32);
  out->U32(static_cast<std::uint32_t>(facts.size));  // compressed size
  out->U32(static_cast<std::uint32_t>(facts.size));  // uncompressed size
  out->U16(static_cast<std::uint16_t>(input.name.size()));
  out->U16(0);  // extra field length
}

bool CopyContent(const std::filesystem::path& source, std::uint64_t size, std::ofstream* out) {
  std::ifstream in(source, std::ios::binary);
  std::unique_ptr<char[]> buffer(new char[kBufferBytes]);
  std::uint64_t copied = 0;
  while (in && copied < size) {
    in.read(buffer.get(), static_cast<std::streamsize>(kBufferBytes));
    const auto got = static_cast<std::uint64_t>(in.gcount());
    out->write(buffer.get(), static_cast<std::streamsize>(got));
    copied += got;
  }
  // The file must not have changed between the two passes.
  return copied == size && in.peek() == std::ifstream::traits_type::eof() && *out;
}

}  // namespace

bool MeasureFile(const std::filesystem::path& source, ZipEntryFacts* facts) {
  std::ifstream in(source, std::ios::binary);
  if (!in)
    return false;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)
    return false;
  std::unique_ptr<char[]> buffer(new char[kBufferBytes]);
  std::uint32_t crc = 0;
  facts->size = 0;
  while (in) {
    in.read(buffer.get(), static_cast<std::streamsize>(kBufferBytes));
    const auto got = static_cast<std::size_t>(in.gcount());
    crc = ContinueCrc32(crc, buffer.get(), got);
    if (EVP_DigestUpdate(digest.get(), buffer.get(), got) != 1)
      return false;
    facts->size += got;
  }
  if (in.bad())
    return false;
  facts->crc32 = crc;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(digest.get(), md, &length) != 1)
    return false;
  static const char kHex[] = "0123456789abcdef";
  facts->sha256.clear();
  for (unsigned int i = 0; i < length; ++i) {
    facts->sha256 += kHex[md[i] >> 4];
    facts->sha256 += kHex[md[i] & 0xF];
  }
  return true;
}

std::uint64_t StoredZipSize(const std::vector<ZipInput>& inputs,
                            const std::vector<ZipEntryFacts>& facts) {
  std::uint64_t total = kEndBytes;
  for (std::size_t i = 0; i < inputs.size(); ++i)
    total += kLocalHeaderBytes + kCentralHeaderBytes + 2 * inputs[i].name.size() + facts[i].size;
  return total;
}

bool WriteStoredZip(const std::filesystem::path& target, const std::vector<ZipInput>& inputs,
                    const std::vector<ZipEntryFacts>& facts, std::string* error) {
  if (StoredZipSize(inputs, facts) >= 0xFFFFFFFFull) {
    *error = "the archive would reach 4 GiB";
    return false;
  }
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  if (!out) {
    *error = "cannot create " + target.string();
    return false;
  }
  LittleEndian central;
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    LittleEndian local;
    local.U32(kLocalHeaderSignature);
    EntryFields(&local, inputs[i], facts[i]);
    local.Text(inputs[i].name);
    out.write(local.bytes().data(), static_cast<std::streamsize>(local.bytes().size()));
    if (!CopyContent(inputs[i].source, facts[i].size, &out)) {
      *error = "cannot copy " + inputs[i].source.string() + " (changed while packing?)";
      return false;
    }
    central.U32(kCentralHeaderSignature);
    central.U16(kVersionMadeBy);
    EntryFields(&central, inputs[i], facts[i]);
    central.U16(0);  // comment length
    central.U16(0);  // disk number
    central.U16(0);  // internal attributes
    central.U32(kUnixFileMode);
    central.U32(static_cast<std::uint32_t>(offset));
    central.Text(inputs[i].name);
    offset += local.bytes().size() + facts[i].size;
  }
  LittleEndian end;
  end.U32(kEndSignature);
  end.U16(0);  // this disk
  end.U16(0);  // disk of the central directory
  end.U16(static_cast<std::uint16_t>(inputs.size()));
  end.U16(static_cast<std::uint16_t>(inputs.size()));
  end.U32(static_cast<std::uint32_t>(central.bytes().size()));
  end.U32(static_cast<std::uint32_t>(offset));
  end.U16(0);  // comment length
  out.write(central.bytes().data(), static_cast<std::streamsize>(central.bytes().size()));
  out.write(end.bytes().data(), static_cast<std::streamsize>(end.bytes().size()));
  out.close();
  if (!out) {
    *error = "cannot write " + target.string();
    return false;
  }
  return true;
}

}  // namespace vovu::tools
