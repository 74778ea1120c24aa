// The GET requests of the manifest fetch and of the package download: a session, a
// connection and a request, opened in that order with the fixed user agent and time-outs,
// redirects left to the caller, bounded as a whole by a deadline and the service's stop
// event, and closed in the reverse order (request, connection, session) on every path.
#pragma once

#include <chrono>
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

// The total time of one download, started when it is made; a chain of requests (redirects)
// shares one.
class RequestDeadline {
 public:
  explicit RequestDeadline(std::uint32_t totalMs);
  [[nodiscard]] std::uint32_t totalMs() const { return totalMs_; }
  // What is left, 0 once it has passed.
  [[nodiscard]] std::uint32_t RemainingMs() const;

 private:
  std::chrono::steady_clock::time_point start_;
  std::uint32_t totalMs_;
};

// Opens a session (automatic proxy, synchronous) with the time-outs, connects to host:port,
// opens a secure GET of `objectName` with redirects disabled, and bounds it by what is left
// of `deadline` and by the service's stop event. Nothing is sent. Failures: "WinHttpOpen
// failed", "WinHttpConnect failed", "WinHttpOpenRequest failed", "cannot disable redirects",
// "cannot limit request: " + the error text.
[[nodiscard]] bool OpenHttpsGet(const std::u16string& host, std::uint16_t port,
                                const std::u16string& objectName, const RequestDeadline& deadline,
                                HttpsRequest* exchange, std::u16string* error);

// How a call of a bounded request failed, from its last error and the deadline.
enum class HttpFailure {
  kCancelled,  // the service's stop (12017)
  kDeadline,   // the whole request's time ran out (12002 once the deadline has passed)
  kReceive,    // one wait for the server ran out (12002 before the deadline)
  kOther,
};
[[nodiscard]] HttpFailure ClassifyHttpFailure(const RequestDeadline& deadline);

}  // namespace vovu
