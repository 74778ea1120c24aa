#include "service/pipe_server.h"

#include <vector>

#include "caller/request_context.h"
#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/security.h"
#include "service/pipe_message.h"
#include "service/service_names.h"

namespace vovu {

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

void HandlePipeClient(const platform::PipeHandle& pipe, const platform::Event& stop,
                      CommandDispatcher dispatch) {
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
      ReplyForRequest(PipeMessageText(buffer.data(), bytesRead), context, dispatch);
  const std::vector<std::uint8_t> bytes = PipeMessageBytes(reply);
  if (platform::WritePipeMessageWithin(pipe, bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                       kPipeTransferTimeoutMs, stop)) {
    // A client that never takes its reply holds the pipe thread for this bound at most.
    (void)platform::FlushPipeWithin(pipe, kPipeTransferTimeoutMs, stop);
  }
  context.Release();
}

namespace {

// One instance of the service's pipe. `first`: only when no instance of the name exists,
// so that the service never shares its name with another process.
platform::PipeHandle CreateInstance(bool first, const platform::SecurityDescriptor* security) {
  platform::PipeInstanceSettings settings;
  settings.maxInstances = platform::kPipeUnlimitedInstances;
  settings.outBufferSize = kPipeBufferSize;
  settings.inBufferSize = kPipeBufferSize;
  settings.defaultTimeoutMs = 0;
  settings.firstInstance = first;
  return platform::CreatePipeInstance(kPipeName, settings, security);
}

}  // namespace

void RunPipeServer(const platform::Event& stop, CommandDispatcher dispatch) {
  platform::SecurityDescriptor descriptor;
  const platform::SecurityDescriptor* security =
      platform::ConvertSddlToSecurityDescriptor(kPipeSddl, &descriptor) ? &descriptor : nullptr;
  // The instance the next client connects to. Between exchanges it is the one that listened
  // while the last client was served, so the name exists from the first creation on.
  platform::PipeHandle listening;
  bool creationFailing = false;
  while (stop.Wait(0) != platform::WaitResult::kSignalled) {
    if (!listening.valid()) {
      listening = CreateInstance(/*first=*/true, security);
      if (!listening.valid()) {
        // Logged once per run of failures: another process may hold the name for long.
        if (!creationFailing) {
          LogDebug(u"CreateNamedPipe failed (" + std::u16string(kPipeName) + u"), retrying: " +
                   FormatWin32Error(platform::LastError()));
        }
        creationFailing = true;
        (void)stop.Wait(kPipeCreateRetryMs);
        continue;
      }
      creationFailing = false;
    }
    if (!platform::ConnectPipeClient(listening, stop)) {
      if (platform::LastError() == platform::kErrorOperationAborted)
        break;
      listening.reset();  // a failed connect drops the instance
      continue;
    }
    // Another instance listens while this client is served. If it cannot be made now, the
    // name is created anew, as the first instance, after the exchange.
    platform::PipeHandle next = CreateInstance(/*first=*/false, security);
    HandlePipeClient(listening, stop, dispatch);
    (void)platform::DisconnectPipeClient(listening);
    listening = std::move(next);
  }
}

}  // namespace vovu
