// What the host's process emulation reads of /proc, in one place. Host-only.
//
// Every reader answers false when the process has gone or its file cannot be read; a
// process may end between any two reads, so callers treat that as "no such process".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vovu::platform::host {

// Fields of /proc/<pid>/stat.
struct ProcStat {
  char state = '?';             // R, S, D, Z, X, ...
  pid_t session = -1;           // the session id (getsid)
  std::uint64_t startTime = 0;  // clock ticks since boot
};
[[nodiscard]] bool ReadProcStat(pid_t pid, ProcStat* stat);

// Fields of /proc/<pid>/status: the kernel's short command name and the effective ids.
struct ProcStatus {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};
[[nodiscard]] bool ReadProcStatus(pid_t pid, ProcStatus* status);

// The ids of the processes listed in /proc, in directory order.
[[nodiscard]] bool ListProcessIds(std::vector<pid_t>* pids);

// The target of /proc/<pid>/exe, without the " (deleted)" the kernel appends once the file
// has been removed or replaced.
[[nodiscard]] bool ReadProcExecutable(pid_t pid, std::string* path);

// The value of variable `name` in /proc/<pid>/environ; false when it is not set there.
[[nodiscard]] bool ReadProcEnvironment(pid_t pid, const std::string& name, std::string* value);

}  // namespace vovu::platform::host
