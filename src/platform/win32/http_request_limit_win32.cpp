#include "platform/win32/http_request_limit.h"

#include <map>
#include <memory>
#include <mutex>

namespace vovu::platform::win32 {
namespace {

struct Watch {
  Event quit;
  Thread thread;
  bool quitting = false;     // under the mutex: the owner is closing the handle itself
  Win32Error endedWith = 0;  // under the mutex: set when the watcher closed the handle
};

struct Watches {
  std::mutex mutex;
  std::map<HINTERNET, std::shared_ptr<Watch>> byRequest;
};

Watches& State() {
  static Watches watches;
  return watches;
}

void RunWatch(HINTERNET request, std::uint32_t totalMs, const Event* stop,
              const std::shared_ptr<Watch>& watch) {
  const Event* events[2] = {&watch->quit, stop};
  const std::size_t count = stop != nullptr && stop->valid() ? 2 : 1;
  std::size_t index = 0;
  const WaitResult result = WaitForAnyEvent({events, count}, totalMs, &index);
  if (result == WaitResult::kSignalled && index == 0)
    return;
  Watches& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (watch->quitting)
    return;
  watch->endedWith =
      result == WaitResult::kTimeout ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_OPERATION_CANCELLED;
  ::WinHttpCloseHandle(request);
}

}  // namespace

bool WatchHttpRequest(HINTERNET request, std::uint32_t totalMs, const Event* stop) {
  auto watch = std::make_shared<Watch>();
  if (!Event::Create(/*manualReset=*/true, /*initiallySet=*/false, &watch->quit))
    return false;
  {
    Watches& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.byRequest.count(request) != 0) {
      ::SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
      return false;
    }
    state.byRequest[request] = watch;
  }
  if (!watch->thread.Start(u"http-limit", [request, totalMs, stop, watch] {
        RunWatch(request, totalMs, stop, watch);
      })) {
    const DWORD error = ::GetLastError();
    Watches& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.byRequest.erase(request);
    ::SetLastError(error);
    return false;
  }
  return true;
}

Win32Error HttpRequestEndedWith(HINTERNET request) {
  Watches& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  const auto found = state.byRequest.find(request);
  return found == state.byRequest.end() ? 0 : found->second->endedWith;
}

bool EndHttpRequestWatch(HINTERNET request) {
  std::shared_ptr<Watch> watch;
  {
    Watches& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    const auto found = state.byRequest.find(request);
    if (found == state.byRequest.end())
      return false;
    watch = found->second;
    watch->quitting = true;
    state.byRequest.erase(found);
  }
  (void)watch->quit.Set();
  watch->thread.Join();
  return watch->endedWith != 0;
}

}  // namespace vovu::platform::win32
