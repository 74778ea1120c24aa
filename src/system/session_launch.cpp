#include "system/session_launch.h"

#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/session_user.h"

namespace vovu {
namespace {

constexpr char16_t kKorvaCfName[] = u"korvaCF.exe";

std::u16string LastErrorText() {
  return FormatWin32Error(platform::LastError());
}

// How the helper is started: the file beside the service, quoted, in the installation
// directory. Fails with "korvaCF.exe not found: <path>" when that file is missing.
bool PrepareKorvaCfStart(platform::ProcessStart* start, std::u16string* error) {
  const std::u16string path = KorvaCfPath();
  const std::uint32_t attributes = platform::GetAttributes(path);
  if (attributes == platform::kInvalidFileAttributes ||
      (attributes & platform::kFileAttributeDirectory) != 0) {
    *error = u"korvaCF.exe not found: " + path;
    return false;
  }
  start->applicationName = path;
  start->commandLine = QuoteIfNeeded(path);
  start->currentDirectory = GetInstallDirectory();
  return true;
}

// A process named korvaCF.exe already runs in `sessionId`. A list that cannot be taken
// answers no, so the start goes ahead.
bool KorvaCfRunsInSession(std::uint32_t sessionId) {
  if (sessionId == platform::kNoSession)
    return false;
  std::vector<platform::ProcessEntry> processes;
  if (!platform::SnapshotProcesses(&processes))
    return false;
  for (const platform::ProcessEntry& process : processes) {
    if (!EqualsIgnoringCase(process.exeName, kKorvaCfName))
      continue;
    std::uint32_t session = 0;
    if (platform::ProcessSessionId(process.processId, &session) && session == sessionId)
      return true;
  }
  return false;
}

// Starts `start` as the user of `userToken`, with the user's environment when it can be
// built. The messages are those of LaunchAsUser and StartKorvaCfWithToken.
bool StartAsUser(const platform::TokenHandle& userToken, platform::ProcessStart start,
                 std::uint32_t* processId, std::u16string* error) {
  const platform::TokenHandle primary = platform::DuplicatePrimaryToken(userToken);
  if (!primary) {
    *error = u"DuplicateTokenEx failed: " + LastErrorText();
    return false;
  }
  const platform::EnvironmentBlock environment = platform::CreateUserEnvironmentBlock(primary);
  start.creationFlags = platform::kCreateNoWindow;
  if (environment) {
    start.creationFlags |= platform::kCreateUnicodeEnvironment;
    start.environment = &environment;
  }
  start.desktop = platform::kInteractiveDesktop;
  if (!platform::CreateProcessAsToken(primary, start, processId)) {
    *error = u"CreateProcessAsUser failed: " + LastErrorText();
    return false;
  }
  return true;
}

}  // namespace

bool StartKorvaCfForCaller(const RequestContext& context, std::u16string* error) {
  if (context.isLocal)
    return StartKorvaCfInCurrentContext(error);
  if (context.sessionId != platform::kNoSession) {
    std::u16string ignored;
    if (StartKorvaCfInSession(context.sessionId, &ignored))
      return true;
  }
  if (context.hasToken)
    return StartKorvaCfWithToken(context.token, context.sessionId, error);
  const std::uint32_t console = platform::ActiveConsoleSessionId();
  if (console == platform::kNoSession) {
    *error = u"no active console session";
    return false;
  }
  return StartKorvaCfInSession(console, error);
}

bool StartKorvaCfInCurrentContext(std::u16string* error) {
  platform::ProcessStart start;
  if (!PrepareKorvaCfStart(&start, error))
    return false;
  start.creationFlags = platform::kCreateNoWindow;
  if (!platform::CreateProcessDirect(start, nullptr)) {
    *error = u"CreateProcess failed: " + LastErrorText();
    return false;
  }
  return true;
}

bool StartKorvaCfInSession(std::uint32_t sessionId, std::u16string* error) {
  const platform::TokenHandle token = platform::QuerySessionUserToken(sessionId);
  if (!token) {
    *error = u"WTSQueryUserToken failed: " + LastErrorText();
    return false;
  }
  return StartKorvaCfWithToken(token, sessionId, error);
}

bool StartKorvaCfWithToken(const platform::TokenHandle& userToken, std::uint32_t sessionId,
                           std::u16string* error) {
  if (KorvaCfRunsInSession(sessionId))
    return true;
  platform::ProcessStart start;
  if (!PrepareKorvaCfStart(&start, error))
    return false;
  return StartAsUser(userToken, std::move(start), nullptr, error);
}

bool LaunchAsUser(const std::u16string& exePath, const platform::TokenHandle& userToken,
                  const std::u16string& arguments, std::uint32_t* processId,
                  std::u16string* error) {
  platform::ProcessStart start;
  start.applicationName = exePath;
  start.commandLine = QuoteIfNeeded(exePath);
  if (!arguments.empty())
    start.commandLine += u" " + arguments;
  // A bare file name has no directory of its own: the new process keeps the service's.
  start.currentDirectory = DirectoryOf(exePath);
  return StartAsUser(userToken, std::move(start), processId, error);
}

void StopKorvaCfInSession(std::uint32_t sessionId) {
  if (sessionId == platform::kNoSession)
    return;
  const platform::TokenHandle token = platform::QuerySessionUserToken(sessionId);
  if (!token)
    return;
  std::u16string error;
  if (!LaunchAsUser(KorvaCfPath(), token, u"/Stop", nullptr, &error) && !error.empty())
    LogDebug(u"korvaCF /Stop failed: " + error);
}

}  // namespace vovu
