#include "service/pipe_client.h"

#include <cstdint>
#include <vector>

#include "platform/pipe.h"
#include "service/service_names.h"

namespace vovu {

bool SendPipeRequest(const std::u16string& request, std::u16string* reply) {
  if (!platform::WaitForPipeInstance(kPipeName, kPipeClientWaitMs))
    return false;
  platform::PipeHandle pipe = platform::OpenPipe(kPipeName);
  if (!pipe.valid())
    return false;
  (void)platform::SetPipeMessageReadMode(pipe);
  std::vector<std::uint8_t> bytes;
  bytes.reserve(request.size() * 2);
  for (char16_t unit : request) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  if (!platform::WritePipeMessage(pipe, bytes.data(), static_cast<std::uint32_t>(bytes.size()))) {
    return false;
  }
  std::vector<std::uint8_t> buffer(kMaxReplyBytes + 2, 0);
  std::uint32_t got = 0;
  if (!platform::ReadPipeMessage(pipe, buffer.data(), kMaxReplyBytes, &got))
    return false;
  std::u16string text(got / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
  }
  *reply = std::move(text);
  return true;
}

}  // namespace vovu
