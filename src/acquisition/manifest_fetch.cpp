// The manifest fetch, step by step: the built-in address is checked, one GET is sent with
// redirects disabled (a 3xx answer fails on its status), and the body is read in pieces of
// at most 16 KiB up to 1 MiB. The whole request, headers included, is bounded by its
// deadline and ended at once by the service's stop event (https_request.h).
#include "acquisition/manifest_fetch.h"

#include <algorithm>
#include <vector>

#include "acquisition/download_limits.h"
#include "acquisition/https_request.h"
#include "acquisition/update_host.h"
#include "foundation/diagnostics.h"
#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "platform/error.h"
#include "platform/http.h"

namespace vovu {
namespace {

bool Fail(std::u16string* error, const std::u16string& message) {
  *error = message;
  return false;
}

// Only the constant is checked here: https, port 443, and the update host's own name.
bool CrackBuiltInUrl(platform::UrlParts* url) {
  const platform::UrlBufferSizes sizes{256, 2048, 2048};
  return platform::CrackUrl(OfficialManifestUrl(), &sizes, url) &&
         url->scheme == platform::UrlScheme::kHttps && url->port == 443 &&
         ToLower(url->host) == UpdateHostName();
}

// The text of a failed call: the request's limits, or `otherwise`.
bool FailCall(const RequestDeadline& deadline, std::u16string* error,
              const std::u16string& otherwise) {
  switch (ClassifyHttpFailure(deadline)) {
    case HttpFailure::kCancelled:
      return Fail(error, u"manifest request cancelled");
    case HttpFailure::kDeadline:
      LogDebug(u"manifest fetch: deadline of " + DescribeMilliseconds(deadline.totalMs()) +
               u" passed");
      return Fail(error, u"manifest request timed out");
    case HttpFailure::kReceive:
      return Fail(error, u"manifest receive timed out");
    case HttpFailure::kOther:
      break;
  }
  return Fail(error, otherwise);
}

}  // namespace

bool FetchOfficialManifest(std::u16string* text, std::u16string* error) {
  platform::UrlParts url;
  if (!CrackBuiltInUrl(&url))
    return Fail(error, u"invalid built-in hot-update manifest URL");
  const RequestDeadline deadline(CurrentDownloadLimits().manifestDeadlineMs);
  HttpsRequest exchange;
  if (!OpenHttpsGet(url.host, url.port, url.path + url.extraInfo, deadline, &exchange, error))
    return false;
  if (!platform::SendHttpRequest(exchange.request) ||
      !platform::ReceiveHttpResponse(exchange.request)) {
    return FailCall(deadline, error,
                    u"manifest request failed: " + FormatWin32Error(platform::LastError()));
  }
  std::uint32_t status = 0;
  if (!platform::QueryHttpStatusCode(exchange.request, &status))
    status = 0;
  if (status != 200)
    return Fail(error,
                u"manifest HTTP status=" + ToDecimal(static_cast<unsigned long long>(status)));
  if (ServiceStopRequested())
    return Fail(error, u"manifest request cancelled");

  std::string body;
  std::vector<char> piece(kManifestReadPiece);
  for (;;) {
    std::uint32_t available = 0;
    if (!platform::QueryHttpDataAvailable(exchange.request, &available))
      return FailCall(deadline, error, u"manifest query data failed");
    if (available == 0)
      break;
    const std::uint32_t wanted =
        std::min<std::uint32_t>(available, static_cast<std::uint32_t>(piece.size()));
    std::uint32_t read = 0;
    if (!platform::ReadHttpData(exchange.request, piece.data(), wanted, &read))
      return FailCall(deadline, error, u"manifest read failed");
    if (read == 0)
      return Fail(error, u"manifest read failed");
    if (body.size() + read > kMaxManifestBytes)
      return Fail(error, u"manifest is too large");
    body.append(piece.data(), read);
    if (ServiceStopRequested())
      return Fail(error, u"manifest request cancelled");
  }

  std::u16string decoded = Utf8ToWide(body);
  if (!decoded.empty() && decoded[0] == u'\xFEFF')
    decoded.erase(0, 1);
  if (decoded.empty())
    return Fail(error, u"manifest is empty or not UTF-8");
  *text = std::move(decoded);
  return true;
}

}  // namespace vovu
