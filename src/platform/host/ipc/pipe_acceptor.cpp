#include "platform/host/ipc/pipe_acceptor.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <thread>

#include "platform/error.h"
#include "platform/host/core/event_wait.h"
#include "platform/host/core/host_util.h"
#include "platform/host/ipc/pipe_socket_file.h"

namespace vovu::platform::host {
namespace {

// A client taken for an instance, with its identity.
struct Taken {
  UniqueFd fd;
  PeerIdentity peer;
};

struct Acceptor {
  std::mutex mutex;
  UniqueFd epoll;
  bool running = false;
  std::uint64_t nextId = 1;
  // The instances the background thread watches, and the clients it took and nobody has
  // collected yet.
  std::map<std::uint64_t, PipeObject*> watched;
  std::map<std::uint64_t, Taken> taken;
};

Acceptor& TheAcceptor() {
  static Acceptor* acceptor = new Acceptor;  // outlives every thread; never destroyed
  return *acceptor;
}

// Takes the client waiting in the listen queue of `pipe` (room for one): false when there
// is none.
bool TakeClient(PipeObject* pipe, Taken* client) {
  // The instance is busy from this moment: its name moves aside before the client is taken,
  // so that no other client queues up behind it in between.
  const bool renamed = RenameOwnSocketFile(*pipe, pipe->path, pipe->busyPath);
  client->fd.reset(
      AboveStdio(accept4(pipe->listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)));
  if (!client->fd.valid()) {
    if (renamed)
      RenameOwnSocketFile(*pipe, pipe->busyPath, pipe->path);
    return false;
  }
  pipe->atBusyName = renamed;
  CapturePeer(client->fd.get(), &client->peer);
  // Completes the client's open.
  send(client->fd.get(), &kAcceptedMarker, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  return true;
}

// Under the acceptor's lock.
void Unwatch(Acceptor& acceptor, PipeObject* pipe) {
  if (acceptor.watched.erase(pipe->acceptorId) != 0)
    epoll_ctl(acceptor.epoll.get(), EPOLL_CTL_DEL, pipe->listenFd.get(), nullptr);
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
      if (found == acceptor->watched.end())
        continue;
      PipeObject* pipe = found->second;
      Taken client;
      if (!TakeClient(pipe, &client))
        continue;
      Unwatch(*acceptor, pipe);
      acceptor->taken[pipe->acceptorId] = std::move(client);
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
  acceptor.epoll.reset();
  acceptor.running = false;
  acceptor.watched.clear();
  acceptor.taken.clear();
  acceptor.mutex.unlock();
}

// Under the acceptor's lock.
bool Watch(Acceptor& acceptor, PipeObject* pipe) {
  if (!acceptor.running) {
    UniqueFd epoll(AboveStdio(epoll_create1(EPOLL_CLOEXEC)));
    if (!epoll.valid()) {
      SetLastErrorCode(kErrorNotEnoughMemory);
      return false;
    }
    try {
      std::thread(AcceptorLoop, &acceptor, epoll.get()).detach();
    } catch (...) {
      SetLastErrorCode(kErrorNotEnoughMemory);
      return false;
    }
    acceptor.epoll = std::move(epoll);
    acceptor.running = true;
  }
  if (pipe->acceptorId == 0)
    pipe->acceptorId = acceptor.nextId++;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = pipe->acceptorId;
  if (epoll_ctl(acceptor.epoll.get(), EPOLL_CTL_ADD, pipe->listenFd.get(), &event) != 0) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return false;
  }
  acceptor.watched[pipe->acceptorId] = pipe;
  return true;
}

}  // namespace

bool StartAccepting(PipeObject* pipe) {
  static std::once_flag forkHandlers;
  std::call_once(forkHandlers,
                 [] { pthread_atfork(LockBeforeFork, UnlockAfterFork, ResetInChild); });
  Acceptor& acceptor = TheAcceptor();
  std::lock_guard lock(acceptor.mutex);
  return Watch(acceptor, pipe);
}

void StopAccepting(PipeObject* pipe) {
  if (pipe->acceptorId == 0)
    return;
  Acceptor& acceptor = TheAcceptor();
  std::lock_guard lock(acceptor.mutex);
  Unwatch(acceptor, pipe);
  acceptor.taken.erase(pipe->acceptorId);
  pipe->acceptorId = 0;
}

bool AwaitClient(PipeObject* pipe, const Event& stop) {
  if (!stop.valid()) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  Acceptor& acceptor = TheAcceptor();
  {
    std::lock_guard lock(acceptor.mutex);
    const auto taken = acceptor.taken.find(pipe->acceptorId);
    if (pipe->acceptorId != 0 && taken != acceptor.taken.end()) {
      pipe->fd = std::move(taken->second.fd);
      pipe->peer = std::move(taken->second.peer);
      acceptor.taken.erase(taken);
      return true;
    }
    // This thread takes the next client itself, without a hand-over from the background.
    Unwatch(acceptor, pipe);
  }
  for (;;) {
    pollfd fds[2] = {{static_cast<int>(stop.native()), POLLIN, 0},
                     {pipe->listenFd.get(), POLLIN, 0}};
    const int ready = poll(fds, 2, -1);
    if (ready < 0 && errno != EINTR) {
      SetLastErrorCode(kErrorInvalidHandle);
      return false;
    }
    // The stop event wins a tie, as the first handle of a multiple-object wait does. A
    // client that comes afterwards is taken in the background again.
    if (ready > 0 && (fds[0].revents & POLLIN) != 0 && TakeEventSignal(stop)) {
      std::lock_guard lock(acceptor.mutex);
      (void)Watch(acceptor, pipe);
      SetLastErrorCode(kErrorOperationAborted);
      return false;
    }
    Taken client;
    if (ready > 0 && fds[1].revents != 0 && TakeClient(pipe, &client)) {
      pipe->fd = std::move(client.fd);
      pipe->peer = std::move(client.peer);
      return true;
    }
  }
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
