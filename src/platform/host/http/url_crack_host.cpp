// WinHttpCrackUrl on the host: "scheme://[user[:password]@]host[:port][/path][?extra]".
// The scheme is http or https in any letter case; the host may be an IPv6 literal in
// brackets (given back without them); a missing port is the scheme's default; the path runs
// from the first '/' after the authority to the first '?' or '#', the extra information
// from there to the end. Nothing is unescaped.
#include "platform/fault_injection.h"
#include "platform/host/http/url_text.h"
#include "platform/http.h"

namespace vovu::platform {
namespace {

bool Fail(Win32Error code) {
  SetLastErrorCode(code);
  return false;
}

std::u16string LowerAscii(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text;
}

// Reads a port of 1 to 5 digits below 65536.
bool ParsePort(const std::u16string& text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5)
    return false;
  unsigned value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9')
      return false;
    value = value * 10 + static_cast<unsigned>(c - u'0');
  }
  if (value == 0 || value > 65535)
    return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

// The host and port part of the authority (after any user information).
bool SplitHostPort(const std::u16string& hostPort, UrlScheme scheme, UrlParts* parts) {
  std::u16string host;
  std::u16string portText;
  bool hasPort = false;
  if (!hostPort.empty() && hostPort[0] == u'[') {
    const std::size_t close = hostPort.find(u']');
    if (close == std::u16string::npos)
      return false;
    host = hostPort.substr(1, close - 1);
    const std::u16string rest = hostPort.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != u':')
        return false;
      hasPort = true;
      portText = rest.substr(1);
    }
  } else {
    const std::size_t colon = hostPort.find(u':');
    host = hostPort.substr(0, colon);
    if (colon != std::u16string::npos) {
      hasPort = true;
      portText = hostPort.substr(colon + 1);
    }
  }
  if (host.empty())
    return false;
  parts->host = host;
  parts->port = scheme == UrlScheme::kHttps ? 443 : 80;
  return !hasPort || ParsePort(portText, &parts->port);
}

}  // namespace

bool CrackUrl(const std::u16string& url, const UrlBufferSizes* sizes, UrlParts* parts) {
  if (FaultDue(FaultPoint::kHttpCrackUrl, url))
    return false;
  return host::SplitUrl(url, sizes, parts);
}

bool host::SplitUrl(const std::u16string& url, const UrlBufferSizes* sizes, UrlParts* parts) {
  const std::size_t separator = url.find(u"://");
  if (separator == std::u16string::npos)
    return Fail(kErrorHttpUnrecognizedScheme);
  const std::u16string scheme = LowerAscii(url.substr(0, separator));
  UrlParts result;
  if (scheme == u"https") {
    result.scheme = UrlScheme::kHttps;
  } else if (scheme == u"http") {
    result.scheme = UrlScheme::kHttp;
  } else {
    return Fail(kErrorHttpUnrecognizedScheme);
  }

  const std::size_t authorityStart = separator + 3;
  std::size_t authorityEnd = url.find_first_of(u"/?#", authorityStart);
  if (authorityEnd == std::u16string::npos)
    authorityEnd = url.size();
  std::u16string authority = url.substr(authorityStart, authorityEnd - authorityStart);
  const std::size_t at = authority.rfind(u'@');
  if (at != std::u16string::npos) {
    const std::u16string user = authority.substr(0, at);
    const std::size_t colon = user.find(u':');
    result.userName = user.substr(0, colon);
    if (colon != std::u16string::npos)
      result.password = user.substr(colon + 1);
    authority.erase(0, at + 1);
  }
  if (!SplitHostPort(authority, result.scheme, &result))
    return Fail(kErrorHttpInvalidUrl);

  const std::size_t extraStart = url.find_first_of(u"?#", authorityEnd);
  if (extraStart == std::u16string::npos) {
    result.path = url.substr(authorityEnd);
  } else {
    result.path = url.substr(authorityEnd, extraStart - authorityEnd);
    result.extraInfo = url.substr(extraStart);
  }

  if (sizes != nullptr &&
      (result.host.size() + 1 > sizes->host || result.path.size() + 1 > sizes->path ||
       result.extraInfo.size() + 1 > sizes->extraInfo)) {
    return Fail(kErrorInsufficientBuffer);
  }
  *parts = std::move(result);
  return true;
}

}  // namespace vovu::platform
