// UTF-8 <-> UTF-16 conversion as code page 65001 does it with no flags.
//
// Invalid UTF-8 becomes U+FFFD replacement characters and unpaired surrogates are
// encoded as U+FFFD; neither is an error. The host implementation follows what Windows
// does for each ill-formed sequence (one U+FFFD per maximal ill-formed subpart).
#pragma once

#include <cstddef>
#include <string>

namespace vovu::platform {

[[nodiscard]] std::u16string MultiByteUtf8ToWide(const char* bytes, std::size_t length);
[[nodiscard]] std::string WideToMultiByteUtf8(const std::u16string& text);

}  // namespace vovu::platform
