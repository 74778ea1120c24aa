// Named pipes on the host: SOCK_SEQPACKET Unix sockets in the machine root's pipes
// directory (layout and limits in platform/pipe.h).
//
// Every message travels as one packet: a marker byte followed by the message's bytes. An
// empty message is then a one-byte packet and never looks like the end of the connection
// (a zero-byte receive), and a receive of `size + 1` bytes tells by MSG_TRUNC whether the
// message was longer than the caller's buffer.
//
// The states of a server instance and what clients see of them:
//   listening  socket at <path>, listen queue empty: WaitForPipeInstance succeeds and
//              OpenPipe connects.
//   busy       a client waits in the queue (room for one: later clients find it full and
//              get 231), then the socket is renamed to <path>.busy before the client is
//              accepted; WaitForPipeInstance waits for a new <path>, OpenPipe fails with 231.
//              The accepted client gets an "accepted" packet, which completes its OpenPipe.
//   closed     both names gone (or left by a crashed server: a socket that nobody listens
//              on any more counts as no pipe).
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>

#include "platform/fault_injection.h"
#include "platform/host/core/event_wait.h"
#include "platform/host/core/host_util.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/files/security_descriptor_impl.h"
#include "platform/host/ipc/pipe_object.h"
#include "platform/pipe.h"
#include "platform/text_codec.h"

namespace vovu::platform {
namespace {

using host::PipeObject;

constexpr unsigned char kMessageMarker = 'M';
// The server's first packet: the client has been taken by the instance.
constexpr unsigned char kAcceptedMarker = 'A';
constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\";
// One waiting client at most: while it waits, further clients find the queue full (busy).
constexpr int kListenBacklog = 0;

bool Fail(Win32Error code) {
  SetLastErrorCode(code);
  return false;
}

char16_t LowerAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? c + 32 : c;
}

std::string PipesDirectory() {
  return host::MachineRoot() + "/pipes";
}

// The socket path of the pipe `name`; false with 123 for a name that is not a pipe name,
// 206 when the path would not fit a socket address.
bool SocketPathOf(const std::u16string& name, std::string* path) {
  const std::u16string prefix = kPipePrefix;
  if (name.size() <= prefix.size())
    return Fail(kErrorInvalidName);
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(name[i]) != prefix[i])
      return Fail(kErrorInvalidName);
  }
  std::u16string rest = name.substr(prefix.size());
  for (char16_t& c : rest)
    c = LowerAscii(c);
  const std::string utf8 = WideToMultiByteUtf8(rest);
  std::string escaped;
  for (unsigned char c : utf8) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_') {
      escaped.push_back(static_cast<char>(c));
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      escaped += '%';
      escaped += kHex[c >> 4];
      escaped += kHex[c & 15];
    }
  }
  if (escaped.empty() || escaped == "." || escaped == "..")
    return Fail(kErrorInvalidName);
  *path = PipesDirectory() + "/" + escaped;
  if (path->size() + sizeof(".busy") > sizeof(sockaddr_un{}.sun_path))
    return Fail(kErrorFilenameExcedRange);
  return true;
}

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

// The server's side of the directory rule: create it if need be; refuse one that is not a
// plain directory owned by this user, and close one that others could write to.
bool PrepareServerDirectory() {
  const std::string directory = PipesDirectory();
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
    return Fail(host::Win32ErrorFromErrno(errno, directory));
  struct stat st;
  if (lstat(directory.c_str(), &st) != 0)
    return Fail(host::Win32ErrorFromErrno(errno, directory));
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid())
    return Fail(kErrorAccessDenied);
  if ((st.st_mode & 07777) != 0755 && chmod(directory.c_str(), 0755) != 0)
    return Fail(kErrorAccessDenied);
  return true;
}

// The client's side: the directory must exist (else there is no pipe) and belong to root
// or to this user; a directory of anybody else could hold an impostor's socket.
bool CheckClientDirectory() {
  struct stat st;
  if (lstat(PipesDirectory().c_str(), &st) != 0)
    return Fail(kErrorFileNotFound);
  if (!S_ISDIR(st.st_mode) || (st.st_uid != 0 && st.st_uid != geteuid()))
    return Fail(kErrorAccessDenied);
  return true;
}

bool IsSocketFile(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// True when a server still listens at `path`. The probe joins the listen queue of that
// instance; a busy instance never accepts again, so it does no harm there.
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

// Renames the socket file at `from` only when it is still the one this instance bound.
bool RenameOwnSocketFile(const PipeObject& pipe, const std::string& from, const std::string& to) {
  struct stat st;
  return lstat(from.c_str(), &st) == 0 && st.st_dev == pipe.device && st.st_ino == pipe.inode &&
         rename(from.c_str(), to.c_str()) == 0;
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
    mode = impl->mode & 0777;
    if (geteuid() == 0 && lchown(path.c_str(), impl->ownerIsSystem ? 0 : static_cast<uid_t>(-1),
                                 impl->groupIsAdministrators ? 0 : static_cast<gid_t>(-1)) != 0) {
      return Fail(host::Win32ErrorFromErrno(errno, path));
    }
  }
  if (chmod(path.c_str(), mode) != 0)
    return Fail(host::Win32ErrorFromErrno(errno, path));
  return true;
}

void CapturePeer(int fd, host::PeerIdentity* peer) {
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
bool SendFramed(int fd, const void* data, std::uint32_t size, int flags) {
  unsigned char marker = kMessageMarker;
  iovec parts[2] = {{&marker, 1}, {const_cast<void*>(data), size}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = size == 0 ? 1 : 2;
  return sendmsg(fd, &message, flags | MSG_NOSIGNAL) >= 0;
}

enum class Received { kMessage, kTruncated, kEnd, kWouldBlock, kFailed };

Received ReceiveFramed(int fd, void* buffer, std::uint32_t size, std::uint32_t* bytes, int flags) {
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

}  // namespace

void PipeHandleTraits::Close(Type h) {
  std::unique_ptr<PipeObject> pipe(reinterpret_cast<PipeObject*>(h));
  if (pipe->fd >= 0)
    close(pipe->fd);
  if (pipe->listenFd >= 0) {
    RemoveOwnSocketFile(*pipe, pipe->path);
    RemoveOwnSocketFile(*pipe, pipe->busyPath);
    close(pipe->listenFd);
  }
}

PipeHandle CreatePipeInstance(const std::u16string& name, const PipeInstanceSettings& settings,
                              const SecurityDescriptor* security) {
  if (FaultDue(FaultPoint::kCreatePipeInstance, name))
    return PipeHandle();
  std::string path;
  if (!SocketPathOf(name, &path) || !PrepareServerDirectory())
    return PipeHandle();
  if (settings.maxInstances == 0 || settings.maxInstances > kPipeUnlimitedInstances) {
    SetLastErrorCode(kErrorInvalidParameter);
    return PipeHandle();
  }
  auto object = std::make_unique<PipeObject>();
  object->server = true;
  object->path = path;
  object->busyPath = path + ".busy";
  object->listenFd =
      host::AboveStdio(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (object->listenFd < 0) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return PipeHandle();
  }
  // From here on a failure closes the handle, which also removes a socket file it bound.
  PipeObject* pipe = object.get();
  PipeHandle handle(reinterpret_cast<NativeHandle>(object.release()));
  // A socket file left at the path belongs to an instance that is gone (one instance per
  // name); binding needs the name free.
  unlink(path.c_str());
  // Bound under a private name and secured and listening before it appears at the path, so a
  // client never meets the socket with the creation mode instead of the descriptor's.
  const std::string staging = path + ".new";
  unlink(staging.c_str());
  const sockaddr_un address = AddressOf(staging);
  struct stat st;
  if (bind(pipe->listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      lstat(staging.c_str(), &st) != 0) {
    SetLastErrorCode(host::Win32ErrorFromErrno(errno, path));
    return PipeHandle();
  }
  pipe->device = st.st_dev;
  pipe->inode = st.st_ino;
  bool ready = ApplySocketSecurity(staging, security);
  if (ready && listen(pipe->listenFd, kListenBacklog) != 0)
    ready = Fail(kErrorNotEnoughMemory);
  if (ready && rename(staging.c_str(), path.c_str()) != 0)
    ready = Fail(host::Win32ErrorFromErrno(errno, path));
  if (!ready) {
    unlink(staging.c_str());
    return PipeHandle();
  }
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
  for (;;) {
    if (!WaitForSocket(pipe->listenFd, POLLIN, noLimit, stop))
      return false;
    // A client waits in the listen queue, which has room for one: the instance is busy
    // from this moment. Move its name aside before taking the client, so that no other
    // client can queue up behind it in between.
    const bool renamed = RenameOwnSocketFile(*pipe, pipe->path, pipe->busyPath);
    const int fd =
        host::AboveStdio(accept4(pipe->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (fd >= 0) {
      pipe->fd = fd;
      break;
    }
    if (renamed)
      RenameOwnSocketFile(*pipe, pipe->busyPath, pipe->path);
    if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
      return Fail(kErrorBrokenPipe);
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
  CapturePeer(pipe->fd, &pipe->peer);
  send(pipe->fd, &kAcceptedMarker, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
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
    const Received result = ReceiveFramed(pipe->fd, buffer, size, bytesRead, MSG_DONTWAIT);
    if (result == Received::kWouldBlock)
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
    if (SendFramed(pipe->fd, data, size, MSG_DONTWAIT))
      return true;
    if (errno == EAGAIN || errno == EINTR)
      continue;
    return Fail(errno == EMSGSIZE ? kErrorNotEnoughMemory : kErrorNoData);
  }
}

bool FlushPipe(const PipeHandle& instance) {
  PipeObject* pipe = ConnectedServer(instance);
  if (pipe == nullptr)
    return false;
  // What the client has not read yet is still charged to this socket's send memory; the
  // client's reads (or its going away) release it. Nothing signals that, so look every
  // millisecond.
  for (;;) {
    int unread = 0;
    if (ioctl(pipe->fd, SIOCOUTQ, &unread) != 0 || unread == 0)
      return true;
    pollfd p{pipe->fd, POLLRDHUP, 0};
    if (poll(&p, 1, 1) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0)
      return Fail(kErrorBrokenPipe);
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
  std::string path;
  if (!SocketPathOf(name, &path) || !CheckClientDirectory())
    return false;
  const std::string busyPath = path + ".busy";
  // Watch the directory before looking, so that no change between a look and the wait is
  // missed.
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch < 0)
    return Fail(kErrorNotEnoughMemory);
  const int added = inotify_add_watch(watch, PipesDirectory().c_str(),
                                      IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM);
  const host::Deadline deadline(timeoutMs);
  bool result = false;
  for (;;) {
    if (IsSocketFile(path)) {
      result = true;
      break;
    }
    if (added < 0 || !SomeoneListensAt(busyPath)) {
      SetLastErrorCode(kErrorFileNotFound);
      break;
    }
    pollfd p{watch, POLLIN, 0};
    const int ready = poll(&p, 1, deadline.RemainingPollTimeout());
    if (ready > 0) {
      char events[4096];
      while (read(watch, events, sizeof events) > 0) {
      }
    } else if (deadline.Expired()) {
      SetLastErrorCode(kErrorSemTimeout);
      break;
    }
  }
  close(watch);
  return result;
}

PipeHandle OpenPipe(const std::u16string& name) {
  std::string path;
  if (!SocketPathOf(name, &path) || !CheckClientDirectory())
    return PipeHandle();
  const int fd =
      host::AboveStdio(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd < 0) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return PipeHandle();
  }
  const sockaddr_un address = AddressOf(path);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int err = errno;
    close(fd);
    if (err == EACCES || err == EPERM) {
      SetLastErrorCode(kErrorAccessDenied);
    } else if (err == EAGAIN || SomeoneListensAt(path + ".busy")) {
      SetLastErrorCode(kErrorPipeBusy);
    } else {
      SetLastErrorCode(kErrorFileNotFound);
    }
    return PipeHandle();
  }
  // The client's I/O is synchronous. The open completes when the instance has taken the
  // connection, so that the pipe is busy for everybody else once OpenPipe returns; an
  // instance that closes instead leaves no pipe to talk to.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  unsigned char marker = 0;
  ssize_t received;
  do {
    received = recv(fd, &marker, 1, 0);
  } while (received < 0 && errno == EINTR);
  if (received != 1 || marker != kAcceptedMarker) {
    close(fd);
    SetLastErrorCode(kErrorFileNotFound);
    return PipeHandle();
  }
  auto pipe = std::make_unique<PipeObject>();
  pipe->fd = fd;
  pipe->connected = true;
  return PipeHandle(reinterpret_cast<NativeHandle>(pipe.release()));
}

bool SetPipeMessageReadMode(const PipeHandle& client) {
  // Host pipes only have message mode.
  return Client(client) != nullptr;
}

bool WritePipeMessage(const PipeHandle& client, const void* data, std::uint32_t size) {
  PipeObject* pipe = Client(client);
  if (pipe == nullptr)
    return false;
  while (!SendFramed(pipe->fd, data, size, 0)) {
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
    const Received result = ReceiveFramed(pipe->fd, buffer, size, bytesRead, 0);
    if (result == Received::kMessage)
      return true;
    if (result == Received::kFailed && errno == EINTR)
      continue;
    // The server's end closed: it disconnects at the end of every exchange (233).
    return ReceiveFailure(result, kErrorPipeNotConnected);
  }
}

}  // namespace vovu::platform
