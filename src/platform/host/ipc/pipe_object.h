// The host's pipe object behind a PipeHandle, shared by the host pipe and identity code.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

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
  int listenFd = -1;     // server: the bound, listening socket of the instance
  int fd = -1;           // the connected socket (server after a connect, or client)
  std::string path;      // server: the socket's path while listening
  std::string busyPath;  // server: where the socket lies while a client is connected
  dev_t device = 0;      // server: the bound socket file, so that only it is ever removed
  ino_t inode = 0;
  bool connected = false;
  bool disconnected = false;
  bool messageRead = false;  // a message has been read from the client
  PeerIdentity peer;
};

inline PipeObject* ObjectOf(const PipeHandle& pipe) {
  return pipe.valid() ? reinterpret_cast<PipeObject*>(pipe.get()) : nullptr;
}

}  // namespace vovu::platform::host
