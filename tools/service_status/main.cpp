// vovu-sc: a service's state and configuration by name, read through the service control
// manager's own interfaces (OpenSCManager, OpenService, QueryServiceStatusEx,
// QueryServiceConfig, QueryServiceConfig2), in the manner of `sc query` and `sc qc`.
//
//   vovu-sc query [NAME]   state, process id, accepted controls, exit codes
//   vovu-sc qc [NAME]      type, start type, error control, binary path, display name,
//                          description and failure actions
//
// NAME defaults to VovudIdavUda. Numbers are shown with their names (4 RUNNING, 2
// AUTO_START). Exit code 0; 1 with the failed call and its error text (on standard error
// when nothing could be shown, else in place of the part that could not be read); 2 for a
// usage error. Anyone may query. Unlike the service it writes to the console: it is
// a tool for people.
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "platform/error.h"
#include "platform/service_control.h"
#include "service/service_names.h"
#include "service_text.h"
#include "tool_common.h"

namespace {

namespace platform = vovu::platform;
using vovu::tools::kExitFailure;
using vovu::tools::kExitSuccess;

constexpr char kUsage[] =
    "usage: vovu-sc query [NAME]   the service's state\n"
    "       vovu-sc qc [NAME]      the service's configuration\n"
    "NAME defaults to VovudIdavUda. Exit code 0; 1 when the service cannot be opened or\n"
    "queried; 2 for a usage error.\n";

std::string Utf8(const std::u16string& text) {
  return vovu::WideToUtf8(text);
}

// The failed call and the error's text, without the message table's line break.
int Fail(const char* call) {
  std::fprintf(stderr, "vovu-sc: %s failed: %s\n", call,
               vovu::tools::ErrorText(platform::LastError()).c_str());
  return kExitFailure;
}

// One "LABEL : value" line; an empty label continues the line above.
void Line(const char* label, const std::string& value) {
  std::printf("        %-18s %s %s\n", label, *label == '\0' ? " " : ":", value.c_str());
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

void PrintStatus(const platform::ServiceStatus& status) {
  using namespace vovu::tools;
  Line("TYPE", Hex(status.serviceType) + "  " + ServiceTypeName(status.serviceType));
  Line("STATE", std::to_string(status.currentState) + "  " + ServiceStateName(status.currentState));
  Line("", ControlsAcceptedText(status.controlsAccepted));
  Line("WIN32_EXIT_CODE",
       std::to_string(status.win32ExitCode) + "  (" + Hex(status.win32ExitCode) + ")");
  Line("SERVICE_EXIT_CODE", std::to_string(status.serviceSpecificExitCode) + "  (" +
                                Hex(status.serviceSpecificExitCode) + ")");
  Line("CHECKPOINT", Hex(status.checkPoint));
  Line("WAIT_HINT", Hex(status.waitHint));
  Line("PID", std::to_string(status.processId));
}

int Query(const platform::ServiceHandle& service) {
  platform::ServiceStatus status;
  if (!platform::QueryServiceEntryStatus(service, &status))
    return Fail("QueryServiceStatusEx");
  PrintStatus(status);
  return kExitSuccess;
}

// Prints what can be read; a part that cannot (wine has no failure actions, for example) is
// shown with its error, and the exit code is then 1.
int QueryConfig(const platform::ServiceHandle& service) {
  using namespace vovu::tools;
  platform::ServiceConfig config;
  if (!platform::QueryServiceEntryConfig(service, &config))
    return Fail("QueryServiceConfig");
  Line("TYPE", Hex(config.serviceType) + "  " + ServiceTypeName(config.serviceType));
  Line("START_TYPE", std::to_string(config.startType) + "  " + StartTypeName(config.startType));
  Line("ERROR_CONTROL",
       std::to_string(config.errorControl) + "  " + ErrorControlName(config.errorControl));
  Line("BINARY_PATH_NAME", Utf8(config.binaryPath));
  Line("DISPLAY_NAME", Utf8(config.displayName));

  int result = kExitSuccess;
  const auto unreadable = [&result](const char* label) {
    Line(label, "cannot be read: QueryServiceConfig2 failed: " + ErrorText(platform::LastError()));
    result = kExitFailure;
  };
  std::u16string description;
  if (platform::QueryServiceDescription(service, &description))
    Line("DESCRIPTION", Utf8(description));
  else
    unreadable("DESCRIPTION");
  std::uint32_t resetPeriod = 0;
  std::vector<platform::ServiceFailureAction> actions;
  if (!platform::QueryServiceFailureActions(service, &resetPeriod, &actions)) {
    unreadable("FAILURE_ACTIONS");
    return result;
  }
  Line("RESET_PERIOD", std::to_string(resetPeriod) + " seconds");
  if (actions.empty())
    Line("FAILURE_ACTIONS", "none");
  for (std::size_t i = 0; i < actions.size(); ++i) {
    Line(i == 0 ? "FAILURE_ACTIONS" : "", FailureActionName(actions[i].type) + " after " +
                                              std::to_string(actions[i].delayMs) + " ms");
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  using vovu::tools::IsHelpArgument;
  using vovu::tools::UsageError;
  if (argc >= 2 && IsHelpArgument(argv[1]))
    return vovu::tools::ShowUsage(kUsage);
  if (argc < 2 || argc > 3)
    return UsageError("vovu-sc", "expected query or qc, and at most one NAME", kUsage);
  const std::string verb = argv[1];
  if (verb != "query" && verb != "qc")
    return UsageError("vovu-sc", "unknown verb: " + verb, kUsage);
  if (argc == 3 && vovu::tools::LooksLikeOption(argv[2]))
    return UsageError("vovu-sc", std::string("unknown switch: ") + argv[2], kUsage);
  vovu::tools::NoteMachineRoot("vovu-sc");

  const std::u16string name = argc == 3 ? vovu::Utf8ToWide(argv[2]) : vovu::kServiceName;
  const platform::ServiceHandle manager = platform::OpenServiceManager(platform::kScManagerConnect);
  if (!manager.valid())
    return Fail("OpenSCManager");
  const platform::ServiceHandle service = platform::OpenServiceEntry(
      manager, name, platform::kServiceQueryStatus | platform::kServiceQueryConfig);
  if (!service.valid())
    return Fail("OpenService");
  std::printf("SERVICE_NAME: %s\n", Utf8(name).c_str());
  return verb == "query" ? Query(service) : QueryConfig(service);
}
