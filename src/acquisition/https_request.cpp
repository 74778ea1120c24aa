#include "acquisition/https_request.h"

#include "acquisition/update_host.h"
#include "foundation/diagnostics.h"
#include "foundation/service_stop.h"
#include "platform/error.h"

namespace vovu {

RequestDeadline::RequestDeadline(std::uint32_t totalMs)
    : start_(std::chrono::steady_clock::now()), totalMs_(totalMs) {}

std::uint32_t RequestDeadline::RemainingMs() const {
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start_)
                         .count();
  return spent >= static_cast<long long>(totalMs_) ? 0u
                                                   : static_cast<std::uint32_t>(totalMs_ - spent);
}

bool OpenHttpsGet(const std::u16string& host, std::uint16_t port, const std::u16string& objectName,
                  const RequestDeadline& deadline, HttpsRequest* exchange, std::u16string* error) {
  exchange->session = platform::OpenHttpSession(kUpdateUserAgent);
  if (!exchange->session.valid()) {
    *error = u"WinHttpOpen failed";
    return false;
  }
  // The result is not examined: a session without its time-outs still has the defaults.
  (void)platform::SetHttpTimeouts(exchange->session, kResolveTimeoutMs, kConnectTimeoutMs,
                                  kSendTimeoutMs, kReceiveTimeoutMs);
  exchange->connection = platform::ConnectHttp(exchange->session, host, port);
  if (!exchange->connection.valid()) {
    *error = u"WinHttpConnect failed";
    return false;
  }
  exchange->request =
      platform::OpenHttpRequest(exchange->connection, u"GET", objectName, /*secure=*/true);
  if (!exchange->request.valid()) {
    *error = u"WinHttpOpenRequest failed";
    return false;
  }
  // Every redirect is the caller's to check before anything is sent where it points.
  if (!platform::DisableHttpRedirects(exchange->request)) {
    *error = u"cannot disable redirects";
    return false;
  }
  if (!platform::LimitHttpRequest(exchange->request, deadline.RemainingMs(), ServiceStopEvent())) {
    *error = u"cannot limit request: " + FormatWin32Error(platform::LastError());
    return false;
  }
  return true;
}

HttpFailure ClassifyHttpFailure(const RequestDeadline& deadline) {
  const platform::Win32Error code = platform::LastError();
  if (code == platform::kErrorHttpOperationCancelled)
    return HttpFailure::kCancelled;
  if (code == platform::kErrorHttpTimeout)
    return deadline.RemainingMs() == 0 ? HttpFailure::kDeadline : HttpFailure::kReceive;
  return HttpFailure::kOther;
}

}  // namespace vovu
