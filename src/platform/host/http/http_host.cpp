// HTTPS on the host: libcurl's multi interface over OpenSSL, driven by the calling thread
// (the rules are in platform/http.h and docs/host-platform.md).
//
// A request is one curl transfer at a time. Sending runs it until the headers of the final
// response are in: redirects are followed here, not by curl, so that the policy is
// WinHTTP's (at most 10, never from https to http) and the final address is known. The body
// then flows through a bounded buffer: the write callback pauses the transfer while the
// buffer is full, and reading resumes it, so memory does not grow with the body.
//
// A limited request (LimitHttpRequest) carries a deadline and the stop event's descriptor:
// every wait of the pump, from the first connect to the last body byte, is cut to what is
// left of the deadline and polls the stop event beside curl's sockets.
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>

#include "platform/fault_injection.h"
#include "platform/host/core/openssl_ptr.h"
#include "platform/host/http/hosts_file.h"
#include "platform/host/http/url_text.h"
#include "platform/host/image/root_store.h"
#include "platform/http.h"
#include "platform/text_codec.h"

namespace vovu::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxRedirects = 10;                 // WinHTTP's default
constexpr std::size_t kBodyBufferBytes = 262144;  // buffered body, plus one network read
constexpr long kNetworkReadBytes = 65536;         // CURLOPT_BUFFERSIZE
constexpr int kPollSliceMs = 1000;
constexpr std::size_t kGatherBytes = 131072;  // gathered before a wait returns

struct Timeouts {
  // WinHTTP's defaults: name resolution unbounded, 60 s to connect, 30 s to send and receive.
  int resolveMs = 0;
  int connectMs = 60000;
  int sendMs = 30000;
  int receiveMs = 30000;
};

enum class Kind { kSession, kConnection, kRequest };

struct HttpObject {
  explicit HttpObject(Kind k) : kind(k) {}
  virtual ~HttpObject() = default;
  Kind kind;
  std::string userAgent;
  Timeouts timeouts;
};

struct Session : HttpObject {
  Session() : HttpObject(Kind::kSession) {}
};

struct Connection : HttpObject {
  Connection() : HttpObject(Kind::kConnection) {}
  std::string host;
  std::uint16_t port = 0;
};

struct Request : HttpObject {
  Request() : HttpObject(Kind::kRequest) {}
  ~Request() override { EndTransfer(); }

  // What was opened.
  std::string host;
  std::uint16_t port = 0;
  std::string objectName;
  bool secure = false;
  bool followRedirects = true;

  // The transfer.
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* resolve = nullptr;
  std::string url;  // where the response being received comes from
  int redirects = 0;
  bool sent = false;
  bool headersDone = false;
  std::string location;    // the Location header of the header block being received
  std::string redirectTo;  // set when a header block ends in a redirect to follow
  long status = 0;
  bool done = false;
  CURLcode result = CURLE_OK;
  Win32Error failure = 0;  // the error that ended the request for good
  Clock::time_point lastProgress;
  bool connected = false;

  // The limits of the whole request, when set.
  bool limited = false;
  Clock::time_point deadline;
  int stopFd = -1;

  // The body received and not yet read: buffer[readPos, end).
  std::string buffer;
  std::size_t readPos = 0;
  bool paused = false;

  [[nodiscard]] std::size_t Pending() const { return buffer.size() - readPos; }

  void EndTransfer() {
    if (easy != nullptr) {
      if (multi != nullptr)
        curl_multi_remove_handle(multi, easy);
      curl_easy_cleanup(easy);
      easy = nullptr;
    }
    if (multi != nullptr) {
      curl_multi_cleanup(multi);
      multi = nullptr;
    }
    if (resolve != nullptr) {
      curl_slist_free_all(resolve);
      resolve = nullptr;
    }
  }
};

bool Fail(Win32Error code) {
  SetLastErrorCode(code);
  return false;
}

template <typename T>
T* ObjectOf(const HttpHandle& handle, Kind kind) {
  if (!handle.valid()) {
    SetLastErrorCode(kErrorInvalidHandle);
    return nullptr;
  }
  auto* object = reinterpret_cast<HttpObject*>(handle.get());
  if (object->kind != kind) {
    SetLastErrorCode(kErrorHttpIncorrectHandleState);
    return nullptr;
  }
  return static_cast<T*>(object);
}

void InitializeCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The WinHTTP error a failed transfer gives.
Win32Error ErrorOfCurl(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return kErrorHttpNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return kErrorHttpCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return kErrorHttpTimeout;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return kErrorHttpSecureFailure;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kErrorHttpInvalidServerResponse;
    default:
      return kErrorHttpConnectionError;
  }
}

bool StartsWithIgnoringCase(const std::string& text, const char* prefix) {
  for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
      return false;
  }
  return true;
}

// A Location value resolved against the address it came from.
std::string ResolveLocation(const std::string& base, const std::string& location) {
  std::string resolved;
  CURLU* url = curl_url();
  char* text = nullptr;
  if (url != nullptr && curl_url_set(url, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
      curl_url_set(url, CURLUPART_URL, location.c_str(), 0) == CURLUE_OK &&
      curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK) {
    resolved = text;
  }
  curl_free(text);
  curl_url_cleanup(url);
  return resolved;
}

// The end of a header block: an interim answer is skipped, a redirect to follow is noted,
// anything else is the final response.
void EndOfHeaders(Request* request) {
  long code = 0;
  curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &code);
  if (code >= 100 && code < 200)
    return;
  const bool redirect = code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
  if (redirect && request->followRedirects && !request->location.empty()) {
    const std::string target = ResolveLocation(request->url, request->location);
    // From https only to https: a redirect to http arrives as the answer it is.
    if (StartsWithIgnoringCase(target, "https://")) {
      request->redirectTo = target;
      return;
    }
  }
  request->status = code;
  request->headersDone = true;
}

// The value of a "Location:" header line, trimmed; false for any other line.
bool LocationOf(const char* data, std::size_t length, std::string* value) {
  const std::string line(data, length);
  if (!StartsWithIgnoringCase(line, "location:"))
    return false;
  const std::size_t start = line.find_first_not_of(" \t", 9);
  const std::size_t end = line.find_last_not_of(" \t\r\n");
  *value = start == std::string::npos || end < start ? "" : line.substr(start, end - start + 1);
  return true;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* request = static_cast<Request*>(user);
  const std::size_t length = size * count;
  request->lastProgress = Clock::now();
  if (length >= 5 && std::string(data, 5) == "HTTP/")
    request->location.clear();
  LocationOf(data, length, &request->location);
  if (length <= 2 && (length == 0 || data[0] == '\r' || data[0] == '\n')) {
    EndOfHeaders(request);
    // Abandons the redirect's own body at once; the next transfer takes over.
    if (!request->redirectTo.empty())
      return 0;
  }
  return length;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* request = static_cast<Request*>(user);
  const std::size_t length = size * count;
  request->lastProgress = Clock::now();
  if (request->Pending() > 0 && request->Pending() + length > kBodyBufferBytes) {
    request->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  // What was read is dropped only when the reserved room runs out, so the pending bytes
  // move rarely.
  if (request->readPos > 0 && request->buffer.size() + length > request->buffer.capacity()) {
    request->buffer.erase(0, request->readPos);
    request->readPos = 0;
  }
  request->buffer.append(data, length);
  return length;
}

// Only the machine's root store is trusted: it replaces whatever store curl set up.
CURLcode UseMachineRootStore(CURL*, void* sslContext, void*) {
  host::X509StorePtr store = host::LoadRootStore();
  if (!store)
    return CURLE_SSL_CACERT_BADFILE;
  SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(sslContext), store.release());
  return CURLE_OK;
}

// The host and port of an https URL, for the hosts file.
bool HostAndPortOf(const std::string& url, std::string* host, std::uint16_t* port) {
  UrlParts parts;
  if (!host::SplitUrl(MultiByteUtf8ToWide(url.data(), url.size()), nullptr, &parts))
    return false;
  *host = WideToMultiByteUtf8(parts.host);
  *port = parts.port;
  return true;
}

// Starts a transfer of `url` in a new curl handle (the previous one is ended).
bool StartTransfer(Request* request, const std::string& url) {
  request->EndTransfer();
  request->url = url;
  request->redirectTo.clear();
  request->location.clear();
  request->done = false;
  request->result = CURLE_OK;
  request->connected = false;
  request->buffer.reserve(kBodyBufferBytes + 2 * kNetworkReadBytes);
  request->multi = curl_multi_init();
  request->easy = curl_easy_init();
  if (request->multi == nullptr || request->easy == nullptr)
    return Fail(kErrorNotEnoughMemory);

  std::string host;
  std::uint16_t port = 0;
  std::string address;
  if (HostAndPortOf(url, &host, &port) && host::LookUpHostsFile(host, &address)) {
    const std::string entry =
        host + ":" + std::to_string(port) + ":" +
        (address.find(':') != std::string::npos ? "[" + address + "]" : address);
    request->resolve = curl_slist_append(nullptr, entry.c_str());
  }

  CURL* easy = request->easy;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_USERAGENT, request->userAgent.c_str());
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kNetworkReadBytes);
  curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, UseMachineRootStore);
  if (request->resolve != nullptr)
    curl_easy_setopt(easy, CURLOPT_RESOLVE, request->resolve);
  const Timeouts& t = request->timeouts;
  const long connectMs = static_cast<long>(std::max(0, t.resolveMs)) + std::max(0, t.connectMs);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, request);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, request);
  request->lastProgress = Clock::now();
  if (curl_multi_add_handle(request->multi, request->easy) != CURLM_OK)
    return Fail(kErrorNotEnoughMemory);
  return true;
}

// One step of the transfer without waiting: reads what the connection has, and notes the
// transfer's end. False (with the last error) when curl itself fails.
bool PerformOnce(Request* request) {
  int running = 0;
  if (curl_multi_perform(request->multi, &running) != CURLM_OK)
    return Fail(request->failure = kErrorHttpConnectionError);
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(request->multi, &queued)) {
    if (message->msg == CURLMSG_DONE) {
      request->done = true;
      request->result = message->data.result;
    }
  }
  return true;
}

bool StopIsSet(int fd) {
  if (fd < 0)
    return false;
  pollfd stop{fd, POLLIN, 0};
  return poll(&stop, 1, 0) > 0 && (stop.revents & POLLIN) != 0;
}

// The request's own limits: false (with the error that ends it for good) once the stop is
// set or the deadline has passed.
bool WithinLimits(Request* request) {
  if (!request->limited)
    return true;
  if (StopIsSet(request->stopFd))
    return Fail(request->failure = kErrorHttpOperationCancelled);
  if (Clock::now() >= request->deadline)
    return Fail(request->failure = kErrorHttpTimeout);
  return true;
}

// Runs the transfer until `enough` holds, the transfer ends, it stalls longer than the
// receive time-out once connected, or the request's limits end it. False (with the last
// error) when the request failed.
template <typename Enough>
bool Pump(Request* request, Enough enough) {
  while (!enough() && !request->done) {
    if (!WithinLimits(request))
      return false;
    if (!PerformOnce(request))
      return false;
    if (enough() || request->done)
      break;
    if (!request->connected) {
      curl_off_t connectedAfter = 0;
      if (curl_easy_getinfo(request->easy, CURLINFO_APPCONNECT_TIME_T, &connectedAfter) ==
              CURLE_OK &&
          connectedAfter > 0) {
        request->connected = true;
        request->lastProgress = Clock::now();
      }
    }
    const auto quiet =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - request->lastProgress);
    const int receiveMs = request->timeouts.receiveMs;
    if (request->connected && receiveMs > 0 && quiet.count() >= receiveMs)
      return Fail(request->failure = kErrorHttpTimeout);
    int slice = kPollSliceMs;
    if (request->connected && receiveMs > 0)
      slice = static_cast<int>(std::min<long long>(slice, receiveMs - quiet.count()));
    curl_waitfd stop{};
    unsigned int extra = 0;
    if (request->limited) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(request->deadline - Clock::now());
      slice = static_cast<int>(std::min<long long>(slice, std::max<long long>(left.count(), 0)));
      if (request->stopFd >= 0) {
        stop.fd = request->stopFd;
        stop.events = CURL_WAIT_POLLIN;
        extra = 1;
      }
    }
    curl_multi_poll(request->multi, extra == 0 ? nullptr : &stop, extra, std::max(slice, 1),
                    nullptr);
  }
  return true;
}

// Waits for body bytes: true with Pending() > 0, or true with nothing pending at the end of
// the body; false when the transfer failed before its end.
bool WaitForBody(Request* request) {
  if (request->failure != 0)
    return Fail(request->failure);
  if (!request->sent || !request->headersDone)
    return Fail(kErrorHttpIncorrectHandleState);
  if (!WithinLimits(request))
    return false;
  if (request->Pending() > 0)
    return true;
  if (request->paused) {
    request->paused = false;
    curl_easy_pause(request->easy, CURLPAUSE_CONT);
  }
  if (!Pump(request, [request] { return request->Pending() > 0; }))
    return false;
  // What has arrived meanwhile is taken too, so that the body is handed on in large pieces
  // rather than one TLS record at a time.
  for (std::size_t before = 0; request->Pending() != before && request->Pending() < kGatherBytes &&
                               !request->done && !request->paused;) {
    before = request->Pending();
    if (!PerformOnce(request))
      return false;
  }
  if (request->Pending() == 0 && request->done && request->result != CURLE_OK)
    return Fail(request->failure = ErrorOfCurl(request->result));
  return true;
}

std::string Narrow(const std::u16string& text) {
  return WideToMultiByteUtf8(text);
}

}  // namespace

void HttpHandleTraits::Close(Type h) {
  delete reinterpret_cast<HttpObject*>(h);
}

HttpHandle OpenHttpSession(const std::u16string& userAgent) {
  if (FaultDue(FaultPoint::kHttpOpen, u""))
    return HttpHandle();
  InitializeCurl();
  auto* session = new Session;
  session->userAgent = Narrow(userAgent);
  return HttpHandle(reinterpret_cast<NativeHandle>(static_cast<HttpObject*>(session)));
}

bool SetHttpTimeouts(const HttpHandle& session, int resolveMs, int connectMs, int sendMs,
                     int receiveMs) {
  auto* object = ObjectOf<Session>(session, Kind::kSession);
  if (object == nullptr)
    return false;
  if (resolveMs < -1 || connectMs < -1 || sendMs < -1 || receiveMs < -1)
    return Fail(kErrorInvalidParameter);
  // -1 means no limit, as 0 does for WinHTTP's resolve time-out.
  const auto limit = [](int ms) { return ms < 0 ? 0 : ms; };
  object->timeouts = {limit(resolveMs), limit(connectMs), limit(sendMs), limit(receiveMs)};
  return true;
}

HttpHandle ConnectHttp(const HttpHandle& session, const std::u16string& host, std::uint16_t port) {
  if (FaultDue(FaultPoint::kHttpConnect, u""))
    return HttpHandle();
  auto* object = ObjectOf<Session>(session, Kind::kSession);
  if (object == nullptr)
    return HttpHandle();
  if (host.empty()) {
    SetLastErrorCode(kErrorHttpInvalidUrl);
    return HttpHandle();
  }
  auto* connection = new Connection;
  connection->userAgent = object->userAgent;
  connection->timeouts = object->timeouts;
  connection->host = Narrow(host);
  connection->port = port == 0 ? 443 : port;
  return HttpHandle(reinterpret_cast<NativeHandle>(static_cast<HttpObject*>(connection)));
}

HttpHandle OpenHttpRequest(const HttpHandle& connection, const std::u16string& verb,
                           const std::u16string& objectName, bool secure) {
  if (FaultDue(FaultPoint::kHttpOpenRequest, u""))
    return HttpHandle();
  auto* object = ObjectOf<Connection>(connection, Kind::kConnection);
  if (object == nullptr)
    return HttpHandle();
  if (verb != u"GET") {
    // The service only reads; nothing else is emulated.
    SetLastErrorCode(kErrorNotSupported);
    return HttpHandle();
  }
  auto* request = new Request;
  request->userAgent = object->userAgent;
  request->timeouts = object->timeouts;
  request->host = object->host;
  request->port = object->port;
  request->objectName = Narrow(objectName);
  request->secure = secure;
  return HttpHandle(reinterpret_cast<NativeHandle>(static_cast<HttpObject*>(request)));
}

bool DisableHttpRedirects(const HttpHandle& request) {
  if (FaultDue(FaultPoint::kHttpSetOption, u""))
    return false;
  auto* object = ObjectOf<Request>(request, Kind::kRequest);
  if (object == nullptr)
    return false;
  if (object->sent)
    return Fail(kErrorHttpIncorrectHandleState);
  object->followRedirects = false;
  return true;
}

bool LimitHttpRequest(const HttpHandle& request, std::uint32_t totalMs, const Event* stop) {
  auto* object = ObjectOf<Request>(request, Kind::kRequest);
  if (object == nullptr)
    return false;
  if (object->sent)
    return Fail(kErrorHttpIncorrectHandleState);
  object->limited = true;
  object->deadline = Clock::now() + std::chrono::milliseconds(totalMs);
  object->stopFd = stop != nullptr && stop->valid() ? static_cast<int>(stop->native()) : -1;
  return true;
}

bool SendHttpRequest(const HttpHandle& request) {
  auto* object = ObjectOf<Request>(request, Kind::kRequest);
  if (object == nullptr)
    return false;
  if (object->sent)
    return Fail(kErrorHttpIncorrectHandleState);
  object->sent = true;
  if (!object->secure) {
    // The host speaks HTTPS only.
    return Fail(object->failure = kErrorHttpSecureFailure);
  }
  const bool literalV6 = object->host.find(':') != std::string::npos;
  std::string url = "https://" + (literalV6 ? "[" + object->host + "]" : object->host);
  if (object->port != 443)
    url += ":" + std::to_string(object->port);
  url += object->objectName.empty() || object->objectName[0] != '/' ? "/" + object->objectName
                                                                    : object->objectName;
  if (!StartTransfer(object, url))
    return Fail(object->failure = LastError());
  for (;;) {
    if (!Pump(object, [object] { return object->headersDone || !object->redirectTo.empty(); }))
      return false;
    if (!object->redirectTo.empty()) {
      if (++object->redirects > kMaxRedirects)
        return Fail(object->failure = kErrorHttpRedirectFailed);
      const std::string next = object->redirectTo;
      if (!StartTransfer(object, next))
        return Fail(object->failure = LastError());
      continue;
    }
    if (object->headersDone)
      return true;
    // The transfer ended before a final response's headers were complete.
    return Fail(object->failure = object->result == CURLE_OK ? kErrorHttpInvalidServerResponse
                                                             : ErrorOfCurl(object->result));
  }
}

bool ReceiveHttpResponse(const HttpHandle& request) {
  auto* object = ObjectOf<Request>(request, Kind::kRequest);
  if (object == nullptr)
    return false;
  if (object->failure != 0)
    return Fail(object->failure);
  if (!object->sent || !object->headersDone)
    return Fail(kErrorHttpIncorrectHandleState);
  return WithinLimits(object);
}

bool QueryHttpLocation(const HttpHandle& request, std::u16string* location) {
  auto* object = ObjectOf<Request>(request, Kind::kRequest);
  if (object == nullptr)
    return false;
  if (!object->headersDone)
    return Fail(kErrorHttpIncorrectHandleState);
  if (object->location.empty())
    return Fail(kErrorHttpHeaderNotFound);
  *location = MultiByteUtf8ToWide(object->location.data(), object->location.size());
  return true;
}

bool QueryHttpStatusCode(const HttpHandle& request, std::uint32_t* status) {
  auto* object = ObjectOf<Request>(request, Kind::kRequest);
  if (object == nullptr)
    return false;
  if (!object->headersDone)
    return Fail(kErrorHttpIncorrectHandleState);
  *status = static_cast<std::uint32_t>(object->status);
  return true;
}

std::uint32_t QueryHttpFinalUrlSize(const HttpHandle& request) {
  if (FaultDue(FaultPoint::kHttpQueryUrlSize, u""))
    return 0;
  auto* object = ObjectOf<Request>(request, Kind::kRequest);
  if (object == nullptr || object->url.empty())
    return 0;
  const std::u16string url = MultiByteUtf8ToWide(object->url.data(), object->url.size());
  SetLastErrorCode(kErrorInsufficientBuffer);
  return static_cast<std::uint32_t>((url.size() + 1) * sizeof(char16_t));
}

bool QueryHttpFinalUrl(const HttpHandle& request, std::uint32_t capacity, std::u16string* url) {
  if (FaultDue(FaultPoint::kHttpQueryUrl, u""))
    return false;
  auto* object = ObjectOf<Request>(request, Kind::kRequest);
  if (object == nullptr)
    return false;
  if (object->url.empty())
    return Fail(kErrorHttpIncorrectHandleState);
  const std::u16string text = MultiByteUtf8ToWide(object->url.data(), object->url.size());
  if (text.size() + 1 > capacity)
    return Fail(kErrorInsufficientBuffer);
  *url = text;
  return true;
}

bool QueryHttpDataAvailable(const HttpHandle& request, std::uint32_t* available) {
  if (FaultDue(FaultPoint::kHttpQueryDataAvailable, u""))
    return false;
  auto* object = ObjectOf<Request>(request, Kind::kRequest);
  if (object == nullptr || !WaitForBody(object))
    return false;
  *available = static_cast<std::uint32_t>(std::min<std::size_t>(object->Pending(), 0xFFFFFFFFu));
  return true;
}

bool ReadHttpData(const HttpHandle& request, void* buffer, std::uint32_t size,
                  std::uint32_t* bytesRead) {
  if (FaultDue(FaultPoint::kHttpReadData, u""))
    return false;
  auto* object = ObjectOf<Request>(request, Kind::kRequest);
  if (object == nullptr || !WaitForBody(object))
    return false;
  const std::size_t count = std::min<std::size_t>(size, object->Pending());
  std::copy_n(object->buffer.data() + object->readPos, count, static_cast<char*>(buffer));
  object->readPos += count;
  if (object->readPos == object->buffer.size()) {
    object->buffer.clear();
    object->readPos = 0;
  }
  // Room again: the paused transfer may go on (curl hands over the held piece at once).
  if (object->paused && object->Pending() < kBodyBufferBytes / 2) {
    object->paused = false;
    curl_easy_pause(object->easy, CURLPAUSE_CONT);
  }
  *bytesRead = static_cast<std::uint32_t>(count);
  return true;
}

}  // namespace vovu::platform
