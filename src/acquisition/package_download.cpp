// The download, step by step: the size and the address are checked before anything goes on
// the network; each redirect is followed by the service itself, its Location checked like the
// first address before a request goes there (at most kMaxPackageRedirects); where the answer
// finally came from is checked again before a byte is written; each piece is checked against
// the expected size before it is written, so the file never grows past it. The whole chain
// is bounded by the package's deadline and ended at once by the service's stop event.
#include "acquisition/package_download.h"

#include <algorithm>
#include <vector>

#include "acquisition/download_limits.h"
#include "acquisition/https_request.h"
#include "acquisition/redirect_target.h"
#include "acquisition/update_host.h"
#include "foundation/diagnostics.h"
#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "platform/error.h"
#include "platform/files.h"

namespace vovu {
namespace {

bool Fail(std::u16string* error, const std::u16string& message) {
  *error = message;
  return false;
}

// The text of a failed call: the request's limits, or `otherwise`.
bool FailCall(const RequestDeadline& deadline, std::u16string* error,
              const std::u16string& otherwise) {
  switch (ClassifyHttpFailure(deadline)) {
    case HttpFailure::kCancelled:
      return Fail(error, u"download cancelled");
    case HttpFailure::kDeadline:
      LogDebug(u"package download: deadline of " + DescribeMilliseconds(deadline.totalMs()) +
               u" passed");
      return Fail(error, u"package download timed out");
    case HttpFailure::kReceive:
      return Fail(error, u"package receive timed out");
    case HttpFailure::kOther:
      break;
  }
  return Fail(error, otherwise);
}

bool IsRedirectStatus(std::uint32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Reads the body into the open temporary file. On failure the message says why; the caller
// deletes the file.
bool ReceiveBody(const platform::HttpHandle& request, const platform::FileHandle& file,
                 std::uint64_t expectedSize, const RequestDeadline& deadline,
                 std::u16string* error) {
  if (ServiceStopRequested())
    return Fail(error, u"download cancelled");
  std::vector<char> buffer(kDownloadBufferBytes);
  std::uint64_t total = 0;
  for (;;) {
    std::uint32_t available = 0;
    if (!platform::QueryHttpDataAvailable(request, &available))
      return FailCall(deadline, error, u"query data failed");
    if (available == 0) {
      if (total == expectedSize)
        return true;
      return Fail(error, u"package size mismatch");
    }
    std::uint32_t read = 0;
    if (!platform::ReadHttpData(request, buffer.data(), std::min(available, kDownloadBufferBytes),
                                &read)) {
      return FailCall(deadline, error, u"read data failed");
    }
    if (read == 0)
      return Fail(error, u"read data failed");
    if (read > expectedSize - total)
      return Fail(error, u"package exceeds expected size");
    if (!platform::WriteToFile(file, buffer.data(), read))
      return Fail(error, u"write download failed");
    total += read;
    if (ServiceStopRequested())
      return Fail(error, u"download cancelled");
  }
}

// Sends the GET of one address of the chain (already checked) and waits for its headers.
bool Exchange(const platform::UrlParts& parts, const RequestDeadline& deadline,
              HttpsRequest* exchange, std::uint32_t* status, std::u16string* error) {
  if (!OpenHttpsGet(parts.host, parts.port, parts.path + parts.extraInfo, deadline, exchange,
                    error)) {
    return false;
  }
  if (!platform::SendHttpRequest(exchange->request) ||
      !platform::ReceiveHttpResponse(exchange->request)) {
    return FailCall(deadline, error, u"no response");
  }
  if (!platform::QueryHttpStatusCode(exchange->request, status))
    *status = 0;
  return true;
}

}  // namespace

bool IsAllowedUpdateHost(const std::u16string& host) {
  for (char16_t c : host) {
    const bool allowed = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                         (c >= u'0' && c <= u'9') || c == u'-' || c == u'.';
    if (!allowed)
      return false;
  }
  const std::u16string lowered = ToLower(host);
  const std::u16string suffix = u"." + UpdateDomain();
  return lowered.size() > suffix.size() &&
         lowered.compare(lowered.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsAllowedPackageAddress(const std::u16string& url, std::u16string* error) {
  platform::UrlParts parts;
  if (!platform::CrackUrl(url, nullptr, &parts))
    return Fail(error, u"cannot crack redirect location");
  if (parts.scheme != platform::UrlScheme::kHttps)
    return Fail(error, u"hot-update redirect target must be https");
  if (!IsAllowedUpdateHost(parts.host) || parts.port != 443 || !parts.userName.empty() ||
      !parts.password.empty()) {
    return Fail(error, u"hot-update redirect target host is not allowed");
  }
  return true;
}

bool CheckFinalUrl(const platform::HttpHandle& request, std::u16string* error) {
  const std::uint32_t size = platform::QueryHttpFinalUrlSize(request);
  if (size == 0)
    return Fail(error, u"cannot query final redirect url");
  std::u16string url;
  if (!platform::QueryHttpFinalUrl(request, size / 2 + 1, &url)) {
    return Fail(error,
                u"cannot read final redirect url: " + FormatWin32Error(platform::LastError()));
  }
  platform::UrlParts parts;
  if (!platform::CrackUrl(url, nullptr, &parts))
    return Fail(error, u"cannot crack final redirect url");
  if (parts.scheme != platform::UrlScheme::kHttps || !IsAllowedUpdateHost(parts.host))
    return Fail(error, u"hot-update redirect target host is not allowed");
  return true;
}

bool DownloadPackage(const std::u16string& url, const std::u16string& destPath,
                     std::uint64_t expectedSize, std::u16string* error) {
  if (expectedSize == 0 || expectedSize > kMaxPackageBytes)
    return Fail(error, u"invalid expected package size");
  platform::UrlParts parts;
  const platform::UrlBufferSizes sizes{256, 2048, 2048};
  if (!platform::CrackUrl(url, &sizes, &parts))
    return Fail(error, u"WinHttpCrackUrl failed: " + FormatWin32Error(platform::LastError()));
  if (parts.scheme != platform::UrlScheme::kHttps)
    return Fail(error, u"hot-update package must be https");
  if (!IsAllowedUpdateHost(parts.host) || parts.port != 443)
    return Fail(error, u"hot-update package host is not allowed");

  const RequestDeadline deadline(PackageDeadlineMs(expectedSize));
  HttpsRequest exchange;
  std::uint32_t status = 0;
  std::u16string current = url;
  for (int redirects = 0;; ++redirects) {
    // The previous hop's handles close first, request before connection before session.
    exchange.request.reset();
    exchange.connection.reset();
    exchange.session.reset();
    if (!Exchange(parts, deadline, &exchange, &status, error))
      return false;
    if (!IsRedirectStatus(status))
      break;
    if (redirects == kMaxPackageRedirects)
      return Fail(error, u"too many redirects");
    std::u16string location;
    std::u16string next;
    if (!platform::QueryHttpLocation(exchange.request, &location) ||
        !ResolveRedirectLocation(current, location, &next)) {
      return Fail(error, u"redirect without a usable location");
    }
    if (!IsAllowedPackageAddress(next, error)) {
      LogDebug(u"package download: redirect refused: " + next);
      return false;
    }
    if (!platform::CrackUrl(next, &sizes, &parts))
      return Fail(error, u"cannot crack redirect location");
    current = next;
  }
  if (!CheckFinalUrl(exchange.request, error))
    return false;
  if (status != 200)
    return Fail(error, u"http status=" + ToDecimal(static_cast<unsigned long long>(status)));

  const std::u16string partPath = destPath + u".part";
  platform::FileHandle file =
      platform::CreateFileForWrite(partPath, platform::kShareNone, /*createAlways=*/true);
  if (!file.valid())
    return Fail(error, u"create output failed: " + FormatWin32Error(platform::LastError()));
  if (!ReceiveBody(exchange.request, file, expectedSize, deadline, error)) {
    file.reset();
    (void)platform::DeleteFileAt(partPath);
    return false;
  }
  (void)platform::FlushFile(file);
  file.reset();
  if (!platform::MoveFileReplacing(partPath, destPath))
    return Fail(error, u"move .part failed: " + FormatWin32Error(platform::LastError()));
  return true;
}

}  // namespace vovu
