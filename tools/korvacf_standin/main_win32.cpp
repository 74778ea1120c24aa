// The stand-in for the cloud-files helper, korvaCF.exe, on Windows.
//
// Without "/Stop" ("-Embedding" and any other argument included) it runs until it is told to
// stop: it waits on a manual-reset event named in the session's own namespace. With "/Stop"
// it sets that event of its session, which ends every running instance there, and exits.
//
// Trace: when a file named korvaCF.trace exists beside the executable, each event appends one
// line to it: "start|stop|exit session=<session> pid=<pid> args=<command line arguments>".
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kStopEventName[] = L"Local\\KorvaCfStandinStop";

std::wstring SelfDirectory() {
  std::vector<wchar_t> buffer(32768);
  const DWORD length =
      GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  std::wstring path(buffer.data(), length);
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::string Narrow(const std::wstring& text) {
  if (text.empty())
    return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

void Trace(const char* event, const std::wstring& args) {
  const std::wstring trace = SelfDirectory() + L"korvaCF.trace";
  HANDLE file = CreateFileW(trace.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return;
  DWORD session = 0xFFFFFFFFu;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  const std::string line = std::string(event) + " session=" + std::to_string(session) +
                           " pid=" + std::to_string(GetCurrentProcessId()) +
                           " args=" + Narrow(args) + "\n";
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring args;
  bool stop = false;
  for (int i = 1; i < argc; ++i) {
    args += (i > 1 ? L" " : L"") + std::wstring(argv[i]);
    stop = stop || lstrcmpiW(argv[i], L"/Stop") == 0;
  }
  if (stop) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName);
    if (event != nullptr) {
      SetEvent(event);
      CloseHandle(event);
    }
    Trace("stop", args);
    return 0;
  }
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, kStopEventName);
  if (event == nullptr)
    return 1;
  Trace("start", args);
  WaitForSingleObject(event, INFINITE);
  CloseHandle(event);
  Trace("exit", args);
  return 0;
}
