// Sessions on the host are Linux sessions: the user of session s is the owner of its leader
// (the process s), or of any process still in the session once the leader has gone.
#include <sys/types.h>

#include <vector>

#include "platform/host/process/proc_files.h"
#include "platform/host/process/token_object.h"
#include "platform/session_user.h"

namespace vovu::platform {
namespace {

// The identity of process `pid` when it is in session `sessionId`.
bool IdentityInSession(pid_t pid, std::uint32_t sessionId, host::PeerIdentity* identity) {
  host::ProcStat stat;
  host::ProcStatus status;
  if (!host::ReadProcStat(pid, &stat) || stat.session != static_cast<pid_t>(sessionId) ||
      !host::ReadProcStatus(pid, &status)) {
    return false;
  }
  identity->uid = status.uid;
  identity->gid = status.gid;
  identity->groups = status.groups;
  identity->pid = pid;
  return true;
}

}  // namespace

TokenHandle QuerySessionUserToken(std::uint32_t sessionId) {
  host::PeerIdentity identity;
  const bool real = sessionId != kNoSession && sessionId != 0;
  bool found = real && IdentityInSession(static_cast<pid_t>(sessionId), sessionId, &identity);
  std::vector<pid_t> pids;
  if (!found && real && host::ListProcessIds(&pids)) {
    for (std::size_t i = 0; i < pids.size() && !found; ++i)
      found = IdentityInSession(pids[i], sessionId, &identity);
  }
  if (!found) {
    SetLastErrorCode(kErrorNoToken);
    return TokenHandle();
  }
  identity.hasSession = true;
  identity.session = sessionId;
  return host::MakeTokenObject(std::move(identity), /*impersonation=*/false);
}

std::uint32_t ActiveConsoleSessionId() {
  // The emulated machine has no physical console.
  return kNoSession;
}

bool ImpersonateLoggedOnUserToken(const TokenHandle& token) {
  const host::HostToken* object = host::TokenObjectOf(token);
  if (object == nullptr)
    return false;
  // Windows lets the thread take an identification-level token, and every access made with
  // it then fails with 1346; here the impersonation itself is refused with that code.
  if (object->identificationOnly) {
    SetLastErrorCode(1346);  // ERROR_BAD_IMPERSONATION_LEVEL
    return false;
  }
  host::ImpersonateIdentity(object->identity);
  return true;
}

}  // namespace vovu::platform
