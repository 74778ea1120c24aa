// Takes clients for the host's listening pipe instances in the background. On Windows a
// client's open of a listening instance completes at once, whatever the server's thread is
// doing, and the instance is busy from then on; one thread per process does the same here:
// when a client connects it renames the instance's socket to its busy name, accepts the
// client, captures its identity, completes the client's open and sets the instance's
// accepted event. ConnectPipeClient collects the client later, or at once when it came
// first (ConnectNamedPipe's 535).
#pragma once

#include "platform/host/ipc/pipe_object.h"

namespace vovu::platform::host {

// Starts watching the listening socket of `pipe`. False with the last error set.
[[nodiscard]] bool StartAccepting(PipeObject* pipe);

// Stops watching `pipe`; once this returns the acceptor no longer touches it. Harmless for
// an instance that is not watched (any more).
void StopAccepting(PipeObject* pipe);

// Moves a client the acceptor has taken into `pipe->fd` and `pipe->peer`; false when none
// has been taken yet.
[[nodiscard]] bool CollectAcceptedClient(PipeObject* pipe);

// Captures the identity of the process at the other end of the connected socket `fd`.
void CapturePeer(int fd, PeerIdentity* peer);

// The server's first packet on a connection: the client has been taken by an instance.
inline constexpr unsigned char kAcceptedMarker = 'A';

}  // namespace vovu::platform::host
