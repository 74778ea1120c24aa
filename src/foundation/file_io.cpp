#include "foundation/file_io.h"

#include <limits>

#include "foundation/text.h"
#include "platform/files.h"

namespace vovu {

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
