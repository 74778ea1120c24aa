// One move-only owner for every kind of operating-system handle.
//
// `Traits` supplies the handle type, the invalid value, the validity test and the close
// function. Closing keeps the thread's last error intact, so a failure path can close its
// handles and still report the error of the call that failed.
#pragma once

#include <utility>

#include "platform/error.h"

namespace vovu::platform {

template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() = default;
  explicit UniqueHandle(Type value) : value_(value) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }

  [[nodiscard]] Type get() const { return value_; }
  [[nodiscard]] bool valid() const { return Traits::IsValid(value_); }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  Type release() { return std::exchange(value_, Traits::Invalid()); }

  // Closes the owned handle (if any), preserving the last error, and takes `value`.
  void reset(Type value = Traits::Invalid()) {
    Type old = std::exchange(value_, value);
    if (Traits::IsValid(old)) {
      const Win32Error saved = LastError();
      Traits::Close(old);
      SetLastErrorCode(saved);
    }
  }

 private:
  Type value_ = Traits::Invalid();
};

}  // namespace vovu::platform
