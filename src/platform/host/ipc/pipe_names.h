// The host's pipe namespace: <root>/pipes, one directory per pipe name holding that name's
// instances (layout and rules in platform/pipe.h). Host-only; used by pipe_host.cpp.
#pragma once

#include <string>

#include "platform/error.h"
#include "platform/host/core/unique_fd.h"

namespace vovu::platform::host {

// The namespace directory, <root>/pipes.
[[nodiscard]] std::string PipeNamespaceDirectory();

// The directory of the pipe `name` ("\\.\pipe\..."). False with 123 for a name that is not
// a pipe name, 206 when an instance's socket path would not fit a socket address.
[[nodiscard]] bool PipeNameDirectory(const std::u16string& name, std::string* directory);

// Makes the namespace directory if it is missing: root's, world-writable and sticky when
// run as root (any user may create a name, nobody may remove another's), else the user's
// own (single-user mode). False with 5 when it is not a directory of root or of this user.
[[nodiscard]] bool PrepareNamespace();

// Joins the name at `directory` as a new instance's creator: creates the name when it does
// not exist (or no instance of it is open any more), or adds to it when this user owns it or
// the name grants everybody further instances. A name carries the grant of the instance that
// created it (`grantInstances`: its descriptor grants everybody FILE_APPEND_DATA, the right
// to create instances of a pipe), as a Windows pipe checks FILE_CREATE_PIPE_INSTANCE against
// the DACL of the pipe that exists; root is no exception either way. On success `*lockFd`
// is the name's lock file, read-locked for the new instance until it is closed. False with 5
// when `first` and an instance exists, or when the name is alive, belongs to another user
// and grants nothing.
[[nodiscard]] bool JoinPipeName(const std::string& directory, bool first, bool grantInstances,
                                UniqueFd* lockFd);

// Leaves the name at `directory` as an instance whose lock file is `lockFd`.
// The last instance to leave removes the name, as the last handle's close ends a Windows
// pipe's name: then anybody may create it anew.
void LeavePipeName(const std::string& directory, UniqueFd lockFd);

// Whether an instance of the name at `directory` is open in some process (its lock file is
// read-locked). Only the name's owner, root, and those the name grants instances can tell;
// others get false.
[[nodiscard]] bool PipeNameAlive(const std::string& directory);

}  // namespace vovu::platform::host
