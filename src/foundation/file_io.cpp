#include "foundation/file_io.h"

#include <limits>

#include "foundation/text.h"
#include "platform/files.h"

namespace vovu {
namespace {

constexpr platform::Win32Error kErrorFileTooLarge = 223;

}  // namespace

bool ReadFileBytes(const std::u16string& path, std::vector<char>* bytes) {
  platform::FileHandle file = platform::OpenFileForRead(path, platform::kShareRead);
  if (!file)
    return false;
  std::int64_t size = 0;
  if (!platform::GetFileSize(file, &size) || size < 0)
    return false;
  if (size > std::numeric_limits<std::uint32_t>::max()) {
    platform::SetLastErrorCode(platform::kErrorNotEnoughMemory);  // beyond one read request
    return false;
  }
  std::vector<char> buffer(static_cast<std::size_t>(size));
  std::uint32_t read = 0;
  if (!platform::ReadFromFile(file, buffer.data(), static_cast<std::uint32_t>(size), &read)) {
    return false;
  }
  buffer.resize(read);
  *bytes = std::move(buffer);
  return true;
}

bool ReadOpenFileUpTo(const platform::FileHandle& file, std::size_t limit,
                      std::vector<char>* bytes) {
  constexpr std::size_t kChunk = 65536;
  std::vector<char> buffer;
  for (;;) {
    const std::size_t room = limit + 1 - buffer.size();
    const std::size_t ask = room < kChunk ? room : kChunk;
    const std::size_t before = buffer.size();
    buffer.resize(before + ask);
    std::uint32_t got = 0;
    if (!platform::ReadFromFile(file, buffer.data() + before, static_cast<std::uint32_t>(ask),
                                &got)) {
      return false;
    }
    buffer.resize(before + got);
    if (buffer.size() > limit) {
      platform::SetLastErrorCode(kErrorFileTooLarge);
      return false;
    }
    if (got == 0)
      break;
  }
  *bytes = std::move(buffer);
  return true;
}

bool ReadUtf8TextFile(const std::u16string& path, std::u16string* text) {
  std::vector<char> bytes;
  if (!ReadFileBytes(path, &bytes))
    return false;
  *text = Utf8ToWide(bytes.data(), bytes.size());
  return true;
}

bool WriteFileAtomic(const std::u16string& path, const void* data, std::size_t length) {
  if (length > std::numeric_limits<std::uint32_t>::max()) {
    platform::SetLastErrorCode(platform::kErrorInvalidParameter);
    return false;
  }
  const std::u16string temporary = path + u".tmp";
  {
    platform::FileHandle file =
        platform::CreateFileForWrite(temporary, platform::kShareNone, /*createAlways=*/true);
    if (!file)
      return false;
    if (!platform::WriteToFile(file, data, static_cast<std::uint32_t>(length)))
      return false;
    (void)platform::FlushFile(file);
  }
  return platform::MoveFileReplacing(temporary, path);
}

bool WriteFileAtomic(const std::u16string& path, const std::string& data) {
  return WriteFileAtomic(path, data.data(), data.size());
}

}  // namespace vovu
