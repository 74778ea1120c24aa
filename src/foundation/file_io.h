// Whole-file reads and atomic whole-file writes. They report only true or false; the
// thread's last error (platform::LastError) tells why, for callers that compose a message.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/files.h"

namespace vovu {

// Reads a whole file with one read request (generic read, read sharing only). A short read
// is not an error: the buffer is sized to what was read. No size limit is imposed here.
[[nodiscard]] bool ReadFileBytes(const std::u16string& path, std::vector<char>* bytes);

// Reads what the open `file` holds from where it stands, at most `limit` bytes: one byte more
// than that is read only to learn that the file is larger, which fails with 223
// (ERROR_FILE_TOO_LARGE) and gives nothing. The file's size is never asked: what is read is
// what counts, so a file that grows meanwhile cannot make the read larger.
[[nodiscard]] bool ReadOpenFileUpTo(const platform::FileHandle& file, std::size_t limit,
                                    std::vector<char>* bytes);

// ReadFileBytes, then Utf8ToWide; a UTF-8 byte-order mark stays as a leading U+FEFF.
[[nodiscard]] bool ReadUtf8TextFile(const std::u16string& path, std::u16string* text);

// Writes `data` to path + ".tmp" (created anew, no sharing) with one write request, flushes,
// and renames it over `path` replacing what is there. A reader sees the old or the new file,
// never a part. A failed write leaves the temporary file behind and the target untouched.
[[nodiscard]] bool WriteFileAtomic(const std::u16string& path, const void* data,
                                   std::size_t length);
[[nodiscard]] bool WriteFileAtomic(const std::u16string& path, const std::string& data);

}  // namespace vovu
