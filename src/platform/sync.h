// Events, waits, a critical section and a condition variable, in the shape of the Win32
// synchronisation objects.
//
// Threads: the service's own long-lived threads are platform::Thread, whose start reports
// the system's own error (CreateThread's last error; pthread_create's code on the host);
// short helpers in tests and tools may use std::thread.
//
// Windows: CreateEventW, SetEvent, ResetEvent, WaitForSingleObject/WaitForMultipleObjects,
// Sleep, CRITICAL_SECTION (InitializeCriticalSectionAndSpinCount) and CONDITION_VARIABLE
// (SleepConditionVariableCS).
// Host: an event is an eventfd, so the host pipe can poll it together with a socket; a
// manual-reset event stays readable until reset, an auto-reset event is consumed by the
// one wait it releases. The critical section is a std::mutex (the spin count has no
// equivalent and is ignored) and the condition variable a std::condition_variable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/native_handle.h"

namespace vovu::platform {

// A time limit that never runs out (INFINITE).
inline constexpr std::uint32_t kInfiniteWait = 0xFFFFFFFFu;

// WAIT_TIMEOUT: the last error a timed-out platform wait leaves behind.
inline constexpr Win32Error kErrorWaitTimeout = 258;

enum class WaitResult {
  kSignalled,  // the event (or one of the events) was set
  kTimeout,    // the time limit ran out first
  kFailed,     // the wait itself failed; the last error says why
};

struct EventHandleTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return 0; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);
};

// An unnamed event, owned by whoever holds the object; move-only. A default-constructed
// Event holds no event: every operation on it fails with 6 (invalid handle).
class Event {
 public:
  Event() = default;

  // CreateEventW(nullptr, manualReset, initiallySet, nullptr). On failure `*event` is left
  // as it was and the last error says why.
  [[nodiscard]] static bool Create(bool manualReset, bool initiallySet, Event* event);

  [[nodiscard]] bool valid() const { return handle_.valid(); }
  [[nodiscard]] bool manualReset() const { return manualReset_; }
  // The platform object, for the platform's own waits (pipe I/O); not for subsystem code.
  [[nodiscard]] NativeHandle native() const { return handle_.get(); }

  // SetEvent / ResetEvent. Safe from any thread while the object lives.
  bool Set() const;
  bool Reset() const;

  // Waits up to `timeoutMs` (kInfiniteWait: no limit; 0: a test without waiting). An
  // auto-reset event is reset by the wait that it releases.
  [[nodiscard]] WaitResult Wait(std::uint32_t timeoutMs) const;

 private:
  UniqueHandle<EventHandleTraits> handle_;
  bool manualReset_ = true;
};

// WaitForMultipleObjects(waitAll = FALSE) over up to 64 events: kSignalled with `*index`
// set to the lowest index of a set event (only that one is reset, if it is auto-reset).
[[nodiscard]] WaitResult WaitForAnyEvent(std::span<const Event* const> events,
                                         std::uint32_t timeoutMs, std::size_t* index);

// Sleep(milliseconds).
void SleepMilliseconds(std::uint32_t milliseconds);

// A critical section. Callers never take it twice on one thread (Windows would allow it, the
// host would deadlock). Meets BasicLockable, so std::lock_guard and std::unique_lock
// work with it. Not movable.
class CriticalSection {
 public:
  explicit CriticalSection(std::uint32_t spinCount);
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void lock();
  void unlock();

  struct Impl;
  [[nodiscard]] Impl* impl() const { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

// A condition variable used with a CriticalSection. Not movable.
class ConditionVariable {
 public:
  ConditionVariable();
  ~ConditionVariable();
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  // SleepConditionVariableCS: `lock` must be held; it is released while waiting and held
  // again on return. False when `timeoutMs` ran out (last error 1460, ERROR_TIMEOUT).
  // Wake-ups can be spurious: callers re-check their condition.
  bool Wait(CriticalSection& lock, std::uint32_t timeoutMs);
  void WakeOne();
  void WakeAll();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

inline constexpr Win32Error kErrorTimeout = 1460;

// A thread of the program. Move-only; destroying or moving over a thread that was started
// and not joined joins it first.
class Thread {
 public:
  Thread() = default;
  ~Thread();
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // CreateThread (default stack) running `procedure`. False with the creation's own error as
  // the last error, the thread not started. Fault point kCreateThread, path `name` (a name
  // for tests only, such as u"worker").
  [[nodiscard]] bool Start(const std::u16string& name, std::function<void()> procedure);

  // Waits without limit for the thread to end. Harmless when it was never started.
  void Join();

  [[nodiscard]] bool joinable() const { return native_ != 0; }

 private:
  NativeHandle native_ = 0;
};

}  // namespace vovu::platform
