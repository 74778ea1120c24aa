#include "platform/host/ipc/pipe_pool.h"

#include <pthread.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <vector>

#include "platform/host/ipc/pipe_acceptor.h"
#include "platform/host/ipc/pipe_names.h"
#include "platform/host/ipc/pipe_socket_file.h"

namespace vovu::platform::host {
namespace {

// At most this many kept places per name: a server that keeps one instance listening while
// it serves another needs one.
constexpr std::size_t kKeptPerName = 2;

struct Pool {
  std::mutex mutex;
  std::map<std::string, int> open;  // open instances per name directory
  std::multimap<std::string, std::unique_ptr<PipeObject>> kept;
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // outlives every thread; never destroyed
  return *pool;
}

// Drops the instance's client and socket: nobody can connect to it any more.
void CloseSocket(PipeObject* pipe) {
  StopAccepting(pipe);
  pipe->fd.reset();
  if (pipe->listenFd.valid()) {
    RemoveOwnSocketFile(*pipe, pipe->atBusyName ? pipe->busyPath : pipe->path);
    pipe->listenFd.reset();
  }
}

void LeaveName(std::unique_ptr<PipeObject> pipe) {
  if (pipe->lockFd.valid())
    LeavePipeName(pipe->nameDirectory, std::move(pipe->lockFd));
}

// A child of fork() shares the parent's name locks: it forgets what the parent keeps
// without touching it (closing its own copies of the descriptors releases nothing).
void LockBeforeFork() {
  ThePool().mutex.lock();
}
void UnlockAfterFork() {
  ThePool().mutex.unlock();
}
void ForgetInChild() {
  Pool& pool = ThePool();
  pool.kept.clear();
  pool.open.clear();
  pool.mutex.unlock();
}

}  // namespace

void CountInstance(PipeObject& pipe) {
  static std::once_flag forkHandlers;
  std::call_once(forkHandlers,
                 [] { pthread_atfork(LockBeforeFork, UnlockAfterFork, ForgetInChild); });
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  ++pool.open[pipe.nameDirectory];
  pipe.counted = true;
  pipe.joinedAs = geteuid();
}

std::unique_ptr<PipeObject> ReuseInstance(const std::string& directory) {
  Pool& pool = ThePool();
  std::unique_ptr<PipeObject> pipe;
  {
    std::lock_guard lock(pool.mutex);
    const auto found = pool.kept.find(directory);
    // Only the name's owner adds instances to it (pipe_names.h).
    if (found == pool.kept.end() || found->second->joinedAs != geteuid())
      return nullptr;
    pipe = std::move(found->second);
    pool.kept.erase(found);
    ++pool.open[directory];
  }
  pipe->atBusyName = false;
  pipe->connected = false;
  pipe->disconnected = false;
  pipe->messageRead = false;
  pipe->clientLevel = PipeClientLevel::kImpersonation;
  pipe->peer = PeerIdentity{};
  return pipe;
}

void RetireInstance(std::unique_ptr<PipeObject> pipe) {
  CloseSocket(pipe.get());
  if (!pipe->counted) {
    LeaveName(std::move(pipe));
    return;
  }
  std::vector<std::unique_ptr<PipeObject>> leaving;
  {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    const auto open = pool.open.find(pipe->nameDirectory);
    const int stillOpen = open == pool.open.end() ? 0 : --open->second;
    if (stillOpen > 0 && pipe->lockFd.valid() &&
        pool.kept.count(pipe->nameDirectory) < kKeptPerName) {
      const std::string directory = pipe->nameDirectory;
      pool.kept.emplace(directory, std::move(pipe));
      return;
    }
    if (stillOpen <= 0) {
      if (open != pool.open.end())
        pool.open.erase(open);
      const auto [first, last] = pool.kept.equal_range(pipe->nameDirectory);
      for (auto it = first; it != last; ++it)
        leaving.push_back(std::move(it->second));
      pool.kept.erase(first, last);
    }
  }
  LeaveName(std::move(pipe));
  for (std::unique_ptr<PipeObject>& kept : leaving)
    LeaveName(std::move(kept));
}

}  // namespace vovu::platform::host
