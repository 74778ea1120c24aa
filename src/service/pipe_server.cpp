#include "service/pipe_server.h"

#include <vector>

#include "caller/request_context.h"
#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/security.h"
#include "service/dispatcher.h"
#include "service/service_names.h"
#include "service/service_state.h"

namespace vovu {
namespace {}  // namespace

std::u16string ReplyForRequest(const std::u16string& request, const RequestContext& context,
                               CommandDispatcher dispatch) {
  const std::vector<std::u16string> lines = SplitLines(request);
  const std::u16string word = lines.empty() ? std::u16string() : NormalizeCommandWord(lines[0]);
  const std::vector<std::u16string> args(lines.begin() + (lines.empty() ? 0 : 1), lines.end());
  std::u16string failure;
  bool ok = false;
  try {
    ok = dispatch(word, args, context, &failure);
  } catch (...) {
    failure = u"internal service error";
    LogDebug(u"pipe command threw: " + word);
    ok = false;
  }
  return ok ? std::u16string(u"OK") : u"ERROR " + failure;
}

namespace {

// The request as UTF-16LE code units, an odd last byte ignored.
std::u16string RequestText(const std::vector<std::uint8_t>& buffer, std::uint32_t bytes) {
  std::u16string text(bytes / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
  }
  return text;
}

std::vector<std::uint8_t> ReplyBytes(const std::u16string& reply) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(reply.size() * 2);
  for (char16_t unit : reply) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return bytes;
}

}  // namespace

void HandlePipeClient(const platform::PipeHandle& pipe) {
  const platform::Event& stop = *ServiceStopEvent();
  std::vector<std::uint8_t> buffer(kPipeBufferSize, 0);
  std::uint32_t bytesRead = 0;
  if (!platform::ReadPipeMessageWithin(pipe, buffer.data(), kMaxRequestBytes, &bytesRead,
                                       kPipeTransferTimeoutMs, stop)) {
    return;
  }
  if (bytesRead == 0)
    return;
  RequestContext context = BuildPipeCallerContext(pipe);
  const std::u16string reply =
      ReplyForRequest(RequestText(buffer, bytesRead), context, ExecuteWhitelistedCommand);
  const std::vector<std::uint8_t> bytes = ReplyBytes(reply);
  (void)platform::WritePipeMessageWithin(
      pipe, bytes.data(), static_cast<std::uint32_t>(bytes.size()), kPipeTransferTimeoutMs, stop);
  (void)platform::FlushPipe(pipe);
  context.Release();
}

unsigned PipeServerThread() {
  const platform::Event& stop = *ServiceStopEvent();
  platform::SecurityDescriptor descriptor;
  const bool secured = platform::ConvertSddlToSecurityDescriptor(kPipeSddl, &descriptor);
  platform::PipeInstanceSettings settings;
  settings.maxInstances = platform::kPipeUnlimitedInstances;
  settings.outBufferSize = kPipeBufferSize;
  settings.inBufferSize = kPipeBufferSize;
  settings.defaultTimeoutMs = 0;
  while (stop.Wait(0) != platform::WaitResult::kSignalled) {
    platform::PipeHandle instance =
        platform::CreatePipeInstance(kPipeName, settings, secured ? &descriptor : nullptr);
    if (!instance.valid()) {
      // Retry until the service stops; the stop ends the pause at once.
      (void)stop.Wait(kPipeCreateRetryMs);
      continue;
    }
    if (!platform::ConnectPipeClient(instance, stop)) {
      if (platform::LastError() == platform::kErrorOperationAborted)
        break;
      continue;  // a failed connect drops the instance
    }
    HandlePipeClient(instance);
    (void)platform::DisconnectPipeClient(instance);
  }
  return 0;
}

}  // namespace vovu
