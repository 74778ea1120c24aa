// Starting programs on the host: primary tokens, users' environment blocks, and the start of
// a program as a token's user or as the caller (the rules are in platform/process.h).
//
// A program is started by forking twice, so it is never the caller's child and nothing has
// to wait for it. The grandchild switches user and directory and execs; whether that worked
// comes back through a close-on-exec pipe (end of file: it did; a stage and an errno value:
// it did not). Between fork and exec only async-signal-safe calls are made; everything else
// (paths, argument and environment arrays) is prepared before the first fork.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/host/core/host_util.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/core/unique_fd.h"
#include "platform/host/process/token_object.h"
#include "platform/host/scm/service_launch.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/text_codec.h"

extern char** environ;

namespace vovu::platform {
namespace {

std::u16string Wide(const std::string& text) {
  return MultiByteUtf8ToWide(text.data(), text.size());
}

// What the grandchild reports when it could not run the program.
struct LaunchFailure {
  int stage;  // kStageIdentity or kStageExec
  int err;
};
constexpr int kStageIdentity = 1;
constexpr int kStageExec = 2;

struct LaunchPlan {
  std::string program;
  std::vector<std::string> arguments;
  std::vector<std::string> environment;
  std::string directory;  // empty: the caller's
  bool newSession = false;
  bool switchUser = false;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

[[noreturn]] void Fail(int fd, int stage) {
  const LaunchFailure failure{stage, errno};
  host::WriteAll(fd, &failure, sizeof failure);
  _exit(127);
}

// The program's side, in the grandchild.
[[noreturn]] void RunProgram(const LaunchPlan& plan, int failureFd, char* const* argv,
                             char* const* envp) {
  // Nothing of the caller's process reaches the program.
  host::PrepareChildForExec();
  if (plan.switchUser) {
    if (setgroups(plan.groups.size(), plan.groups.data()) != 0 || setgid(plan.gid) != 0 ||
        setuid(plan.uid) != 0) {
      Fail(failureFd, kStageIdentity);
    }
  }
  if (!plan.directory.empty() && chdir(plan.directory.c_str()) != 0)
    Fail(failureFd, kStageExec);
  execve(plan.program.c_str(), argv, envp);
  Fail(failureFd, kStageExec);
}

bool Launch(LaunchPlan plan, std::uint32_t* processId) {
  std::vector<char*> argv = host::ExecPointers(plan.arguments);
  std::vector<char*> envp = host::ExecPointers(plan.environment);
  int pidEnds[2];
  int failureEnds[2];
  if (pipe2(pidEnds, O_CLOEXEC) != 0) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return false;
  }
  const host::UniqueFd pidRead(pidEnds[0]);
  host::UniqueFd pidWrite(pidEnds[1]);
  if (pipe2(failureEnds, O_CLOEXEC) != 0) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return false;
  }
  const host::UniqueFd failureRead(failureEnds[0]);
  host::UniqueFd failureWrite(failureEnds[1]);
  const pid_t child = fork();
  if (child == 0) {
    if (plan.newSession)
      setsid();
    const pid_t grandchild = fork();
    if (grandchild == 0)
      RunProgram(plan, failureWrite.get(), argv.data(), envp.data());
    host::WriteAll(pidWrite.get(), &grandchild, sizeof grandchild);
    _exit(0);
  }
  // Only the children write; the reads below end when they have gone.
  pidWrite.reset();
  failureWrite.reset();
  pid_t started = -1;
  bool ok = child > 0;
  if (ok) {
    ok = host::ReadAll(pidRead.get(), &started, sizeof started) && started > 0;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (!ok) {
    SetLastErrorCode(kErrorNotEnoughMemory);
  } else {
    LaunchFailure failure{};
    if (host::ReadAll(failureRead.get(), &failure, sizeof failure)) {
      ok = false;
      if (failure.stage == kStageIdentity) {
        SetLastErrorCode(kErrorPrivilegeNotHeld);
      } else if (failure.err == ENOEXEC) {
        SetLastErrorCode(kErrorBadExeFormat);
      } else {
        SetLastErrorCode(host::Win32ErrorFromErrno(failure.err, plan.program));
      }
    }
  }
  if (ok && processId != nullptr)
    *processId = static_cast<std::uint32_t>(started);
  return ok;
}

// The program, its arguments and directory of `start`, in host form.
bool PlanProgram(const ProcessStart& start, LaunchPlan* plan) {
  const std::vector<std::u16string> words = host::SplitCommandLine(start.commandLine);
  const std::u16string program =
      start.applicationName.empty() ? (words.empty() ? u"" : words[0]) : start.applicationName;
  if (program.empty()) {
    SetLastErrorCode(kErrorFileNotFound);
    return false;
  }
  if (!host::ToHostPath(program, &plan->program))
    return false;
  plan->arguments.push_back(plan->program);
  for (std::size_t i = 1; i < words.size(); ++i)
    plan->arguments.push_back(WideToMultiByteUtf8(words[i]));
  if (!start.currentDirectory.empty()) {
    struct stat st;
    if (!host::ToHostPath(start.currentDirectory, &plan->directory) ||
        stat(plan->directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastErrorCode(kErrorDirectory);
      return false;
    }
  }
  return true;
}

// The strings of an environment block, or of this process's environment without one.
std::vector<std::string> EnvironmentOf(const EnvironmentBlock* block) {
  std::vector<std::string> entries;
  if (block != nullptr && block->valid()) {
    const auto* text = static_cast<const std::u16string*>(block->get());
    std::size_t start = 0;
    while (start < text->size() && (*text)[start] != u'\0') {
      const std::size_t end = text->find(u'\0', start);
      entries.push_back(WideToMultiByteUtf8(text->substr(start, end - start)));
      start = end + 1;
    }
    return entries;
  }
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
    entries.emplace_back(*entry);
  return entries;
}

void AppendVariable(std::u16string* block, const std::string& name, const std::string& value) {
  *block += Wide(name + "=" + value);
  *block += u'\0';
}

}  // namespace

void EnvironmentBlockTraits::Close(Type block) {
  delete static_cast<std::u16string*>(block);
}

TokenHandle DuplicatePrimaryToken(const TokenHandle& token) {
  if (FaultDue(FaultPoint::kDuplicateToken, u""))
    return TokenHandle();
  const host::HostToken* object = host::TokenObjectOf(token);
  if (object == nullptr)
    return TokenHandle();
  if (object->identificationOnly) {
    // As Windows: an identification-level token cannot become a primary one.
    SetLastErrorCode(kErrorBadImpersonationLevel);
    return TokenHandle();
  }
  return host::MakeTokenObject(object->identity, /*impersonation=*/false);
}

EnvironmentBlock CreateUserEnvironmentBlock(const TokenHandle& token) {
  if (FaultDue(FaultPoint::kCreateEnvironmentBlock, u""))
    return EnvironmentBlock();
  const host::HostToken* object = host::TokenObjectOf(token);
  if (object == nullptr)
    return EnvironmentBlock();
  std::u16string profile;
  if (!GetUserProfileDirectoryOf(token, &profile, 32768))
    return EnvironmentBlock();
  std::string profileHost;
  if (!host::ToHostPath(profile, &profileHost))
    return EnvironmentBlock();
  const std::string windowsProfile = WideToMultiByteUtf8(profile);
  const std::string name = windowsProfile.substr(windowsProfile.find_last_of('\\') + 1);
  std::string shell = "/bin/sh";
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(object->identity.uid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_shell != nullptr && *found->pw_shell != '\0') {
    shell = found->pw_shell;
  }

  auto block = std::make_unique<std::u16string>();
  AppendVariable(block.get(), "APPDATA", windowsProfile + "\\AppData\\Roaming");
  AppendVariable(block.get(), "HOME", profileHost);
  AppendVariable(block.get(), "HOMEDRIVE", windowsProfile.substr(0, 2));
  AppendVariable(block.get(), "HOMEPATH", windowsProfile.substr(2));
  AppendVariable(block.get(), "LOCALAPPDATA", windowsProfile + "\\AppData\\Local");
  AppendVariable(block.get(), "LOGNAME", name);
  AppendVariable(block.get(), "PATH", "/usr/local/bin:/usr/bin:/bin");
  AppendVariable(block.get(), "ProgramData", "C:\\ProgramData");
  AppendVariable(block.get(), "SHELL", shell);
  AppendVariable(block.get(), "SystemDrive", "C:");
  AppendVariable(block.get(), "SystemRoot", "C:\\Windows");
  AppendVariable(block.get(), "USER", name);
  AppendVariable(block.get(), "USERNAME", name);
  AppendVariable(block.get(), "USERPROFILE", windowsProfile);
  AppendVariable(block.get(), host::kMachineRootVariable, host::MachineRoot());
  AppendVariable(block.get(), "windir", "C:\\Windows");
  *block += u'\0';
  return EnvironmentBlock(block.release());
}

bool CreateProcessAsToken(const TokenHandle& token, const ProcessStart& start,
                          std::uint32_t* processId) {
  if (FaultDue(FaultPoint::kCreateProcess, u""))
    return false;
  const host::HostToken* object = host::TokenObjectOf(token);
  if (object == nullptr)
    return false;
  const host::PeerIdentity& user = object->identity;
  LaunchPlan plan;
  if (!PlanProgram(start, &plan))
    return false;
  if (geteuid() == 0) {
    plan.switchUser = true;
    plan.uid = user.uid;
    plan.gid = user.gid;
    plan.groups = user.groups;
  } else if (user.uid != geteuid()) {
    SetLastErrorCode(kErrorPrivilegeNotHeld);
    return false;
  }
  plan.newSession = true;
  // The token's session goes with the program; a marker of the caller's own never does.
  const std::string marker = std::string(kSessionMarkerVariable) + "=";
  for (std::string& entry : EnvironmentOf(start.environment)) {
    if (entry.compare(0, marker.size(), marker) != 0)
      plan.environment.push_back(std::move(entry));
  }
  if (user.hasSession)
    plan.environment.push_back(marker + std::to_string(user.session));
  return Launch(std::move(plan), processId);
}

bool CreateProcessDirect(const ProcessStart& start, std::uint32_t* processId) {
  if (FaultDue(FaultPoint::kCreateProcess, u""))
    return false;
  LaunchPlan plan;
  if (!PlanProgram(start, &plan))
    return false;
  // Same user, same session (the caller's marker, if it has one, is inherited).
  plan.environment = EnvironmentOf(start.environment);
  return Launch(std::move(plan), processId);
}

}  // namespace vovu::platform
