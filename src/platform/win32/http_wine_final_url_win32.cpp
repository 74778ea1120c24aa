#include "platform/win32/http_wine_final_url.h"

#include <map>
#include <mutex>
#include <string>

namespace vovu::platform::win32 {
namespace {

struct Tracked {
  std::mutex mutex;
  std::map<HINTERNET, std::u16string> connections;  // "host" or "host:port"
  std::map<HINTERNET, std::u16string> requests;     // the current address
};

Tracked& State() {
  static Tracked tracked;
  return tracked;
}

// "https://host" or "https://host:port", the start of an address on a connection.
std::u16string Origin(bool secure, const std::u16string& authority) {
  return (secure ? u"https://" : u"http://") + authority;
}

// The scheme, host and port of an address ("https://host:port" up to the path).
std::u16string OriginOf(const std::u16string& url) {
  const std::size_t authority = url.find(u"://");
  if (authority == std::u16string::npos)
    return url;
  const std::size_t path = url.find_first_of(u"/?", authority + 3);
  return path == std::u16string::npos ? url : url.substr(0, path);
}

void CALLBACK OnRedirect(HINTERNET request, DWORD_PTR, DWORD status, LPVOID info, DWORD length) {
  if (status != WINHTTP_CALLBACK_STATUS_REDIRECT || info == nullptr)
    return;
  const auto* text = static_cast<const wchar_t*>(info);
  std::size_t size = 0;
  while (size < length && text[size] != L'\0')
    ++size;
  const std::u16string location = FromW(text, size);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
      static_cast<DWORD>(-1);
  const bool absolute =
      ::WinHttpCrackUrl(W(location), static_cast<DWORD>(location.size()), 0, &parts) != 0;
  Tracked& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  const auto found = state.requests.find(request);
  if (found == state.requests.end())
    return;
  found->second = absolute ? location : OriginOf(found->second) + location;
}

}  // namespace

void TrackHttpConnection(HINTERNET connection, const std::u16string& host, INTERNET_PORT port) {
  if (connection == nullptr || !RunsUnderWine())
    return;
  const std::string number = std::to_string(port);
  const std::u16string authority = port == INTERNET_DEFAULT_HTTPS_PORT
                                       ? host
                                       : host + u":" + std::u16string(number.begin(), number.end());
  Tracked& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.connections[connection] = authority;
}

void TrackHttpRequest(HINTERNET connection, HINTERNET request, const std::u16string& objectName,
                      bool secure) {
  if (request == nullptr || !RunsUnderWine())
    return;
  {
    Tracked& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    const auto found = state.connections.find(connection);
    if (found == state.connections.end())
      return;
    state.requests[request] = Origin(secure, found->second) + objectName;
  }
  ::WinHttpSetStatusCallback(request, OnRedirect, WINHTTP_CALLBACK_FLAG_REDIRECT, 0);
}

void ForgetHttpHandle(HINTERNET handle) {
  if (!RunsUnderWine())
    return;
  Tracked& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.connections.erase(handle);
  state.requests.erase(handle);
}

bool TrackedHttpFinalUrl(HINTERNET request, std::u16string* url) {
  Tracked& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  const auto found = state.requests.find(request);
  if (found == state.requests.end())
    return false;
  *url = found->second;
  return true;
}

}  // namespace vovu::platform::win32
