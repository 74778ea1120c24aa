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
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/host/core/event_wait.h"
#include "platform/host/core/host_util.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/files/security_descriptor_impl.h"
#include "platform/host/ipc/pipe_acceptor.h"
#include "platform/host/ipc/pipe_names.h"
#include "platform/host/ipc/pipe_object.h"
#include "platform/pipe.h"

namespace vovu::platform {
namespace {

using host::PipeObject;

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
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    return false;
  const sockaddr_un address = AddressOf(path);
  const bool listening =
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
      errno == EAGAIN;
  close(fd);
  return listening;
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
    if (!IsSocketFile(path))
      continue;
    (EndsWith(name, kBusySuffix) ? found.busy : found.listening).push_back(path);
  }
  closedir(dir);
  return found;
}

// A watch on the name's directory for entries that appear, go or are renamed. Set before a
// listing, it tells whether the listing may have missed an entry: readdir may skip one that
// is renamed while it runs.
class DirectoryWatch {
 public:
  explicit DirectoryWatch(const std::string& directory)
      : fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    added_ = fd_ >= 0 && inotify_add_watch(fd_, directory.c_str(),
                                           IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM |
                                               IN_DELETE_SELF | IN_ONLYDIR) >= 0;
  }
  ~DirectoryWatch() {
    if (fd_ >= 0)
      close(fd_);
  }
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  // False when the directory could not be watched (it does not exist).
  [[nodiscard]] bool watching() const { return added_; }
  // Waits up to `timeoutMs` (poll's form) for a change; true when there was one, which is
  // then consumed.
  bool TakeChange(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
      return false;
    char events[4096];
    while (read(fd_, events, sizeof events) > 0) {
    }
    return true;
  }

 private:
  int fd_;
  bool added_ = false;
};

bool AnyBusyInstanceAlive(const Instances& instances) {
  for (const std::string& path : instances.busy) {
    if (SomeoneListensAt(path))
      return true;
  }
  return false;
}

// Removes the socket file at `path` only when it is still the one this instance bound.
void RemoveOwnSocketFile(const PipeObject& pipe, const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && st.st_dev == pipe.device && st.st_ino == pipe.inode)
    unlink(path.c_str());
}

// The ownership and mode of the instance's socket file. Connecting needs write permission,
// so the mode bits decide who can open the pipe.
bool ApplySocketSecurity(const std::string& path, const SecurityDescriptor* security) {
  const SecurityDescriptor::Impl* impl = security != nullptr ? security->impl() : nullptr;
  mode_t mode = 0770;
  if (impl != nullptr) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
      return Fail(host::Win32ErrorFromErrno(errno, path));
    gid_t group = st.st_gid;
    if (geteuid() == 0 && impl->hasAdministrators) {
      group = 0;
      if (lchown(path.c_str(), static_cast<uid_t>(-1), 0) != 0)
        return Fail(host::Win32ErrorFromErrno(errno, path));
    }
    mode = impl->ModeFor(st.st_uid, group);
  }
  if (chmod(path.c_str(), mode) != 0)
    return Fail(host::Win32ErrorFromErrno(errno, path));
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
  if (pipe->fd < 0) {
    SetLastErrorCode(kErrorPipeNotConnected);
    return nullptr;
  }
  return pipe;
}

PipeObject* Client(const PipeHandle& client) {
  PipeObject* pipe = host::ObjectOf(client);
  if (pipe == nullptr || pipe->server || pipe->fd < 0) {
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
  host::StopAccepting(pipe.get());
  if (pipe->fd >= 0)
    close(pipe->fd);
  if (pipe->listenFd >= 0) {
    RemoveOwnSocketFile(*pipe, pipe->path);
    RemoveOwnSocketFile(*pipe, pipe->busyPath);
    close(pipe->listenFd);
  }
  if (pipe->acceptedEvent >= 0)
    close(pipe->acceptedEvent);
  if (pipe->lockFd >= 0)
    host::LeavePipeName(pipe->nameDirectory, pipe->lockFd);
}

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
  int lockFd = -1;
  if (!host::PrepareNamespace() ||
      !host::JoinPipeName(directory, settings.firstInstance, &lockFd)) {
    return PipeHandle();
  }
  auto object = std::make_unique<PipeObject>();
  object->server = true;
  object->lockFd = lockFd;
  object->nameDirectory = directory;
  object->path = directory + "/" + NewInstanceName();
  object->busyPath = object->path + kBusySuffix;
  // From here on a failure closes the handle, which also removes a socket file it bound and
  // leaves the name.
  PipeObject* pipe = object.get();
  PipeHandle handle(reinterpret_cast<NativeHandle>(object.release()));
  pipe->acceptedEvent = host::AboveStdio(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  pipe->listenFd =
      host::AboveStdio(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (pipe->listenFd < 0 || pipe->acceptedEvent < 0) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return PipeHandle();
  }
  // Bound under a private name and secured and listening before it appears at its path, so
  // a client never meets the socket with the creation mode instead of the descriptor's.
  const std::string staging = pipe->path + kStagingSuffix;
  const sockaddr_un address = AddressOf(staging);
  struct stat st;
  if (bind(pipe->listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      lstat(staging.c_str(), &st) != 0) {
    SetLastErrorCode(host::Win32ErrorFromErrno(errno, staging));
    return PipeHandle();
  }
  pipe->device = st.st_dev;
  pipe->inode = st.st_ino;
  bool ready = ApplySocketSecurity(staging, security);
  if (ready && listen(pipe->listenFd, kListenBacklog) != 0)
    ready = Fail(kErrorNotEnoughMemory);
  if (ready && rename(staging.c_str(), pipe->path.c_str()) != 0)
    ready = Fail(host::Win32ErrorFromErrno(errno, pipe->path));
  if (!ready) {
    unlink(staging.c_str());
    return PipeHandle();
  }
  if (!host::StartAccepting(pipe))
    return PipeHandle();
  return handle;
}

bool ConnectPipeClient(const PipeHandle& instance, const Event& stop) {
  PipeObject* pipe = host::ObjectOf(instance);
  if (pipe == nullptr || !pipe->server)
    return Fail(kErrorInvalidHandle);
  if (pipe->connected)
    return true;  // already connected: ConnectNamedPipe's 535
  if (pipe->disconnected)
    return Fail(kErrorNoData);  // the host's instances serve one client only
  const host::Deadline noLimit(kInfiniteWait);
  while (!host::CollectAcceptedClient(pipe)) {
    if (!WaitForSocket(pipe->acceptedEvent, POLLIN, noLimit, stop))
      return false;
    std::uint64_t count = 0;
    (void)!read(pipe->acceptedEvent, &count, sizeof count);
  }
  // A client that has already closed its end is not served, as ConnectNamedPipe refuses
  // it with 232.
  pollfd p{pipe->fd, POLLRDHUP, 0};
  if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP)) != 0) {
    close(pipe->fd);
    pipe->fd = -1;
    pipe->disconnected = true;
    return Fail(kErrorNoData);
  }
  pipe->connected = true;
  return true;
}

bool ReadPipeMessageWithin(const PipeHandle& instance, void* buffer, std::uint32_t size,
                           std::uint32_t* bytesRead, std::uint32_t timeoutMs, const Event& stop) {
  *bytesRead = 0;
  PipeObject* pipe = ConnectedServer(instance);
  if (pipe == nullptr)
    return false;
  const host::Deadline deadline(timeoutMs);
  for (;;) {
    if (!WaitForSocket(pipe->fd, POLLIN, deadline, stop))
      return false;
    const Received result =
        ReceiveFramed(pipe->fd, buffer, size, bytesRead, MSG_DONTWAIT, &pipe->clientLevel);
    if (result == Received::kWouldBlock || result == Received::kLevel)
      continue;
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
    if (!WaitForSocket(pipe->fd, POLLOUT, deadline, stop))
      return false;
    if (SendFramed(pipe->fd, kMessageMarker, data, size, MSG_DONTWAIT))
      return true;
    if (errno == EAGAIN || errno == EINTR)
      continue;
    return Fail(errno == EMSGSIZE ? kErrorNotEnoughMemory : kErrorNoData);
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
    if (ioctl(pipe->fd, SIOCOUTQ, &unread) != 0 || unread == 0)
      return true;
    pollfd fds[2] = {{static_cast<int>(stop.native()), POLLIN, 0}, {pipe->fd, POLLRDHUP, 0}};
    const int remaining = deadline.RemainingPollTimeout();
    const int ready = poll(fds, 2, remaining < 0 || remaining > 1 ? 1 : remaining);
    if (ready > 0 && (fds[0].revents & POLLIN) != 0 && host::TakeEventSignal(stop))
      return Fail(kErrorOperationAborted);
    if (ready > 0 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) {
      if (ioctl(pipe->fd, SIOCOUTQ, &unread) == 0 && unread == 0)
        return true;
      return Fail(kErrorBrokenPipe);
    }
    if (deadline.Expired())
      return Fail(kErrorWaitTimeout);
  }
}

bool DisconnectPipeClient(const PipeHandle& instance) {
  PipeObject* pipe = ConnectedServer(instance);
  if (pipe == nullptr)
    return false;
  shutdown(pipe->fd, SHUT_RDWR);
  close(pipe->fd);
  pipe->fd = -1;
  pipe->connected = false;
  pipe->disconnected = true;
  return true;
}

bool WaitForPipeInstance(const std::u16string& name, std::uint32_t timeoutMs) {
  std::string directory;
  if (!host::PipeNameDirectory(name, &directory) || !CheckClientNamespace())
    return false;
  // Watch the name's directory before looking, so that no change between a look and the
  // wait is missed.
  DirectoryWatch watch(directory);
  if (!watch.valid())
    return Fail(kErrorNotEnoughMemory);
  const host::Deadline deadline(timeoutMs);
  for (;;) {
    const Instances instances = ListInstances(directory);
    if (!instances.listening.empty())
      return true;
    if (!watch.watching() || !AnyBusyInstanceAlive(instances)) {
      // Unless the listing raced with a change: then it is made again.
      if (watch.watching() && watch.TakeChange(0))
        continue;
      return Fail(kErrorFileNotFound);
    }
    if (!watch.TakeChange(deadline.RemainingPollTimeout()) && deadline.Expired())
      return Fail(kErrorSemTimeout);
  }
}

namespace {

// One attempt to open a listening instance of the pipe at `directory`: the connection, or
// -1 with the last error (5 refused, 231 every instance busy, 2 none).
int ConnectToAnInstance(const std::string& directory, PipeClientLevel level) {
  const Instances instances = ListInstances(directory);
  bool sawBusy = false;
  for (const std::string& path : instances.listening) {
    const int fd =
        host::AboveStdio(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd < 0) {
      SetLastErrorCode(kErrorNotEnoughMemory);
      return -1;
    }
    const sockaddr_un address = AddressOf(path);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      const int err = errno;
      close(fd);
      if (err == EACCES || err == EPERM) {
        SetLastErrorCode(kErrorAccessDenied);
        return -1;
      }
      // EAGAIN: another client is being taken by that instance. Otherwise the instance has
      // just gone (or was left by a process that ended).
      sawBusy = sawBusy || err == EAGAIN;
      continue;
    }
    // The client's I/O is synchronous. Its level goes first; the open completes when the
    // instance has taken the connection. An instance that closes instead leaves no pipe to
    // talk to here.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const unsigned char levelByte = level == PipeClientLevel::kIdentification ? 'I' : 'P';
    (void)SendFramed(fd, kLevelMarker, &levelByte, 1, 0);
    unsigned char marker = 0;
    ssize_t received;
    do {
      received = recv(fd, &marker, 1, 0);
    } while (received < 0 && errno == EINTR);
    if (received == 1 && marker == host::kAcceptedMarker)
      return fd;
    close(fd);
  }
  SetLastErrorCode(sawBusy || AnyBusyInstanceAlive(instances) ? kErrorPipeBusy
                                                              : kErrorFileNotFound);
  return -1;
}

}  // namespace

PipeHandle OpenPipe(const std::u16string& name, PipeClientLevel level) {
  std::string directory;
  if (!host::PipeNameDirectory(name, &directory) || !CheckClientNamespace())
    return PipeHandle();
  DirectoryWatch watch(directory);
  int fd;
  // "No instance" is the answer only from a listing that no rename disturbed.
  while ((fd = ConnectToAnInstance(directory, level)) < 0 && LastError() == kErrorFileNotFound &&
         watch.watching() && watch.TakeChange(0)) {
  }
  if (fd < 0)
    return PipeHandle();
  auto pipe = std::make_unique<PipeObject>();
  pipe->fd = fd;
  pipe->connected = true;
  return PipeHandle(reinterpret_cast<NativeHandle>(pipe.release()));
}

bool IsPipeServerTheSystemService(const PipeHandle& client, bool* isService) {
  const PipeObject* pipe = Client(client);
  if (pipe == nullptr)
    return false;
  ucred server{};
  socklen_t length = sizeof server;
  if (getsockopt(pipe->fd, SOL_SOCKET, SO_PEERCRED, &server, &length) != 0)
    return Fail(kErrorInvalidHandle);
  // LocalSystem is uid 0; a host run without root is single-user, its services its own.
  *isService = server.uid == 0 || (geteuid() != 0 && server.uid == geteuid());
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
  while (!SendFramed(pipe->fd, kMessageMarker, data, size, 0)) {
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
    const Received result = ReceiveFramed(pipe->fd, buffer, size, bytesRead, 0, nullptr);
    if (result == Received::kMessage)
      return true;
    if (result == Received::kFailed && errno == EINTR)
      continue;
    // The server's end closed: it disconnects at the end of every exchange (233).
    return ReceiveFailure(result, kErrorPipeNotConnected);
  }
}

}  // namespace vovu::platform
