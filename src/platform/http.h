// HTTPS requests in the shape of WinHTTP, reduced to what the service does with them: one
// synchronous GET at a time through a session, a connection and a request; options set
// before sending; the status and the final address read after the response; the body read
// as a stream in bounded pieces.
//
// Windows: WinHttpCrackUrl, WinHttpOpen (automatic proxy, synchronous), WinHttpSetTimeouts,
// WinHttpConnect, WinHttpOpenRequest (WINHTTP_FLAG_SECURE), WinHttpSetOption
// (WINHTTP_OPTION_DISABLE_FEATURE), WinHttpSendRequest, WinHttpReceiveResponse,
// WinHttpQueryHeaders (WINHTTP_QUERY_STATUS_CODE as a number), WinHttpQueryOption
// (WINHTTP_OPTION_URL), WinHttpQueryDataAvailable, WinHttpReadData, WinHttpCloseHandle.
// Under wine, whose WinHTTP refuses WINHTTP_OPTION_URL, the final address is tracked from
// WinHTTP's redirect notifications instead (win32/http_wine_final_url.h).
//
// Host: libcurl over OpenSSL (see docs/host-platform.md, "HTTPS").
//   - HTTPS only: a request opened without the secure flag fails to send with 12175.
//   - The server's certificate chain is verified against the machine's root store
//     (<root>/certs/root, the store Authenticode uses) and its name against the host name;
//     nothing else is trusted.
//   - A name resolves first through the machine's hosts file,
//     C:\Windows\System32\drivers\etc\hosts, then through the system's resolver.
//   - No proxy is used: WinHTTP's automatic proxy discovery has no counterpart here, and
//     proxy variables of the environment are ignored.
//   - Redirects are followed the way WinHTTP's default policy follows them (at most 10, never
//     from https to http: such an answer arrives as it is) unless disabled on the request.
//   - Resolving and connecting are bounded together by the sum of their two time-outs; the
//     send and receive time-outs bound each wait for the server to take or give bytes.
//   - The body is held in a buffer of at most 256 KiB plus one network read; the transfer is
//     paused while the buffer is full, so memory does not grow with the body.
// A request may be bounded as a whole (LimitHttpRequest): a total time and a stop event, watched
// by every wait of the request (see there).
// Tests reach the failures that no server can cause through the fault points kHttpOpen,
// kHttpConnect, kHttpOpenRequest, kHttpSetOption, kHttpQueryOption, kHttpQueryDataAvailable,
// kHttpReadData and kHttpCrackUrl.
#pragma once

#include <cstdint>
#include <string>

#include "platform/native_handle.h"
#include "platform/sync.h"

namespace vovu::platform {

// WinHTTP's error codes, as the last error of a failed call.
inline constexpr Win32Error kErrorHttpTimeout = 12002;
inline constexpr Win32Error kErrorHttpInvalidUrl = 12005;
inline constexpr Win32Error kErrorHttpUnrecognizedScheme = 12006;
inline constexpr Win32Error kErrorHttpNameNotResolved = 12007;
inline constexpr Win32Error kErrorHttpOperationCancelled = 12017;
inline constexpr Win32Error kErrorHttpIncorrectHandleState = 12019;
inline constexpr Win32Error kErrorHttpCannotConnect = 12029;
inline constexpr Win32Error kErrorHttpConnectionError = 12030;
inline constexpr Win32Error kErrorHttpHeaderNotFound = 12150;
inline constexpr Win32Error kErrorHttpInvalidServerResponse = 12152;
inline constexpr Win32Error kErrorHttpRedirectFailed = 12156;
inline constexpr Win32Error kErrorHttpSecureFailure = 12175;

// INTERNET_SCHEME_HTTP and INTERNET_SCHEME_HTTPS; any other scheme does not crack.
enum class UrlScheme : int { kHttp = 1, kHttps = 2 };

// The parts of a URL as WinHttpCrackUrl gives them. `extraInfo` is the query and fragment
// ("?a=b#c"); `port` is the URL's, or the scheme's default.
struct UrlParts {
  UrlScheme scheme = UrlScheme::kHttps;
  std::u16string userName;
  std::u16string password;
  std::u16string host;
  std::uint16_t port = 0;
  std::u16string path;
  std::u16string extraInfo;
};

// Buffer sizes in UTF-16 units (terminator included) for the host name, the path and the
// extra information. A component that does not fit its buffer fails the split with 122.
struct UrlBufferSizes {
  std::uint32_t host = 0;
  std::uint32_t path = 0;
  std::uint32_t extraInfo = 0;
};

// WinHttpCrackUrl(url, no flags). With `sizes` the host, path and extra information are
// copied into buffers of those sizes; without, they are returned as pointers into the URL
// (no limit). False with the last error (12006 for a scheme other than http and https,
// 12005 for any other malformed URL, 122 for a component too long for its buffer).
[[nodiscard]] bool CrackUrl(const std::u16string& url, const UrlBufferSizes* sizes,
                            UrlParts* parts);

struct HttpHandleTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return 0; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);  // WinHttpCloseHandle
};
// A session, connection or request. The owner closes a request before its connection and a
// connection before its session.
using HttpHandle = UniqueHandle<HttpHandleTraits>;

// WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, no proxy name, no bypass list,
// synchronous). Invalid with the last error on failure.
[[nodiscard]] HttpHandle OpenHttpSession(const std::u16string& userAgent);

// WinHttpSetTimeouts on a session, in milliseconds; requests opened afterwards take them.
bool SetHttpTimeouts(const HttpHandle& session, int resolveMs, int connectMs, int sendMs,
                     int receiveMs);

// WinHttpConnect(session, host, port). Nothing goes on the network yet.
[[nodiscard]] HttpHandle ConnectHttp(const HttpHandle& session, const std::u16string& host,
                                     std::uint16_t port);

// WinHttpOpenRequest(connection, verb, objectName, default version, no referrer, default
// accept types, WINHTTP_FLAG_SECURE when `secure`), then the automatic logon policy at its
// strictest (the machine's credentials are never offered to any server); a request whose
// policy cannot be set is closed and the open fails. The host never sends credentials.
[[nodiscard]] HttpHandle OpenHttpRequest(const HttpHandle& connection, const std::u16string& verb,
                                         const std::u16string& objectName, bool secure);

// WinHttpSetOption(WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_REDIRECTS): a 3xx answer
// then arrives as it is.
[[nodiscard]] bool DisableHttpRedirects(const HttpHandle& request);

// Bounds the request as a whole, before it is sent: SendHttpRequest, ReceiveHttpResponse,
// QueryHttpDataAvailable and ReadHttpData fail with 12002 (time-out) once `totalMs` have
// passed since this call, and with 12017 (cancelled) once `stop` (may be null) is set; a call
// waiting at that moment returns at once with that error, and every later call fails the
// same way. The per-wait time-outs of SetHttpTimeouts still apply within the total. The host
// watches both in its own waits (the headers included); Windows closes the request's
// WinHTTP handle from a watcher thread, which ends a waiting synchronous call, and the
// functions here answer for the closed handle from then on. `stop` must outlive the request.
[[nodiscard]] bool LimitHttpRequest(const HttpHandle& request, std::uint32_t totalMs,
                                    const Event* stop);

// WinHttpSendRequest with no extra headers and no body. The host sends and waits for the
// response's headers here, so connection, certificate and time-out failures are reported
// by this call.
[[nodiscard]] bool SendHttpRequest(const HttpHandle& request);

// WinHttpReceiveResponse: the headers of the final response (after the redirects followed).
[[nodiscard]] bool ReceiveHttpResponse(const HttpHandle& request);

// WinHttpQueryHeaders(WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER).
[[nodiscard]] bool QueryHttpStatusCode(const HttpHandle& request, std::uint32_t* status);

// WinHttpQueryHeaders(WINHTTP_QUERY_LOCATION): the Location header of the response, as sent.
// False with 12150 when the response has none.
[[nodiscard]] bool QueryHttpLocation(const HttpHandle& request, std::u16string* location);

// WinHttpQueryOption(WINHTTP_OPTION_URL) without a buffer: the size in bytes (terminator
// included) of the address the response came from; 0 when it cannot be asked.
[[nodiscard]] std::uint32_t QueryHttpFinalUrlSize(const HttpHandle& request);

// WinHttpQueryOption(WINHTTP_OPTION_URL) into a buffer of `capacity` UTF-16 units: the
// address the response came from, after every redirect followed. False with the last error
// (122 when it does not fit).
[[nodiscard]] bool QueryHttpFinalUrl(const HttpHandle& request, std::uint32_t capacity,
                                     std::u16string* url);

// WinHttpQueryDataAvailable: bytes that can be read without waiting, waiting for some when
// there are none; 0 at the end of the body.
[[nodiscard]] bool QueryHttpDataAvailable(const HttpHandle& request, std::uint32_t* available);

// WinHttpReadData: up to `size` bytes of the body; `*bytesRead` 0 at its end.
[[nodiscard]] bool ReadHttpData(const HttpHandle& request, void* buffer, std::uint32_t size,
                                std::uint32_t* bytesRead);

}  // namespace vovu::platform
