#include "platform/host/ipc/pipe_acceptor.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <thread>

#include "platform/error.h"
#include "platform/host/core/host_util.h"

namespace vovu::platform::host {
namespace {

struct Acceptor {
  std::mutex mutex;
  int epoll = -1;
  bool running = false;
  std::uint64_t nextId = 1;
  std::map<std::uint64_t, PipeObject*> watched;
  // A client taken for an instance and not collected yet, with its identity.
  struct Taken {
    int fd;
    PeerIdentity peer;
  };
  std::map<std::uint64_t, Taken> taken;
};

Acceptor& TheAcceptor() {
  static Acceptor* acceptor = new Acceptor;  // outlives every thread; never destroyed
  return *acceptor;
}

// Renames the socket file at `from` only when it is still the one this instance bound.
bool RenameOwnSocketFile(const PipeObject& pipe, const std::string& from, const std::string& to) {
  struct stat st;
  return lstat(from.c_str(), &st) == 0 && st.st_dev == pipe.device && st.st_ino == pipe.inode &&
         rename(from.c_str(), to.c_str()) == 0;
}

// A client waits in the instance's listen queue (room for one). Under the acceptor's lock.
void TakeClient(Acceptor& acceptor, std::uint64_t id, PipeObject* pipe) {
  // The instance is busy from this moment: its name moves aside before the client is taken,
  // so that no other client queues up behind it in between.
  const bool renamed = RenameOwnSocketFile(*pipe, pipe->path, pipe->busyPath);
  const int fd =
      AboveStdio(accept4(pipe->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (fd < 0) {
    if (renamed)
      RenameOwnSocketFile(*pipe, pipe->busyPath, pipe->path);
    return;
  }
  epoll_ctl(acceptor.epoll, EPOLL_CTL_DEL, pipe->listenFd, nullptr);
  acceptor.watched.erase(id);
  Acceptor::Taken client{fd, {}};
  CapturePeer(fd, &client.peer);
  // Completes the client's open.
  send(fd, &kAcceptedMarker, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  acceptor.taken[id] = std::move(client);
  const std::uint64_t one = 1;
  (void)!write(pipe->acceptedEvent, &one, sizeof one);
}

void AcceptorLoop(Acceptor* acceptor, int epoll) {
  epoll_event events[16];
  for (;;) {
    const int ready = epoll_wait(epoll, events, 16, -1);
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    std::lock_guard lock(acceptor->mutex);
    for (int i = 0; i < ready; ++i) {
      const auto found = acceptor->watched.find(events[i].data.u64);
      if (found != acceptor->watched.end())
        TakeClient(*acceptor, found->first, found->second);
    }
  }
}

// A child of fork() has no acceptor thread: it starts its own when it needs one, on its own
// epoll instance (the inherited one is shared with the parent).
void LockBeforeFork() {
  TheAcceptor().mutex.lock();
}
void UnlockAfterFork() {
  TheAcceptor().mutex.unlock();
}
void ResetInChild() {
  Acceptor& acceptor = TheAcceptor();
  if (acceptor.epoll >= 0)
    close(acceptor.epoll);
  acceptor.epoll = -1;
  acceptor.running = false;
  acceptor.watched.clear();
  acceptor.taken.clear();
  acceptor.mutex.unlock();
}

}  // namespace

bool StartAccepting(PipeObject* pipe) {
  static std::once_flag forkHandlers;
  std::call_once(forkHandlers,
                 [] { pthread_atfork(LockBeforeFork, UnlockAfterFork, ResetInChild); });
  Acceptor& acceptor = TheAcceptor();
  std::lock_guard lock(acceptor.mutex);
  if (!acceptor.running) {
    const int epoll = AboveStdio(epoll_create1(EPOLL_CLOEXEC));
    if (epoll < 0) {
      SetLastErrorCode(kErrorNotEnoughMemory);
      return false;
    }
    try {
      std::thread(AcceptorLoop, &acceptor, epoll).detach();
    } catch (...) {
      close(epoll);
      SetLastErrorCode(kErrorNotEnoughMemory);
      return false;
    }
    acceptor.epoll = epoll;
    acceptor.running = true;
  }
  const std::uint64_t id = acceptor.nextId++;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = id;
  if (epoll_ctl(acceptor.epoll, EPOLL_CTL_ADD, pipe->listenFd, &event) != 0) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return false;
  }
  acceptor.watched[id] = pipe;
  pipe->acceptorId = id;
  return true;
}

void StopAccepting(PipeObject* pipe) {
  if (pipe->acceptorId == 0)
    return;
  Acceptor& acceptor = TheAcceptor();
  std::lock_guard lock(acceptor.mutex);
  if (acceptor.watched.erase(pipe->acceptorId) != 0)
    epoll_ctl(acceptor.epoll, EPOLL_CTL_DEL, pipe->listenFd, nullptr);
  const auto taken = acceptor.taken.find(pipe->acceptorId);
  if (taken != acceptor.taken.end()) {
    close(taken->second.fd);
    acceptor.taken.erase(taken);
  }
  pipe->acceptorId = 0;
}

bool CollectAcceptedClient(PipeObject* pipe) {
  Acceptor& acceptor = TheAcceptor();
  std::lock_guard lock(acceptor.mutex);
  const auto taken = acceptor.taken.find(pipe->acceptorId);
  if (pipe->acceptorId == 0 || taken == acceptor.taken.end())
    return false;
  pipe->fd = taken->second.fd;
  pipe->peer = std::move(taken->second.peer);
  acceptor.taken.erase(taken);
  return true;
}

void CapturePeer(int fd, PeerIdentity* peer) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
    peer->pid = credentials.pid;
    peer->uid = credentials.uid;
    peer->gid = credentials.gid;
  }
  // The supplementary groups as they were when the client connected.
  std::vector<gid_t> groups(64);
  length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
  int result = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length);
  if (result != 0 && errno == ERANGE) {
    groups.resize(length / sizeof(gid_t));
    result = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length);
  }
  groups.resize(result == 0 ? length / sizeof(gid_t) : 0);
  peer->groups = std::move(groups);
  const pid_t session = peer->pid > 0 ? getsid(peer->pid) : -1;
  peer->hasSession = session >= 0;
  peer->session = peer->hasSession ? static_cast<std::uint32_t>(session) : 0;
}

}  // namespace vovu::platform::host
