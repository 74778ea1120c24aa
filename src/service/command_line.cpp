#include "service/command_line.h"

#include "platform/program_entry.h"

#include "caller/request_context.h"
#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/error.h"
#include "platform/service_control.h"
#include "service/dispatcher.h"
#include "service/pipe_client.h"
#include "service/service_install.h"
#include "service/service_main.h"
#include "service/service_names.h"

namespace vovu {
namespace {

constexpr char16_t kServiceUnavailable[] =
    u"Korva Sync Service is unavailable; hot-update aborted.";

bool IsHotUpdateVerb(const std::u16string& verb) {
  return verb == u"hot-update-prepare" || verb == u"hot-update-commit" ||
         verb == u"hot-update-confirm" || verb == u"hot-update-cancel";
}

bool RepliedOk(bool exchanged, const std::u16string& reply) {
  return exchanged && reply.size() >= 2 && reply.compare(0, 2, u"OK") == 0;
}

bool RunVerb(const std::u16string& verb, const std::vector<std::u16string>& args,
             std::u16string* failure) {
  if (verb == u"install")
    return InstallService(failure);
  if (verb == u"uninstall")
    return UninstallService(failure);
  if (verb == u"start")
    return StartOwnService(failure);
  if (verb == u"stop")
    return StopOwnService(failure);

  const std::u16string request = BuildPipeRequest(verb, args);
  std::u16string reply;
  const bool exchanged = SendPipeRequest(request, &reply);
  if (RepliedOk(exchanged, reply))
    return true;
  if (IsHotUpdateVerb(verb)) {
    // A hot-update command never runs in this process, whatever the service answered.
    *failure = reply.empty() ? std::u16string(kServiceUnavailable) : reply;
    return false;
  }
  if (!reply.empty())
    *failure = reply;

  const std::vector<std::u16string> lines = SplitLines(request);
  const std::vector<std::u16string> commandArgs(lines.begin() + 1, lines.end());
  RequestContext context = BuildLocalContext();
  std::u16string output;
  const bool ok = ExecuteWhitelistedCommand(verb, commandArgs, context, &output);
  if (!ok && !output.empty())
    *failure = output;
  context.Release();
  return ok;
}

}  // namespace

std::u16string BuildPipeRequest(const std::u16string& verb,
                                const std::vector<std::u16string>& args) {
  std::u16string request = verb;
  for (const std::u16string& arg : args)
    request += u"\n" + arg;
  return request;
}

int RunCommandLine(const std::vector<std::u16string>& args) {
  if (args.size() < 2) {
    if (platform::RunServiceDispatcher(kServiceName, ServiceMain))
      return 0;
    return platform::LastError() == platform::kErrorFailedServiceControllerConnect ? 0 : 1;
  }
  const std::u16string verb = NormalizeCommandWord(args[1]);
  const std::vector<std::u16string> rest(args.begin() + 2, args.end());
  std::u16string failure;
  const bool ok = RunVerb(verb, rest, &failure);
  if (!ok)
    LogDebug(failure);
  return ok ? 0 : 1;
}

}  // namespace vovu

namespace vovu {

int ProgramMain(const std::vector<std::u16string>& args) {
  return RunCommandLine(args);
}

}  // namespace vovu
