// Tokens on the host: Linux identities named with Windows SIDs (the rules are in
// platform/identity.h).
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/host/ipc/pipe_object.h"
#include "platform/host/process/token_object.h"
#include "platform/identity.h"
#include "platform/impersonation.h"

namespace vovu::platform {
namespace {

// What QueryTokenUser writes: enough to name the user.
struct HostTokenUser {
  std::uint32_t marker;
  std::uint32_t uid;
};
constexpr std::uint32_t kTokenUserMarker = 0x54555352;  // "TUSR"

// The identity the calling thread impersonates, if any, and whether only at identification
// level.
thread_local std::optional<host::PeerIdentity> impersonated;
thread_local bool impersonatedForIdentificationOnly = false;

using host::HostToken;

const HostToken* TokenOf(const TokenHandle& token) {
  return host::TokenObjectOf(token);
}
TokenHandle MakeToken(host::PeerIdentity identity, bool impersonation) {
  return host::MakeTokenObject(std::move(identity), impersonation, false);
}

}  // namespace

namespace host {

const HostToken* TokenObjectOf(const TokenHandle& token) {
  if (!token.valid()) {
    SetLastErrorCode(kErrorInvalidHandle);
    return nullptr;
  }
  return reinterpret_cast<const HostToken*>(token.get());
}

TokenHandle MakeTokenObject(PeerIdentity identity, bool impersonation, bool identificationOnly) {
  auto token = std::make_unique<HostToken>();
  token->identity = std::move(identity);
  token->impersonation = impersonation;
  token->identificationOnly = identificationOnly;
  return TokenHandle(reinterpret_cast<NativeHandle>(token.release()));
}

void ImpersonateIdentity(const PeerIdentity& identity) {
  impersonated = identity;
  // File-system rights of this thread only; a process without root keeps its own. The raw
  // system call sets the groups of this thread alone (the C library's setgroups changes every
  // thread of the process), so root's groups never lend the user their access.
  if (geteuid() == 0)
    (void)syscall(SYS_setgroups, identity.groups.size(), identity.groups.data());
  setfsgid(identity.gid);
  setfsuid(identity.uid);
}

}  // namespace host

void TokenHandleTraits::Close(Type h) {
  delete reinterpret_cast<host::HostToken*>(h);
}

bool ImpersonatePipeClient(const PipeHandle& instance) {
  if (FaultDue(FaultPoint::kImpersonatePipeClient, u""))
    return false;
  const host::PipeObject* pipe = host::ObjectOf(instance);
  if (pipe == nullptr || !pipe->server) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  if (!pipe->connected) {
    SetLastErrorCode(kErrorPipeNotConnected);
    return false;
  }
  if (!pipe->messageRead) {
    SetLastErrorCode(kErrorCannotImpersonate);
    return false;
  }
  host::ImpersonateIdentity(pipe->peer);
  impersonatedForIdentificationOnly = pipe->clientLevel == PipeClientLevel::kIdentification;
  return true;
}

bool RevertToSelfIdentity() {
  if (FaultDue(FaultPoint::kRevertToSelf, u""))
    return false;
  if (impersonated) {
    setfsuid(geteuid());
    setfsgid(getegid());
    if (geteuid() == 0) {
      std::vector<gid_t> groups(static_cast<std::size_t>(std::max(0, getgroups(0, nullptr))));
      groups.resize(static_cast<std::size_t>(
          std::max(0, getgroups(static_cast<int>(groups.size()), groups.data()))));
      if (syscall(SYS_setgroups, groups.size(), groups.data()) != 0) {
        SetLastErrorCode(kErrorAccessDenied);
        return false;
      }
    }
    // setfsuid answers the previous value: asking again with -1 tells whether it took.
    if (setfsuid(static_cast<uid_t>(-1)) != static_cast<int>(geteuid()) ||
        setfsgid(static_cast<gid_t>(-1)) != static_cast<int>(getegid())) {
      SetLastErrorCode(kErrorAccessDenied);
      return false;
    }
    impersonated.reset();
    impersonatedForIdentificationOnly = false;
  }
  return true;
}

[[noreturn]] void EndProcessNow(std::uint32_t exitCode) {
  _exit(static_cast<int>(exitCode & 0xFF));
}

TokenHandle OpenCurrentThreadToken() {
  if (FaultDue(FaultPoint::kOpenThreadToken, u""))
    return TokenHandle();
  if (!impersonated) {
    SetLastErrorCode(kErrorNoToken);
    return TokenHandle();
  }
  return host::MakeTokenObject(*impersonated, true, impersonatedForIdentificationOnly);
}

TokenHandle OpenCurrentProcessToken() {
  if (FaultDue(FaultPoint::kOpenProcessToken, u""))
    return TokenHandle();
  host::PeerIdentity self;
  self.pid = getpid();
  self.uid = geteuid();
  self.gid = getegid();
  const int count = getgroups(0, nullptr);
  if (count > 0) {
    self.groups.resize(static_cast<std::size_t>(count));
    self.groups.resize(static_cast<std::size_t>(std::max(0, getgroups(count, self.groups.data()))));
  }
  const pid_t session = getsid(0);
  self.hasSession = session >= 0;
  self.session = self.hasSession ? static_cast<std::uint32_t>(session) : 0;
  return MakeToken(std::move(self), false);
}

bool QueryTokenUser(const TokenHandle& token, void* buffer, std::uint32_t size,
                    std::uint32_t* needed) {
  if (FaultDue(FaultPoint::kQueryTokenInformation, u""))
    return false;
  const HostToken* host = TokenOf(token);
  if (host == nullptr)
    return false;
  *needed = sizeof(HostTokenUser);
  if (buffer == nullptr || size < sizeof(HostTokenUser)) {
    SetLastErrorCode(kErrorInsufficientBuffer);
    return false;
  }
  const HostTokenUser user{kTokenUserMarker, static_cast<std::uint32_t>(host->identity.uid)};
  std::memcpy(buffer, &user, sizeof user);
  return true;
}

bool ConvertTokenUserToSidString(const void* tokenUser, std::u16string* sid) {
  HostTokenUser user{};
  if (tokenUser != nullptr)
    std::memcpy(&user, tokenUser, sizeof user);
  if (user.marker != kTokenUserMarker) {
    SetLastErrorCode(1337);  // ERROR_INVALID_SID
    return false;
  }
  if (user.uid == 0) {
    *sid = kLocalSystemSid;
    return true;
  }
  const std::string text = "S-1-5-21-1000-1000-1000-" + std::to_string(user.uid);
  *sid = std::u16string(text.begin(), text.end());
  return true;
}

bool GetTokenSessionId(const TokenHandle& token, std::uint32_t* sessionId) {
  if (FaultDue(FaultPoint::kQueryTokenInformation, u""))
    return false;
  const HostToken* host = TokenOf(token);
  if (host == nullptr)
    return false;
  if (!host->identity.hasSession) {
    // The client had gone before its session could be read.
    SetLastErrorCode(kErrorInvalidParameter);
    return false;
  }
  *sessionId = host->identity.session;
  return true;
}

bool CheckAdministratorsMembership(const TokenHandle& token, bool* member) {
  if (FaultDue(FaultPoint::kCheckTokenMembership, u""))
    return false;
  const HostToken* host = TokenOf(token);
  if (host == nullptr)
    return false;
  if (!host->impersonation) {
    SetLastErrorCode(kErrorNoImpersonationToken);
    return false;
  }
  const host::PeerIdentity& id = host->identity;
  bool rootGroup = id.gid == 0;
  for (gid_t group : id.groups)
    rootGroup = rootGroup || group == 0;
  *member = id.uid == 0 || rootGroup;
  return true;
}

}  // namespace vovu::platform
