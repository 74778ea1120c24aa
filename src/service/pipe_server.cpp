#include "service/pipe_server.h"

#include <chrono>
#include <mutex>
#include <vector>

#include "caller/request_context.h"
#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/security.h"
#include "service/pipe_message.h"
#include "service/pipe_serving.h"
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

namespace {

// Commands were written to run one at a time, as they did when one thread served every
// client: the serving threads take turns here, so that only the waits for clients run side
// by side.
platform::CriticalSection& CommandTurn() {
  static platform::CriticalSection turn(4000);
  return turn;
}

}  // namespace

void HandlePipeClient(const platform::PipeHandle& pipe, const platform::Event& stop,
                      CommandDispatcher dispatch, std::uint32_t requestTimeoutMs) {
  std::vector<std::uint8_t> buffer(kPipeBufferSize, 0);
  std::uint32_t bytesRead = 0;
  if (!platform::ReadPipeMessageWithin(pipe, buffer.data(), kMaxRequestBytes, &bytesRead,
                                       requestTimeoutMs, stop)) {
    return;
  }
  if (bytesRead == 0)
    return;
  RequestContext context = BuildPipeCallerContext(pipe);
  std::u16string reply;
  {
    std::lock_guard turn(CommandTurn());
    reply = ReplyForRequest(PipeMessageText(buffer.data(), bytesRead), context, dispatch);
  }
  const std::vector<std::uint8_t> bytes = PipeMessageBytes(reply);
  if (platform::WritePipeMessageWithin(pipe, bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                       kPipeTransferTimeoutMs, stop)) {
    // A client that never takes its reply holds its serving thread for this bound at most.
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

// Makes `*listening`, whose connect failed or whose client was served on the pipe thread,
// ready to connect again without the name ever lacking an instance: the same instance is
// disconnected (it connects again on the next round), or, if it cannot be, a new one is
// made before the old one closes. If neither works, the old one stays (it still holds the
// name) and the next round comes after the retry interval.
void Relisten(platform::PipeHandle* listening, const platform::SecurityDescriptor* security,
              const platform::Event& stop, bool reuse) {
  if (reuse && platform::DisconnectPipeClient(*listening))
    return;
  platform::PipeHandle fresh = CreateInstance(/*first=*/false, security);
  if (fresh.valid()) {
    *listening = std::move(fresh);
    return;
  }
  (void)stop.Wait(kPipeCreateRetryMs);
}

}  // namespace

void RunPipeServer(const platform::Event& stop, CommandDispatcher dispatch) {
  using Clock = std::chrono::steady_clock;
  platform::SecurityDescriptor descriptor;
  const platform::SecurityDescriptor* security =
      platform::ConvertSddlToSecurityDescriptor(kPipeSddl, &descriptor) ? &descriptor : nullptr;
  PipeServingPool pool(stop, dispatch);
  // Without a single serving thread, clients are served on this thread, one at a time.
  const bool pooled = pool.Start();
  // The instance the next client connects to. Once made, it is replaced only by one made
  // before it closes, so the name exists from the first creation on.
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
      const platform::Win32Error error = platform::LastError();
      if (error == platform::kErrorOperationAborted)
        break;
      // A client that left before it was taken (232) costs nothing; any other failure is
      // unexpected and gets a fresh instance, made before the old one closes.
      Relisten(&listening, security, stop, /*reuse=*/error == platform::kErrorNoData);
      continue;
    }
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(kPipeRequestTimeoutMs);
    platform::PipeHandle next = CreateInstance(/*first=*/false, security);
    if (next.valid() && pooled) {
      std::u16string user;
      if (!platform::GetPipeClientUserSid(listening, &user))
        user.clear();  // those who cannot be told apart share one user's bound
      pool.Hand(std::move(listening), user, deadline);
      listening = std::move(next);
      continue;
    }
    // No further instance now (or no serving thread): this client is served here, and this
    // same instance listens again after it.
    HandlePipeClient(listening, stop, dispatch, kPipeRequestTimeoutMs);
    if (next.valid()) {
      listening = std::move(next);
    } else {
      Relisten(&listening, security, stop, /*reuse=*/true);
    }
  }
  pool.Stop();
}

}  // namespace vovu
