// Memberships in pipe names that this process keeps for reuse. A Windows pipe instance is
// a kernel object that costs little to make; a host instance first joins its name, in turn
// with the name's other creators, through the name's lock file (pipe_names.h). So when a
// server closes an instance that has served a client while another instance of the same
// name stays open in this process, its socket goes for good but its place in the name is
// kept, and the next instance of that name this process makes takes it instead of joining
// again. Nothing is kept once the process's last open instance of a name closes: the name
// ends then, as on Windows.
#pragma once

#include <memory>
#include <string>

#include "platform/host/ipc/pipe_object.h"

namespace vovu::platform::host {

// Counts `pipe`, a server instance that has joined its name, as open in this process.
void CountInstance(PipeObject& pipe);

// A kept server instance of the name at `directory`, counted as open, without a socket:
// null when there is none.
[[nodiscard]] std::unique_ptr<PipeObject> ReuseInstance(const std::string& directory);

// The close of the server instance `pipe`: its client dropped and its socket file removed,
// and its place in the name kept for reuse or left.
void RetireInstance(std::unique_ptr<PipeObject> pipe);

}  // namespace vovu::platform::host
