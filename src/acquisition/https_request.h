// The one GET request of the manifest fetch and of the package download: a session, a
// connection and a request, opened in that order with the fixed user agent and time-outs,
// and closed in the reverse order (request, connection, session) on every path.
#pragma once

#include <cstdint>
#include <string>

#include "platform/http.h"

namespace vovu {

struct HttpsRequest {
  // Declared in opening order, so they are destroyed request first.
  platform::HttpHandle session;
  platform::HttpHandle connection;
  platform::HttpHandle request;
};

// Opens a session (automatic proxy, synchronous) with the time-outs, connects to
// host:port and opens a secure GET of `objectName`. Nothing is sent. Failures: "WinHttpOpen
// failed", "WinHttpConnect failed", "WinHttpOpenRequest failed".
[[nodiscard]] bool OpenHttpsGet(const std::u16string& host, std::uint16_t port,
                                const std::u16string& objectName, HttpsRequest* exchange,
                                std::u16string* error);

}  // namespace vovu
