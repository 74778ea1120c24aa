#include "acquisition/https_request.h"

#include "acquisition/update_host.h"

namespace vovu {

bool OpenHttpsGet(const std::u16string& host, std::uint16_t port, const std::u16string& objectName,
                  HttpsRequest* exchange, std::u16string* error) {
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
  return true;
}

}  // namespace vovu
