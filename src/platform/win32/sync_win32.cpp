// Synchronisation objects on Windows: kernel events, CRITICAL_SECTION and
// CONDITION_VARIABLE.
#include <memory>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/sync.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {

void EventHandleTraits::Close(Type h) {
  ::CloseHandle(win32::ToHandle(h));
}

bool Event::Create(bool manualReset, bool initiallySet, Event* event) {
  HANDLE handle =
      ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
  if (handle == nullptr)
    return false;
  event->handle_.reset(win32::FromHandle(handle));
  event->manualReset_ = manualReset;
  return true;
}

bool Event::Set() const {
  return ::SetEvent(win32::ToHandle(native())) != 0;
}

bool Event::Reset() const {
  return ::ResetEvent(win32::ToHandle(native())) != 0;
}

WaitResult Event::Wait(std::uint32_t timeoutMs) const {
  const Event* self = this;
  std::size_t index = 0;
  return WaitForAnyEvent(std::span<const Event* const>(&self, 1), timeoutMs, &index);
}

WaitResult WaitForAnyEvent(std::span<const Event* const> events, std::uint32_t timeoutMs,
                           std::size_t* index) {
  if (events.empty() || events.size() > MAXIMUM_WAIT_OBJECTS) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return WaitResult::kFailed;
  }
  std::vector<HANDLE> handles;
  for (const Event* event : events)
    handles.push_back(event == nullptr ? nullptr : win32::ToHandle(event->native()));
  const DWORD result = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                                FALSE, timeoutMs);
  if (result < WAIT_OBJECT_0 + handles.size()) {
    *index = result - WAIT_OBJECT_0;
    return WaitResult::kSignalled;
  }
  if (result == WAIT_TIMEOUT) {
    ::SetLastError(WAIT_TIMEOUT);
    return WaitResult::kTimeout;
  }
  return WaitResult::kFailed;
}

void SleepMilliseconds(std::uint32_t milliseconds) {
  ::Sleep(milliseconds);
}

struct CriticalSection::Impl {
  CRITICAL_SECTION section;
};

CriticalSection::CriticalSection(std::uint32_t spinCount) : impl_(std::make_unique<Impl>()) {
  // Cannot fail on any Windows version the service supports.
  ::InitializeCriticalSectionAndSpinCount(&impl_->section, spinCount);
}
CriticalSection::~CriticalSection() {
  ::DeleteCriticalSection(&impl_->section);
}
void CriticalSection::lock() {
  ::EnterCriticalSection(&impl_->section);
}
void CriticalSection::unlock() {
  ::LeaveCriticalSection(&impl_->section);
}

struct ConditionVariable::Impl {
  CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};

ConditionVariable::ConditionVariable() : impl_(std::make_unique<Impl>()) {}
ConditionVariable::~ConditionVariable() = default;

bool ConditionVariable::Wait(CriticalSection& lock, std::uint32_t timeoutMs) {
  return ::SleepConditionVariableCS(&impl_->condition, &lock.impl()->section, timeoutMs) != 0;
}

void ConditionVariable::WakeOne() {
  ::WakeConditionVariable(&impl_->condition);
}
void ConditionVariable::WakeAll() {
  ::WakeAllConditionVariable(&impl_->condition);
}

namespace {

DWORD WINAPI RunThreadProcedure(LPVOID argument) {
  std::unique_ptr<std::function<void()>> procedure(static_cast<std::function<void()>*>(argument));
  (*procedure)();
  return 0;
}

}  // namespace

bool Thread::Start(const std::u16string& name, std::function<void()> procedure) {
  if (FaultDue(FaultPoint::kCreateThread, name))
    return false;
  Join();
  auto owned = std::make_unique<std::function<void()>>(std::move(procedure));
  HANDLE thread = ::CreateThread(nullptr, 0, RunThreadProcedure, owned.get(), 0, nullptr);
  if (thread == nullptr)
    return false;
  owned.release();
  native_ = win32::FromHandle(thread);
  return true;
}

void Thread::Join() {
  if (native_ == 0)
    return;
  ::WaitForSingleObject(win32::ToHandle(native_), INFINITE);
  ::CloseHandle(win32::ToHandle(native_));
  native_ = 0;
}

}  // namespace vovu::platform
