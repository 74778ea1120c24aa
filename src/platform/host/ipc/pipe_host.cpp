// Named pipes on the host: SOCK_SEQPACKET Unix sockets in the pipe name's directory of the
// machine root (layout and rules in platform/pipe.h; the namespace in pipe_names.h, the
// background taking of clients in pipe_acceptor.h).
//
// Every message travels as one packet: a marker byte followed by the message's bytes. An
// empty message is then a one-byte packet and never looks like the end of the connection
// (a zero-byte receive), and a receive of `size + 1` bytes tells by MSG_TRUNC whether the
// message was longer than the caller's buffer. A client's first packet, sent as it
// connects, carries the impersonation level it allows.
//
// The states of a server instance and what clients see of them:
//   listening  socket at <dir>/<n>: WaitForPipeInstance succeeds and OpenPipe connects.
//   busy       the acceptor has renamed it to <dir>/<n>.busy and taken a client; OpenPipe
//              gets 231 from it (its listen queue is full or it no longer accepts).
//   closed     both names gone (or left by a process that ended: a socket that nobody
//              listens on any more counts as no instance).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/host/core/event_wait.h"
#include "platform/host/core/host_util.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/files/security_descriptor_impl.h"
#include "platform/host/ipc/pipe_acceptor.h"
#include "platform/host/ipc/pipe_directory_watch.h"
#include "platform/host/ipc/pipe_names.h"
#include "platform/host/ipc/pipe_object.h"
#include "platform/host/ipc/pipe_pool.h"
#include "platform/host/ipc/pipe_socket_file.h"
#include "platform/pipe.h"

namespace vovu::platform {
namespace {

using host::DirectoryWatch;
using host::PipeObject;
using host::UniqueFd;

constexpr unsigned char kMessageMarker = 'M';
// The client's first packet: this marker and 'I' (identification) or 'P' (impersonation).
constexpr unsigned char kLevelMarker = 'L';
// One waiting client at most: the acceptor takes it at once.
constexpr int kListenBacklog = 0;
constexpr char kBusySuffix[] = ".busy";
constexpr char kStagingSuffix[] = ".new";

bool Fail(Win32Error code) {
  SetLastErrorCode(code);
  return false;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

// The client's side of the namespace rule: it must exist (else there is no pipe) and belong
// to root or to this user.
bool CheckClientNamespace() {
  struct stat st;
  if (lstat(host::PipeNamespaceDirectory().c_str(), &st) != 0)
    return Fail(kErrorFileNotFound);
  if (!S_ISDIR(st.st_mode) || (st.st_uid != 0 && st.st_uid != geteuid()))
    return Fail(kErrorAccessDenied);
  return true;
}

bool IsSocketFile(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// True when an instance still listens at `path`, busy or not. Only used on busy sockets: the
// probe joins a queue that is never taken again.
bool SomeoneListensAt(const std::string& path) {
  if (!IsSocketFile(path))
    return false;
  const UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid())
    return false;
  const sockaddr_un address = AddressOf(path);
  return connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
         errno == EAGAIN;
}

// The sockets in the name's directory: listening ones and busy ones.
struct Instances {
  std::vector<std::string> listening;
  std::vector<std::string> busy;
};

Instances ListInstances(const std::string& directory) {
  Instances found;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr)
    return found;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.' || EndsWith(name, kStagingSuffix))
      continue;
    const std::string path = directory + "/" + name;
    if (entry->d_type == DT_UNKNOWN ? !IsSocketFile(path) : entry->d_type != DT_SOCK)
      continue;
    (EndsWith(name, kBusySuffix) ? found.busy : found.listening).push_back(path);
  }
  closedir(dir);
  return found;
}

bool AnyBusyInstanceAlive(const Instances& instances) {
  for (const std::string& path : instances.busy) {
    if (SomeoneListensAt(path))
      return true;
  }
  return false;
}

// The ownership and mode of the instance's socket file. Connecting needs write permission,
// so the mode bits decide who can open the pipe.
bool ApplySocketSecurity(PipeObject* pipe, const std::string& path,
                         const SecurityDescriptor* security) {
  const SecurityDescriptor::Impl* impl = security != nullptr ? security->impl() : nullptr;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return Fail(host::Win32ErrorFromErrno(errno, path));
  mode_t mode = 0770;
  if (impl != nullptr) {
    gid_t group = st.st_gid;
    if (geteuid() == 0 && impl->hasAdministrators) {
      group = 0;
      if (st.st_gid != 0 && lchown(path.c_str(), static_cast<uid_t>(-1), 0) != 0)
        return Fail(host::Win32ErrorFromErrno(errno, path));
    }
    mode = impl->ModeFor(st.st_uid, group);
  }
  if (chmod(path.c_str(), mode) != 0)
    return Fail(host::Win32ErrorFromErrno(errno, path));
  pipe->device = st.st_dev;
  pipe->inode = st.st_ino;
  return true;
}

// Polls the stop event and `fd` for `events` until one is ready or the time runs out.
// True when `fd` is ready; false with 995 (stop) or 258 (time-out).
bool WaitForSocket(int fd, short events, const host::Deadline& deadline, const Event& stop) {
  if (!stop.valid())
    return Fail(kErrorInvalidHandle);
  for (;;) {
    pollfd fds[2] = {{static_cast<int>(stop.native()), POLLIN, 0}, {fd, events, 0}};
    const int ready = poll(fds, 2, deadline.RemainingPollTimeout());
    if (ready < 0 && errno != EINTR)
      return Fail(kErrorInvalidHandle);
    // The stop event wins a tie, as the first handle of a multiple-object wait does.
    if (ready > 0 && (fds[0].revents & POLLIN) != 0 && host::TakeEventSignal(stop))
      return Fail(kErrorOperationAborted);
    if (ready > 0 && fds[1].revents != 0)
      return true;
    if (deadline.Expired())
      return Fail(kErrorWaitTimeout);
  }
}

// Sends one framed message. False with errno set (EAGAIN when it would block).
bool SendFramed(int fd, unsigned char marker, const void* data, std::uint32_t size, int flags) {
  iovec parts[2] = {{&marker, 1}, {const_cast<void*>(data), size}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = size == 0 ? 1 : 2;
  return sendmsg(fd, &message, flags | MSG_NOSIGNAL) >= 0;
}

enum class Received { kMessage, kTruncated, kLevel, kEnd, kWouldBlock, kFailed };

// Receives one packet into `buffer`. A level packet (only a client sends one) is reported as
// kLevel with `*level` set; it leaves its byte in `buffer`, which the next message
// overwrites.
Received ReceiveFramed(int fd, void* buffer, std::uint32_t size, std::uint32_t* bytes, int flags,
                       PipeClientLevel* level) {
  unsigned char marker = 0;
  iovec parts[2] = {{&marker, 1}, {buffer, size}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  const ssize_t n = recvmsg(fd, &message, flags | MSG_CMSG_CLOEXEC);
  if (n < 0)
    return errno == EAGAIN ? Received::kWouldBlock : Received::kFailed;
  if (n == 0)
    return Received::kEnd;
  if (marker == kLevelMarker && level != nullptr) {
    const bool identification = n >= 2 && size >= 1 && static_cast<char*>(buffer)[0] == 'I';
    *level = identification ? PipeClientLevel::kIdentification : PipeClientLevel::kImpersonation;
    return Received::kLevel;
  }
  *bytes = static_cast<std::uint32_t>(n - 1);
  return (message.msg_flags & MSG_TRUNC) != 0 ? Received::kTruncated : Received::kMessage;
}

// The Win32 code of a receive that ended a read; `endCode` is what the other end's going
// away means on this side.
bool ReceiveFailure(Received result, Win32Error endCode) {
  return Fail(result == Received::kTruncated ? kErrorMoreData : endCode);
}

PipeObject* ConnectedServer(const PipeHandle& instance) {
  PipeObject* pipe = host::ObjectOf(instance);
  if (pipe == nullptr || !pipe->server) {
    SetLastErrorCode(kErrorInvalidHandle);
    return nullptr;
  }
  if (!pipe->fd.valid()) {
    SetLastErrorCode(kErrorPipeNotConnected);
    return nullptr;
  }
  return pipe;
}

PipeObject* Client(const PipeHandle& client) {
  PipeObject* pipe = host::ObjectOf(client);
  if (pipe == nullptr || pipe->server || !pipe->fd.valid()) {
    SetLastErrorCode(kErrorInvalidHandle);
    return nullptr;
  }
  return pipe;
}

// A name for a new instance's socket, unique in this machine while this process lives.
std::string NewInstanceName() {
  static std::atomic<unsigned long> counter{0};
  return std::to_string(getpid()) + "-" + std::to_string(++counter);
}

}  // namespace

void PipeHandleTraits::Close(Type h) {
  std::unique_ptr<PipeObject> pipe(reinterpret_cast<PipeObject*>(h));
  if (pipe->server)
    host::RetireInstance(std::move(pipe));
}

namespace {

// Makes the instance's socket: bound under a private name, secured and listening before it
// appears at its path, so that a client never meets the socket with the creation mode
// instead of the descriptor's; then watched for clients. On failure the caller closes the
// instance, which removes a socket file it bound.
bool MakeListeningSocket(PipeObject* pipe, const SecurityDescriptor* security) {
  pipe->listenFd.reset(
      host::AboveStdio(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)));
  if (!pipe->listenFd.valid())
    return Fail(kErrorNotEnoughMemory);
  const std::string staging = pipe->path + kStagingSuffix;
  const sockaddr_un address = AddressOf(staging);
  if (bind(pipe->listenFd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      0) {
    return Fail(host::Win32ErrorFromErrno(errno, staging));
  }
  bool ready = ApplySocketSecurity(pipe, staging, security);
  if (ready && listen(pipe->listenFd.get(), kListenBacklog) != 0)
    ready = Fail(kErrorNotEnoughMemory);
  if (ready && rename(staging.c_str(), pipe->path.c_str()) != 0)
    ready = Fail(host::Win32ErrorFromErrno(errno, pipe->path));
  if (!ready) {
    unlink(staging.c_str());
    return false;
  }
  return host::StartAccepting(pipe);
}

}  // namespace

PipeHandle CreatePipeInstance(const std::u16string& name, const PipeInstanceSettings& settings,
                              const SecurityDescriptor* security) {
  if (FaultDue(FaultPoint::kCreatePipeInstance, name))
    return PipeHandle();
  std::string directory;
  if (!host::PipeNameDirectory(name, &directory))
    return PipeHandle();
  if (settings.maxInstances == 0 || settings.maxInstances > kPipeUnlimitedInstances) {
    SetLastErrorCode(kErrorInvalidParameter);
    return PipeHandle();
  }
  // A further instance of a name this process serves may take a place in the name that
  // the process kept (pipe_pool.h). A first instance never does: the name exists while
  // anything of it is kept.
  std::unique_ptr<PipeObject> object;
  if (!settings.firstInstance)
    object = host::ReuseInstance(directory);
  if (object == nullptr) {
    UniqueFd lockFd;
    if (!host::PrepareNamespace() ||
        !host::JoinPipeName(
            directory, settings.firstInstance,
            security != nullptr && security->impl() != nullptr && security->impl()->everyoneAppends,
            &lockFd)) {
      return PipeHandle();
    }
    object = std::make_unique<PipeObject>();
    object->server = true;
    object->lockFd = std::move(lockFd);
    object->nameDirectory = directory;
    object->path = directory + "/" + NewInstanceName();
    object->busyPath = object->path + kBusySuffix;
    host::CountInstance(*object);
  }
  // From here on a failure closes the handle, which also removes a socket file it bound and
  // leaves the name.
  PipeObject* pipe = object.get();
  PipeHandle handle(reinterpret_cast<NativeHandle>(object.release()));
  if (!MakeListeningSocket(pipe, security))
    return PipeHandle();
  return handle;
}

bool ConnectPipeClient(const PipeHandle& instance, const Event& stop) {
  PipeObject* pipe = host::ObjectOf(instance);
  if (pipe == nullptr || !pipe->server)
    return Fail(kErrorInvalidHandle);
  if (pipe->connected)
    return true;  // already connected: ConnectNamedPipe's 535
  if (pipe->disconnected) {
    // DisconnectNamedPipe, then ConnectNamedPipe: the same instance listens again at its
    // name, so that a server can take its next client without ever closing the instance.
    if (pipe->atBusyName && !host::RenameOwnSocketFile(*pipe, pipe->busyPath, pipe->path))
      return Fail(kErrorBadPipe);
    pipe->atBusyName = false;
    pipe->disconnected = false;
    pipe->messageRead = false;
    pipe->clientLevel = PipeClientLevel::kImpersonation;
    pipe->peer = host::PeerIdentity{};
  }
  if (!host::AwaitClient(pipe, stop))
    return false;
  // A client that has already closed its end is not served, as ConnectNamedPipe refuses
  // it with 232.
  pollfd p{pipe->fd.get(), POLLRDHUP, 0};
  if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP)) != 0) {
    pipe->fd.reset();
    pipe->disconnected = true;
    return Fail(kErrorNoData);
  }
  pipe->connected = true;
  return true;
}

// Reads and writes of the server try at once and wait only when they would block: an
// operation that can complete at once does, as an overlapped one that completes at once
// does on Windows.
bool ReadPipeMessageWithin(const PipeHandle& instance, void* buffer, std::uint32_t size,
                           std::uint32_t* bytesRead, std::uint32_t timeoutMs, const Event& stop) {
  *bytesRead = 0;
  PipeObject* pipe = ConnectedServer(instance);
  if (pipe == nullptr)
    return false;
  const host::Deadline deadline(timeoutMs);
  for (;;) {
    const Received result =
        ReceiveFramed(pipe->fd.get(), buffer, size, bytesRead, MSG_DONTWAIT, &pipe->clientLevel);
    if (result == Received::kLevel)
      continue;
    if (result == Received::kWouldBlock) {
      if (!WaitForSocket(pipe->fd.get(), POLLIN, deadline, stop))
        return false;
      continue;
    }
    if (result == Received::kMessage || result == Received::kTruncated)
      pipe->messageRead = true;
    // The client's end closed: 109, as for a Windows client that closed its handle.
    return result == Received::kMessage || ReceiveFailure(result, kErrorBrokenPipe);
  }
}

bool WritePipeMessageWithin(const PipeHandle& instance, const void* data, std::uint32_t size,
                            std::uint32_t timeoutMs, const Event& stop) {
  PipeObject* pipe = ConnectedServer(instance);
  if (pipe == nullptr)
    return false;
  const host::Deadline deadline(timeoutMs);
  for (;;) {
    if (SendFramed(pipe->fd.get(), kMessageMarker, data, size, MSG_DONTWAIT))
      return true;
    if (errno != EAGAIN && errno != EINTR)
      return Fail(errno == EMSGSIZE ? kErrorNotEnoughMemory : kErrorNoData);
    if (!WaitForSocket(pipe->fd.get(), POLLOUT, deadline, stop))
      return false;
  }
}

bool FlushPipeWithin(const PipeHandle& instance, std::uint32_t timeoutMs, const Event& stop) {
  PipeObject* pipe = ConnectedServer(instance);
  if (pipe == nullptr)
    return false;
  if (!stop.valid())
    return Fail(kErrorInvalidHandle);
  // What the client has not read yet is still charged to this socket's send memory; the
  // client's reads release it and nothing signals that, so look again every millisecond,
  // or at once when the client goes away or the stop event is set.
  const host::Deadline deadline(timeoutMs);
  for (;;) {
    int unread = 0;
    if (ioctl(pipe->fd.get(), SIOCOUTQ, &unread) != 0 || unread == 0)
      return true;
    pollfd fds[2] = {{static_cast<int>(stop.native()), POLLIN, 0}, {pipe->fd.get(), POLLRDHUP, 0}};
    const int remaining = deadline.RemainingPollTimeout();
    const int ready = poll(fds, 2, remaining < 0 || remaining > 1 ? 1 : remaining);
    if (ready > 0 && (fds[0].revents & POLLIN) != 0 && host::TakeEventSignal(stop))
      return Fail(kErrorOperationAborted);
    if (ready > 0 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) {
      if (ioctl(pipe->fd.get(), SIOCOUTQ, &unread) == 0 && unread == 0)
        return true;
      return Fail(kErrorBrokenPipe);
    }
    if (deadline.Expired())
      return Fail(kErrorWaitTimeout);
  }
}

bool DisconnectPipeClient(const PipeHandle& instance) {
  // After a connect that failed because its client had gone (232), the instance has no
  // client left but must still be disconnected before it can connect again.
  PipeObject* server = host::ObjectOf(instance);
  if (server != nullptr && server->server && server->disconnected)
    return true;
  PipeObject* pipe = ConnectedServer(instance);
  if (pipe == nullptr)
    return false;
  shutdown(pipe->fd.get(), SHUT_RDWR);
  pipe->fd.reset();
  pipe->connected = false;
  pipe->disconnected = true;
  return true;
}

namespace {

// The two listening instances this thread found or opened last, the latest first: a
// server that keeps one instance listening while it serves another listens at the same two
// names by turns (pipe_pool.h), so most waits and opens need no listing of the name's
// directory. Only hints: what is found at one is checked like anything a listing finds.
thread_local std::string recentInstances[2];

bool IsIn(const std::string& directory, const std::string& path) {
  return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
         path[directory.size()] == '/';
}

void RememberInstance(const std::string& path) {
  if (recentInstances[0] != path) {
    recentInstances[1] = std::move(recentInstances[0]);
    recentInstances[0] = path;
  }
}

}  // namespace

namespace {

// An instance this thread found taking another client (its one place for a waiting client
// filled). It moves to its busy name at once, but until it has, a wait would find it
// listening and come straight back; so for kTakingMs, or until it appears anew, waits of
// this thread do not count it as listening, and count it as alive.
constexpr auto kTakingMs = std::chrono::milliseconds(100);
struct SeenTaking {
  std::string path;
  std::chrono::steady_clock::time_point until;
};
thread_local SeenTaking seenTaking;

bool IsSeenTaking(const std::string& path) {
  return !seenTaking.path.empty() && path == seenTaking.path &&
         std::chrono::steady_clock::now() < seenTaking.until;
}

// How long, at most, a wait may sleep before the instance seen taking counts again.
int CapBySeenTaking(int timeoutMs) {
  if (seenTaking.path.empty())
    return timeoutMs;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        seenTaking.until - std::chrono::steady_clock::now())
                        .count() +
                    1;
  const int cap = static_cast<int>(std::max<long long>(0, left));
  return timeoutMs < 0 ? cap : std::min(timeoutMs, cap);
}

}  // namespace

bool WaitForPipeInstance(const std::u16string& name, std::uint32_t timeoutMs) {
  std::string directory;
  if (!host::PipeNameDirectory(name, &directory) || !CheckClientNamespace())
    return false;
  // The instance this thread did not use last is the likelier one to listen now.
  for (int i : {1, 0}) {
    const std::string& hint = recentInstances[i];
    if (IsIn(directory, hint) && !IsSeenTaking(hint) && IsSocketFile(hint)) {
      RememberInstance(std::string(hint));
      return true;
    }
  }
  // Watch the name's directory before looking, so that no change between a look and the
  // wait is missed.
  DirectoryWatch watch(directory, DirectoryWatch::Wake::kInstanceMayListen);
  if (!watch.valid())
    return Fail(kErrorNotEnoughMemory);
  const host::Deadline deadline(timeoutMs);
  for (;;) {
    const Instances instances = ListInstances(directory);
    bool takingSeen = false;
    for (const std::string& path : instances.listening) {
      if (IsSeenTaking(path)) {
        takingSeen = true;
        continue;
      }
      RememberInstance(path);
      return true;
    }
    if (!watch.watching() || (!takingSeen && !AnyBusyInstanceAlive(instances))) {
      // Unless the listing raced with a change: then it is made again.
      if (watch.watching() && watch.TakeChange(0))
        continue;
      return Fail(kErrorFileNotFound);
    }
    // Woken by a name that may be a listening instance, it is taken as the one found; the
    // open that follows finds out (as on Windows, another client may have it by then).
    std::string appeared;
    if (watch.TakeChange(CapBySeenTaking(deadline.RemainingPollTimeout()),
                         DirectoryWatch::Wake::kInstanceMayListen, &appeared)) {
      if (!appeared.empty()) {
        const std::string path = directory + "/" + appeared;
        if (path == seenTaking.path)
          seenTaking.path.clear();  // it listens anew
        RememberInstance(path);
        return true;
      }
    } else if (deadline.Expired()) {
      return Fail(kErrorSemTimeout);
    }
  }
}

namespace {

enum class Attempt { kOpened, kRefused, kTaking, kGone };

// One attempt to open the listening instance at `path`: kOpened with `*fd`, kRefused (5),
// kTaking (it is taking another client: busy), or kGone.
Attempt OpenInstance(const std::string& path, PipeClientLevel level, UniqueFd* fd) {
  UniqueFd socketFd(
      host::AboveStdio(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)));
  if (!socketFd.valid())
    return Attempt::kGone;
  const sockaddr_un address = AddressOf(path);
  if (connect(socketFd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EACCES || errno == EPERM)
      return Attempt::kRefused;
    // EAGAIN: another client is being taken by that instance. Otherwise the instance has
    // just gone (or was left by a process that ended).
    return errno == EAGAIN ? Attempt::kTaking : Attempt::kGone;
  }
  // The client's I/O is synchronous. Its level goes first; the open completes when the
  // instance has taken the connection. An instance that closes instead leaves no pipe to
  // talk to here.
  fcntl(socketFd.get(), F_SETFL, 0);
  const unsigned char levelByte = level == PipeClientLevel::kIdentification ? 'I' : 'P';
  (void)SendFramed(socketFd.get(), kLevelMarker, &levelByte, 1, 0);
  unsigned char marker = 0;
  ssize_t received;
  do {
    received = recv(socketFd.get(), &marker, 1, 0);
  } while (received < 0 && errno == EINTR);
  if (received != 1 || marker != host::kAcceptedMarker)
    return Attempt::kGone;
  *fd = std::move(socketFd);
  return Attempt::kOpened;
}

// One attempt to open a listening instance of the pipe at `directory`, the last one this
// thread used first. False with the last error (5 refused, 231 every instance busy, 2 none);
// `*taking` names an instance that was taking another client.
bool OpenAnInstance(const std::string& directory, PipeClientLevel level, UniqueFd* fd,
                    std::string* taking) {
  const std::string hint = recentInstances[0];
  if (IsIn(directory, hint)) {
    const Attempt attempt = OpenInstance(hint, level, fd);
    if (attempt == Attempt::kOpened)
      return true;
    if (attempt == Attempt::kRefused)
      return Fail(kErrorAccessDenied);
    if (attempt == Attempt::kTaking)
      *taking = hint;
  }
  const Instances instances = ListInstances(directory);
  for (const std::string& path : instances.listening) {
    if (path == hint)
      continue;
    const Attempt attempt = OpenInstance(path, level, fd);
    if (attempt == Attempt::kOpened) {
      RememberInstance(path);
      return true;
    }
    if (attempt == Attempt::kRefused)
      return Fail(kErrorAccessDenied);
    if (attempt == Attempt::kTaking)
      *taking = path;
  }
  return Fail(!taking->empty() || AnyBusyInstanceAlive(instances) ? kErrorPipeBusy
                                                                  : kErrorFileNotFound);
}

}  // namespace

PipeHandle OpenPipe(const std::u16string& name, PipeClientLevel level) {
  std::string directory;
  if (!host::PipeNameDirectory(name, &directory) || !CheckClientNamespace())
    return PipeHandle();
  UniqueFd fd;
  std::string taking;
  bool opened = OpenAnInstance(directory, level, &fd, &taking);
  if (!opened && LastError() == kErrorFileNotFound) {
    // "No instance" is the answer only from a listing that no rename disturbed: the
    // directory is watched from here on, and listed again after every change.
    DirectoryWatch watch(directory);
    do {
      taking.clear();
      opened = OpenAnInstance(directory, level, &fd, &taking);
    } while (!opened && LastError() == kErrorFileNotFound && watch.watching() &&
             watch.TakeChange(0));
  }
  if (!opened && LastError() == kErrorPipeBusy && !taking.empty())
    seenTaking = {taking, std::chrono::steady_clock::now() + kTakingMs};
  if (!opened)
    return PipeHandle();
  auto pipe = std::make_unique<PipeObject>();
  pipe->fd = std::move(fd);
  pipe->connected = true;
  return PipeHandle(reinterpret_cast<NativeHandle>(pipe.release()));
}

bool GetPipeClientUserSid(const PipeHandle& instance, std::u16string* sid) {
  const PipeObject* pipe = ConnectedServer(instance);
  if (pipe == nullptr)
    return false;
  // The identity captured when the client was taken; the same SIDs as the host's tokens.
  const std::string text = pipe->peer.uid == 0
                               ? std::string("S-1-5-18")
                               : "S-1-5-21-1000-1000-1000-" + std::to_string(pipe->peer.uid);
  *sid = std::u16string(text.begin(), text.end());
  return true;
}

bool IsPipeServerTheSystemService(const PipeHandle& client, bool* isService) {
  const PipeObject* pipe = Client(client);
  if (pipe == nullptr)
    return false;
  ucred server{};
  socklen_t length = sizeof server;
  if (getsockopt(pipe->fd.get(), SOL_SOCKET, SO_PEERCRED, &server, &length) != 0)
    return Fail(kErrorInvalidHandle);
  // LocalSystem is uid 0; a host run without root is single-user, its services its own.
  *isService = server.uid == 0 || (geteuid() != 0 && server.uid == geteuid());
  return true;
}

bool GetPipeServerProcessId(const PipeHandle& client, std::uint32_t* processId) {
  const PipeObject* pipe = Client(client);
  if (pipe == nullptr)
    return false;
  ucred server{};
  socklen_t length = sizeof server;
  if (getsockopt(pipe->fd.get(), SOL_SOCKET, SO_PEERCRED, &server, &length) != 0)
    return Fail(kErrorInvalidHandle);
  *processId = static_cast<std::uint32_t>(server.pid);
  return true;
}

bool SetPipeMessageReadMode(const PipeHandle& client) {
  // Host pipes only have message mode.
  return Client(client) != nullptr;
}

bool WritePipeMessage(const PipeHandle& client, const void* data, std::uint32_t size) {
  PipeObject* pipe = Client(client);
  if (pipe == nullptr)
    return false;
  while (!SendFramed(pipe->fd.get(), kMessageMarker, data, size, 0)) {
    if (errno != EINTR)
      return Fail(errno == EMSGSIZE ? kErrorNotEnoughMemory : kErrorPipeNotConnected);
  }
  return true;
}

bool ReadPipeMessage(const PipeHandle& client, void* buffer, std::uint32_t size,
                     std::uint32_t* bytesRead) {
  *bytesRead = 0;
  PipeObject* pipe = Client(client);
  if (pipe == nullptr)
    return false;
  for (;;) {
    const Received result = ReceiveFramed(pipe->fd.get(), buffer, size, bytesRead, 0, nullptr);
    if (result == Received::kMessage)
      return true;
    if (result == Received::kFailed && errno == EINTR)
      continue;
    // The server's end closed: it disconnects at the end of every exchange (233).
    return ReceiveFailure(result, kErrorPipeNotConnected);
  }
}

}  // namespace vovu::platform
