// A watch on a pipe name's directory for entries that appear, go or are renamed, used by
// clients that wait for an instance. Set before a listing, it tells whether the listing may
// have missed an entry (readdir may skip one that is renamed while it runs) and wakes a
// waiter when the name changes.
//
// Each thread keeps one inotify instance for all its watches: closing an inotify instance
// waits for the kernel's notification readers to finish (a grace period, milliseconds on a
// busy machine), which many clients waiting in turn would otherwise pay on every wait. A
// watch itself is added and removed per use; a thread has one watch at a time.
#pragma once

#include <string>

namespace vovu::platform::host {

class DirectoryWatch {
 public:
  // What a wait wakes for.
  enum class Wake {
    kAnyChange,
    // An entry that may be a listening instance appeared (not a busy or staging name), or
    // the directory itself went (the name ended).
    kInstanceMayListen,
  };

  // `wake` is what the watch is for: kInstanceMayListen watches only for entries that
  // appear (an entry renamed while a listing runs appears at its new name) and for the end
  // of the directory, so that entries going away wake nobody.
  explicit DirectoryWatch(const std::string& directory, Wake wake = Wake::kAnyChange);
  ~DirectoryWatch();
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // False when the thread's inotify instance could not be made.
  [[nodiscard]] bool valid() const;
  // False when the directory could not be watched (it does not exist).
  [[nodiscard]] bool watching() const { return watch_ >= 0; }
  // Waits up to `timeoutMs` (poll's form: -1 without limit) for a change of the kind
  // `wake`; true when one came. Changes of other kinds that come meanwhile are consumed.
  // `appeared`, when given, receives the name of an entry that may be a listening instance
  // (the last one seen), or stays empty.
  bool TakeChange(int timeoutMs, Wake wake = Wake::kAnyChange, std::string* appeared = nullptr);

 private:
  int watch_ = -1;
};

}  // namespace vovu::platform::host
