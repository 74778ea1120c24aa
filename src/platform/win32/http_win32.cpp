// HTTPS on Windows: WinHTTP, synchronous, called exactly as platform/http.h describes.
#include <vector>

#include "platform/fault_injection.h"
#include "platform/http.h"
#include "platform/win32/http_request_limit.h"
#include "platform/win32/http_wine_final_url.h"
#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <winhttp.h>

namespace vovu::platform {
namespace {

HINTERNET H(const HttpHandle& handle) {
  return reinterpret_cast<HINTERNET>(handle.get());
}

HttpHandle Own(HINTERNET handle) {
  return HttpHandle(reinterpret_cast<NativeHandle>(handle));
}

// True (with the last error set) when the request's limits have closed its handle: nothing
// may be asked of WinHTTP through it any more.
bool Ended(const HttpHandle& request) {
  const Win32Error error = win32::HttpRequestEndedWith(H(request));
  if (error == 0)
    return false;
  ::SetLastError(error);
  return true;
}

// A WinHTTP call on a limited request that failed: when the limits closed the handle under
// it, their error replaces WinHTTP's (cancelled, or an invalid handle).
bool FailedCall(const HttpHandle& request) {
  (void)Ended(request);
  return false;
}

// Copies a cracked component (a pointer and a length in characters) into `out`.
std::u16string Component(const wchar_t* text, DWORD length) {
  return text == nullptr ? std::u16string() : win32::FromW(text, length);
}

}  // namespace

void HttpHandleTraits::Close(Type h) {
  const auto handle = reinterpret_cast<HINTERNET>(h);
  win32::ForgetHttpHandle(handle);
  if (!win32::EndHttpRequestWatch(handle))
    ::WinHttpCloseHandle(handle);
}

bool CrackUrl(const std::u16string& url, const UrlBufferSizes* sizes, UrlParts* parts) {
  if (FaultDue(FaultPoint::kHttpCrackUrl, url))
    return false;
  URL_COMPONENTS components{};
  components.dwStructSize = sizeof components;
  std::vector<wchar_t> host;
  std::vector<wchar_t> path;
  std::vector<wchar_t> extra;
  if (sizes != nullptr) {
    host.assign(sizes->host == 0 ? 1 : sizes->host, L'\0');
    path.assign(sizes->path == 0 ? 1 : sizes->path, L'\0');
    extra.assign(sizes->extraInfo == 0 ? 1 : sizes->extraInfo, L'\0');
    components.lpszHostName = host.data();
    components.dwHostNameLength = sizes->host;
    components.lpszUrlPath = path.data();
    components.dwUrlPathLength = sizes->path;
    components.lpszExtraInfo = extra.data();
    components.dwExtraInfoLength = sizes->extraInfo;
  } else {
    // Non-zero lengths with null pointers: the components come back as pointers into `url`.
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    components.dwExtraInfoLength = static_cast<DWORD>(-1);
  }
  components.dwSchemeLength = static_cast<DWORD>(-1);
  components.dwUserNameLength = static_cast<DWORD>(-1);
  components.dwPasswordLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(win32::W(url), static_cast<DWORD>(url.size()), 0, &components))
    return false;
  UrlParts result;
  if (components.nScheme == INTERNET_SCHEME_HTTPS) {
    result.scheme = UrlScheme::kHttps;
  } else if (components.nScheme == INTERNET_SCHEME_HTTP) {
    result.scheme = UrlScheme::kHttp;
  } else {
    ::SetLastError(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    return false;
  }
  result.userName = Component(components.lpszUserName, components.dwUserNameLength);
  result.password = Component(components.lpszPassword, components.dwPasswordLength);
  result.host = Component(components.lpszHostName, components.dwHostNameLength);
  result.port = components.nPort;
  result.path = Component(components.lpszUrlPath, components.dwUrlPathLength);
  result.extraInfo = Component(components.lpszExtraInfo, components.dwExtraInfoLength);
  *parts = std::move(result);
  return true;
}

HttpHandle OpenHttpSession(const std::u16string& userAgent) {
  if (FaultDue(FaultPoint::kHttpOpen, u""))
    return HttpHandle();
  return Own(::WinHttpOpen(win32::W(userAgent), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
}

bool SetHttpTimeouts(const HttpHandle& session, int resolveMs, int connectMs, int sendMs,
                     int receiveMs) {
  return ::WinHttpSetTimeouts(H(session), resolveMs, connectMs, sendMs, receiveMs) != 0;
}

HttpHandle ConnectHttp(const HttpHandle& session, const std::u16string& host, std::uint16_t port) {
  if (FaultDue(FaultPoint::kHttpConnect, u""))
    return HttpHandle();
  HINTERNET connection = ::WinHttpConnect(H(session), win32::W(host), port, 0);
  win32::TrackHttpConnection(connection, host, port);
  return Own(connection);
}

HttpHandle OpenHttpRequest(const HttpHandle& connection, const std::u16string& verb,
                           const std::u16string& objectName, bool secure) {
  if (FaultDue(FaultPoint::kHttpOpenRequest, u""))
    return HttpHandle();
  HINTERNET request = ::WinHttpOpenRequest(
      H(connection), win32::W(verb), win32::W(objectName), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
  if (request == nullptr)
    return HttpHandle();
  // No server, whatever it asks, gets the machine account's credentials.
  DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
  if (!::WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof policy)) {
    const DWORD error = ::GetLastError();
    ::WinHttpCloseHandle(request);
    ::SetLastError(error);
    return HttpHandle();
  }
  win32::TrackHttpRequest(H(connection), request, objectName, secure);
  return Own(request);
}

bool DisableHttpRedirects(const HttpHandle& request) {
  if (FaultDue(FaultPoint::kHttpSetOption, u""))
    return false;
  DWORD feature = WINHTTP_DISABLE_REDIRECTS;
  return ::WinHttpSetOption(H(request), WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature) !=
         0;
}

bool LimitHttpRequest(const HttpHandle& request, std::uint32_t totalMs, const Event* stop) {
  return win32::WatchHttpRequest(H(request), totalMs, stop);
}

bool SendHttpRequest(const HttpHandle& request) {
  if (Ended(request))
    return false;
  return ::WinHttpSendRequest(H(request), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                              0, 0, 0) != 0 ||
         FailedCall(request);
}

bool ReceiveHttpResponse(const HttpHandle& request) {
  if (Ended(request))
    return false;
  return ::WinHttpReceiveResponse(H(request), nullptr) != 0 || FailedCall(request);
}

bool QueryHttpLocation(const HttpHandle& request, std::u16string* location) {
  if (Ended(request))
    return false;
  DWORD size = 0;
  // Fails with ERROR_INSUFFICIENT_BUFFER and gives the size needed, in bytes.
  if (::WinHttpQueryHeaders(H(request), WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) ||
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (!::WinHttpQueryHeaders(H(request), WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                             buffer.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  *location = win32::FromW(buffer.data(), size / sizeof(wchar_t));
  return true;
}

bool QueryHttpStatusCode(const HttpHandle& request, std::uint32_t* status) {
  if (Ended(request))
    return false;
  DWORD code = 0;
  DWORD size = sizeof code;
  if (!::WinHttpQueryHeaders(H(request), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  *status = code;
  return true;
}

std::uint32_t QueryHttpFinalUrlSize(const HttpHandle& request) {
  if (FaultDue(FaultPoint::kHttpQueryUrlSize, u"") || Ended(request))
    return 0;
  DWORD size = 0;
  // Fails with ERROR_INSUFFICIENT_BUFFER and gives the size needed, in bytes.
  if (!::WinHttpQueryOption(H(request), WINHTTP_OPTION_URL, nullptr, &size) &&
      ::GetLastError() == ERROR_INVALID_PARAMETER) {
    std::u16string url;  // wine: see http_wine_final_url.h
    if (win32::TrackedHttpFinalUrl(H(request), &url))
      return static_cast<std::uint32_t>((url.size() + 1) * sizeof(wchar_t));
  }
  return size;
}

bool QueryHttpFinalUrl(const HttpHandle& request, std::uint32_t capacity, std::u16string* url) {
  if (FaultDue(FaultPoint::kHttpQueryUrl, u"") || Ended(request))
    return false;
  std::vector<wchar_t> buffer(capacity == 0 ? 1 : capacity, L'\0');
  DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (!::WinHttpQueryOption(H(request), WINHTTP_OPTION_URL, buffer.data(), &size)) {
    std::u16string tracked;  // wine: see http_wine_final_url.h
    if (::GetLastError() != ERROR_INVALID_PARAMETER ||
        !win32::TrackedHttpFinalUrl(H(request), &tracked)) {
      return false;
    }
    if (tracked.size() + 1 > buffer.size()) {
      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return false;
    }
    *url = tracked;
    return true;
  }
  buffer.back() = L'\0';
  *url = win32::FromW(buffer.data(), wcslen(buffer.data()));
  return true;
}

bool QueryHttpDataAvailable(const HttpHandle& request, std::uint32_t* available) {
  if (FaultDue(FaultPoint::kHttpQueryDataAvailable, u""))
    return false;
  if (Ended(request))
    return false;
  DWORD bytes = 0;
  if (!::WinHttpQueryDataAvailable(H(request), &bytes))
    return FailedCall(request);
  *available = bytes;
  return true;
}

bool ReadHttpData(const HttpHandle& request, void* buffer, std::uint32_t size,
                  std::uint32_t* bytesRead) {
  if (FaultDue(FaultPoint::kHttpReadData, u""))
    return false;
  if (Ended(request))
    return false;
  DWORD read = 0;
  if (!::WinHttpReadData(H(request), buffer, size, &read))
    return FailedCall(request);
  *bytesRead = read;
  return true;
}

}  // namespace vovu::platform
