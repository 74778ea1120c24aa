#include "platform/host/ipc/pipe_directory_watch.h"

#include <errno.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

#include "platform/host/core/event_wait.h"
#include "platform/host/core/unique_fd.h"
#include "platform/sync.h"

namespace vovu::platform::host {
namespace {

constexpr std::uint32_t kAppearing = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kAnyChange = kAppearing | IN_DELETE | IN_MOVED_FROM;

// This thread's inotify instance, made on first use and closed when the thread ends.
int ThreadInotify() {
  thread_local UniqueFd instance(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  return instance.get();
}

bool EndsWith(const char* name, const char* suffix) {
  const std::size_t length = std::strlen(name);
  const std::size_t suffixLength = std::strlen(suffix);
  return length >= suffixLength && std::strcmp(name + length - suffixLength, suffix) == 0;
}

// Whether an event with `mask` for the entry `name` (NUL-terminated; empty for the
// directory itself) may mean that the name has ended.
bool MayMeanTheEnd(std::uint32_t mask) {
  return (mask & (IN_DELETE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) != 0;
}

// Whether an event with `mask` for the entry `name` (NUL-terminated) may mean that an
// instance listens there now.
bool MayMeanAListeningInstance(std::uint32_t mask, const char* name) {
  if ((mask & (IN_CREATE | IN_MOVED_TO)) == 0 || name[0] == '\0')
    return false;
  return name[0] != '.' && !EndsWith(name, ".busy") && !EndsWith(name, ".new");
}

}  // namespace

DirectoryWatch::DirectoryWatch(const std::string& directory, Wake wake) {
  const int fd = ThreadInotify();
  if (fd < 0)
    return;
  // What an earlier watch of this thread left unread is of no interest.
  char events[4096];
  while (read(fd, events, sizeof events) > 0) {
  }
  watch_ =
      inotify_add_watch(fd, directory.c_str(), wake == Wake::kAnyChange ? kAnyChange : kAppearing);
}

DirectoryWatch::~DirectoryWatch() {
  if (watch_ >= 0) {
    const int saved = errno;
    inotify_rm_watch(ThreadInotify(), watch_);
    errno = saved;
  }
}

bool DirectoryWatch::valid() const {
  return ThreadInotify() >= 0;
}

bool DirectoryWatch::TakeChange(int timeoutMs, Wake wake, std::string* appeared) {
  const int fd = ThreadInotify();
  if (fd < 0 || watch_ < 0)
    return false;
  const Deadline deadline(timeoutMs < 0 ? kInfiniteWait : static_cast<std::uint32_t>(timeoutMs));
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, deadline.RemainingPollTimeout());
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return false;
    alignas(inotify_event) char events[4096];
    bool woken = false;
    // One read: what comes after it wakes the next poll.
    const ssize_t n = read(fd, events, sizeof events);
    if (n > 0) {
      for (ssize_t at = 0; at < n;) {
        inotify_event event;
        std::memcpy(&event, events + at, sizeof event);
        const char* name = events + at + sizeof event;
        at += static_cast<ssize_t>(sizeof event + event.len);
        if (event.wd != watch_ && (event.mask & IN_Q_OVERFLOW) == 0)
          continue;  // left by an earlier watch of this thread
        // The kernel pads the name with NULs to its length.
        const char* entry = event.len == 0 ? "" : name;
        const bool listening = MayMeanAListeningInstance(event.mask, entry);
        if (listening && appeared != nullptr)
          *appeared = entry;
        woken = woken || wake == Wake::kAnyChange || listening || MayMeanTheEnd(event.mask);
      }
    }
    if (woken)
      return true;
    if (deadline.Expired())
      return false;
  }
}

}  // namespace vovu::platform::host
