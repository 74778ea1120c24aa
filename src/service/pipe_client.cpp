#include "service/pipe_client.h"

#include <chrono>
#include <vector>

#include "foundation/diagnostics.h"
#include "platform/pipe.h"
#include "platform/service_control.h"
#include "service/pipe_message.h"
#include "service/service_names.h"

namespace vovu {
namespace {

using Clock = std::chrono::steady_clock;

// Opens an instance of the service's pipe, waiting up to kPipeClientWaitMs in all. Several
// clients woken by one free instance race for it; those that lose (231) wait again.
platform::PipeHandle OpenWithinWait() {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kPipeClientWaitMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      platform::SetLastErrorCode(platform::kErrorSemTimeout);
      return platform::PipeHandle();
    }
    if (!platform::WaitForPipeInstance(kPipeName, static_cast<std::uint32_t>(left.count())))
      return platform::PipeHandle();
    platform::PipeHandle pipe = platform::OpenPipe(kPipeName);
    if (pipe.valid() || platform::LastError() != platform::kErrorPipeBusy)
      return pipe;
  }
}

// Whether the server is the process the service manager reports for the service: a
// process the manager started as the service is the service, whatever its token shows an
// ordinary user.
bool IsServerTheRegisteredService(const platform::PipeHandle& pipe) {
  std::uint32_t server = 0;
  if (!platform::GetPipeServerProcessId(pipe, &server) || server == 0)
    return false;
  const platform::ServiceHandle manager = platform::OpenServiceManager(platform::kScManagerConnect);
  if (!manager.valid())
    return false;
  const platform::ServiceHandle service =
      platform::OpenServiceEntry(manager, kServiceName, platform::kServiceQueryStatus);
  platform::ServiceStatus status;
  return service.valid() && platform::QueryServiceEntryStatus(service, &status) &&
         status.currentState != platform::kServiceStopped && status.processId == server;
}

}  // namespace

bool SendPipeRequest(const std::u16string& request, std::u16string* reply) {
  platform::PipeHandle pipe = OpenWithinWait();
  if (!pipe.valid())
    return false;
  // Nothing goes to a server that is not the service: an impersonation-level client must
  // not let another user's process act as its caller.
  bool service = false;
  if (!platform::IsPipeServerTheSystemService(pipe, &service))
    return false;
  if (!service)
    service = IsServerTheRegisteredService(pipe);
  if (!service) {
    LogDebug(u"pipe server is not the service");
    platform::SetLastErrorCode(platform::kErrorAccessDenied);
    return false;
  }
  (void)platform::SetPipeMessageReadMode(pipe);
  const std::vector<std::uint8_t> bytes = PipeMessageBytes(request);
  if (!platform::WritePipeMessage(pipe, bytes.data(), static_cast<std::uint32_t>(bytes.size())))
    return false;
  std::vector<std::uint8_t> buffer(kMaxReplyBytes + 2, 0);
  std::uint32_t got = 0;
  if (!platform::ReadPipeMessage(pipe, buffer.data(), kMaxReplyBytes, &got))
    return false;
  *reply = PipeMessageText(buffer.data(), got);
  return true;
}

}  // namespace vovu
