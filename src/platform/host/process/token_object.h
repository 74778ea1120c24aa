// The host's token objects, shared by the identity, session and profile implementations.
#pragma once

#include "platform/host/ipc/pipe_object.h"
#include "platform/identity.h"

namespace vovu::platform::host {

// What a TokenHandle points to on the host: a Linux identity. `impersonation` tells an
// impersonation token (from a thread) from a primary one (process or session user);
// `identificationOnly` an impersonation token of a pipe client that opened the pipe at
// identification level, of which no primary token can be made (1346).
struct HostToken {
  PeerIdentity identity;
  bool impersonation = false;
  bool identificationOnly = false;
};

// The token object behind a handle; null with last error 6 for no handle.
[[nodiscard]] const HostToken* TokenObjectOf(const TokenHandle& token);

// A new token owning a copy of `identity`.
[[nodiscard]] TokenHandle MakeTokenObject(PeerIdentity identity, bool impersonation,
                                          bool identificationOnly = false);

// The calling thread acts as `identity` for file access (file-system uid and gid) until
// RevertToSelfIdentity.
void ImpersonateIdentity(const PeerIdentity& identity);

}  // namespace vovu::platform::host
