// The download, step by step: the size and the address are checked before anything goes on
// the network; redirects follow the system's default policy and where they led is checked
// before a byte is written; each piece is checked against the expected size before it is
// written, so the file never grows past it; the stop event is watched between pieces.
#include "acquisition/package_download.h"

#include <algorithm>
#include <vector>

#include "acquisition/https_request.h"
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

// Reads the body into the open temporary file. On failure the message says why; the caller
// deletes the file.
bool ReceiveBody(const platform::HttpHandle& request, const platform::FileHandle& file,
                 std::uint64_t expectedSize, std::u16string* error) {
  if (ServiceStopRequested())
    return Fail(error, u"download cancelled");
  std::vector<char> buffer(kDownloadBufferBytes);
  std::uint64_t total = 0;
  for (;;) {
    std::uint32_t available = 0;
    if (!platform::QueryHttpDataAvailable(request, &available))
      return Fail(error, u"query data failed");
    if (available == 0) {
      if (total == expectedSize)
        return true;
      return Fail(error, u"package size mismatch");
    }
    std::uint32_t read = 0;
    if (!platform::ReadHttpData(request, buffer.data(), std::min(available, kDownloadBufferBytes),
                                &read) ||
        read == 0) {
      return Fail(error, u"read data failed");
    }
    if (read > expectedSize - total)
      return Fail(error, u"package exceeds expected size");
    if (!platform::WriteToFile(file, buffer.data(), read))
      return Fail(error, u"write download failed");
    total += read;
    if (ServiceStopRequested())
      return Fail(error, u"download cancelled");
  }
}

}  // namespace

bool IsAllowedUpdateHost(const std::u16string& host) {
  const std::u16string lowered = ToLower(host);
  const std::u16string suffix = u"." + UpdateDomain();
  return lowered.size() > suffix.size() &&
         lowered.compare(lowered.size() - suffix.size(), suffix.size(), suffix) == 0;
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

  HttpsRequest exchange;
  if (!OpenHttpsGet(parts.host, parts.port, parts.path + parts.extraInfo, &exchange, error))
    return false;
  if (!platform::SendHttpRequest(exchange.request) ||
      !platform::ReceiveHttpResponse(exchange.request)) {
    return Fail(error, u"no response");
  }
  std::uint32_t status = 0;
  if (!platform::QueryHttpStatusCode(exchange.request, &status))
    status = 0;
  if (!CheckFinalUrl(exchange.request, error))
    return false;
  if (status != 200)
    return Fail(error, u"http status=" + ToDecimal(static_cast<unsigned long long>(status)));

  const std::u16string partPath = destPath + u".part";
  platform::FileHandle file =
      platform::CreateFileForWrite(partPath, platform::kShareNone, /*createAlways=*/true);
  if (!file.valid())
    return Fail(error, u"create output failed: " + FormatWin32Error(platform::LastError()));
  if (!ReceiveBody(exchange.request, file, expectedSize, error)) {
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
