// Takes clients for the host's listening pipe instances. On Windows a client's open of a
// listening instance completes at once, whatever the server's thread is doing, and the
// instance is busy from then on. Here the client's open completes when the instance has
// taken its connection: it renames the instance's socket to its busy name, accepts the
// client, captures its identity and sends the accepted marker. A thread that waits for a
// client in ConnectPipeClient takes it itself, the moment it connects; for an instance
// nobody waits on, one background thread per process does the same, and ConnectPipeClient
// collects the client later (ConnectNamedPipe's 535: the client came first).
#pragma once

#include "platform/host/ipc/pipe_object.h"
#include "platform/sync.h"

namespace vovu::platform::host {

// Starts watching the listening socket of `pipe` in the background. False with the last
// error set.
[[nodiscard]] bool StartAccepting(PipeObject* pipe);

// Stops watching `pipe` and drops a client taken for it and not collected; once this
// returns the background thread no longer touches it. Harmless for an instance that is not
// watched (any more).
void StopAccepting(PipeObject* pipe);

// Waits, without a time limit, for the client of `pipe` and moves it into `pipe->fd` and
// `pipe->peer`: one the background thread took already, or the next that connects, taken
// by this thread. False with 995 when `stop` ended the wait (the instance is then watched
// in the background again), or with another code when waiting failed.
[[nodiscard]] bool AwaitClient(PipeObject* pipe, const Event& stop);

// Captures the identity of the process at the other end of the connected socket `fd`.
void CapturePeer(int fd, PeerIdentity* peer);

// The server's first packet on a connection: the client has been taken by an instance.
inline constexpr unsigned char kAcceptedMarker = 'A';

}  // namespace vovu::platform::host
