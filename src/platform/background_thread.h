// Threads the program does not wait for, for work that a user can hold up: an open of a file
// that a user named can wait for as long as that user likes (an oplock, a pipe server, a
// stalled network path). The owner waits for such work only as long as it chooses, then asks
// the thread to give up its blocking call and leaves it to end on its own.
//
// Windows: CreateThread, the handle kept for CancelSynchronousIo (a cancelled call fails with
// 995, ERROR_OPERATION_ABORTED).
// Host: a detached pthread; cancelling sends it a signal whose handler does nothing and is
// installed without SA_RESTART, so the blocking system call it is in fails with EINTR (the
// host's file calls report that as 995). A call that no signal interrupts (a hung network
// mount) is left to end when it ends.
#pragma once

#include <functional>
#include <memory>

namespace vovu::platform {

class BackgroundThread {
 public:
  BackgroundThread() = default;

  // Starts `work` on a new thread. `work` owns everything it touches (it may outlive the
  // caller's frame). False with the creation's error as the last error, nothing started.
  // Fault point kCreateThread, path u"background".
  [[nodiscard]] static bool Start(std::function<void()> work, BackgroundThread* thread);

  // Asks the thread to abandon the blocking call it is in now. Harmless once it has ended.
  void CancelBlockingCall() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace vovu::platform
