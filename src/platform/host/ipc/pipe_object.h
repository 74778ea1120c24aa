// The host's pipe object behind a PipeHandle, shared by the host pipe, acceptor, instance
// pool and identity code.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/core/unique_fd.h"
#include "platform/pipe.h"

namespace vovu::platform::host {

// Who the client of a server instance is, as captured when it connected.
struct PeerIdentity {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups
  bool hasSession = false;
  std::uint32_t session = 0;  // getsid(pid)
};

struct PipeObject {
  bool server = false;
  // Server: the bound, listening socket of the instance, its name in the pipe's directory
  // while it listens and while a client is connected, and the socket file's identity, so
  // that only that file is ever renamed or removed.
  UniqueFd listenFd;
  std::string path;
  std::string busyPath;
  dev_t device = 0;
  ino_t inode = 0;
  // Server: the pipe name's directory and lock file, read-locked while this instance lives
  // (the name exists while some instance holds it).
  std::string nameDirectory;
  UniqueFd lockFd;
  bool counted = false;  // counted as open in this process (pipe_pool.h)
  uid_t joinedAs = 0;    // the effective user that joined the name
  // Server: the instance's key with the acceptor (pipe_acceptor.h); 0 when not watched.
  std::uint64_t acceptorId = 0;
  // The connected socket (server after a connect, or client).
  UniqueFd fd;
  // Server: a client was taken and the socket file moved to its busy name for it.
  bool atBusyName = false;
  bool connected = false;
  bool disconnected = false;
  bool messageRead = false;  // a message has been read from the client
  // The level the client asked for; it arrives ahead of the client's first message.
  PipeClientLevel clientLevel = PipeClientLevel::kImpersonation;
  PeerIdentity peer;
};

inline PipeObject* ObjectOf(const PipeHandle& pipe) {
  return pipe.valid() ? reinterpret_cast<PipeObject*>(pipe.get()) : nullptr;
}

}  // namespace vovu::platform::host
