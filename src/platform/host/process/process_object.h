// The host's process handle object: a pidfd, so a handle keeps naming the process it was
// opened for even when the id is reused after the process has gone. Host-only.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/process.h"

namespace vovu::platform::host {

struct HostProcess {
  pid_t pid = 0;
  int pidfd = -1;
  std::uint32_t access = 0;
  // A child started by StartProgram: this process reaps it and knows its exit code.
  bool ownChild = false;
  bool reaped = false;
  std::uint32_t exitCode = kStillActive;
  bool terminated = false;  // TerminateProcessWithCode was asked, with exitCode kept below
  std::uint32_t terminateCode = 0;
};

// The object behind a valid handle; null with 6 for an invalid one.
[[nodiscard]] HostProcess* ProcessObjectOf(const ProcessHandle& process);

// The pidfd calls by number: glibc 2.36 declares its wrappers without C linkage.
[[nodiscard]] int OpenPidfd(pid_t pid);
[[nodiscard]] int SignalPidfd(int pidfd, int signo);

// For an own child that has ended: reaps it (once) and records its exit code. False while it
// still runs, or when it is not the caller's child.
bool ReapOwnChild(HostProcess* process);

}  // namespace vovu::platform::host
