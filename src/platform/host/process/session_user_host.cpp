// Sessions on the host are Linux sessions: the user of session s is the owner of its leader
// (the process s), or of any process still in the session once the leader has gone.
#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/host/process/token_object.h"
#include "platform/session_user.h"

namespace vovu::platform {
namespace {

// The session of process `pid` from /proc/<pid>/stat (field 6), or -1.
long SessionOf(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos)
    return -1;
  std::istringstream rest(text.substr(close + 2));
  std::string state;
  long ppid = 0, pgrp = 0, session = -1;
  rest >> state >> ppid >> pgrp >> session;
  return session;
}

// uid, gid and groups of process `pid` from /proc/<pid>/status.
bool IdentityOf(const std::string& pid, host::PeerIdentity* identity) {
  std::ifstream status("/proc/" + pid + "/status");
  if (!status)
    return false;
  bool haveUid = false;
  bool haveGid = false;
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream fields(line.substr(line.find(':') + 1));
    if (line.rfind("Uid:", 0) == 0) {
      unsigned long real = 0, effective = 0;
      fields >> real >> effective;
      identity->uid = static_cast<uid_t>(effective);
      haveUid = true;
    } else if (line.rfind("Gid:", 0) == 0) {
      unsigned long real = 0, effective = 0;
      fields >> real >> effective;
      identity->gid = static_cast<gid_t>(effective);
      haveGid = true;
    } else if (line.rfind("Groups:", 0) == 0) {
      unsigned long group = 0;
      while (fields >> group)
        identity->groups.push_back(static_cast<gid_t>(group));
    }
  }
  identity->pid = static_cast<pid_t>(std::atol(pid.c_str()));
  return haveUid && haveGid;
}

}  // namespace

TokenHandle QuerySessionUserToken(std::uint32_t sessionId) {
  host::PeerIdentity identity;
  const std::string leader = std::to_string(sessionId);
  bool found = sessionId != kNoSession && sessionId != 0 &&
               SessionOf(leader) == static_cast<long>(sessionId) && IdentityOf(leader, &identity);
  if (!found && sessionId != kNoSession && sessionId != 0) {
    DIR* proc = opendir("/proc");
    while (proc != nullptr && !found) {
      dirent* entry = readdir(proc);
      if (entry == nullptr)
        break;
      const std::string pid = entry->d_name;
      if (pid.find_first_not_of("0123456789") != std::string::npos)
        continue;
      found = SessionOf(pid) == static_cast<long>(sessionId) && IdentityOf(pid, &identity);
    }
    if (proc != nullptr)
      closedir(proc);
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
  host::ImpersonateIdentity(object->identity);
  return true;
}

}  // namespace vovu::platform
