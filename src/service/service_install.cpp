#include "service/service_install.h"

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/service_control.h"
#include "platform/sync.h"
#include "service/installation_folder.h"
#include "service/service_names.h"
#include "state/installed_version.h"

namespace vovu {
namespace {

using platform::ServiceHandle;

using platform::kServiceChangeConfig;
using platform::kServiceDelete;
using platform::kServiceQueryStatus;
using platform::kServiceStart;
using platform::kServiceStop;

constexpr std::uint32_t kInstallManagerAccess =
    platform::kScManagerConnect | platform::kScManagerCreateService;
constexpr std::uint32_t kInstallServiceAccess =
    kServiceChangeConfig | kServiceQueryStatus | kServiceStart;
constexpr std::uint32_t kStartServiceAccess = kServiceQueryStatus | kServiceStart;
constexpr std::uint32_t kStopServiceAccess = kServiceStop | kServiceQueryStatus;
constexpr std::uint32_t kDeleteServiceAccess = kServiceDelete | kServiceStop | kServiceQueryStatus;

// Failure actions: restart after 5 s, 10 s and 30 s; the count of failures resets after a day.
constexpr std::uint32_t kFailureResetSeconds = 86400;
constexpr std::uint32_t kFirstRestartDelayMs = 5000;
constexpr std::uint32_t kSecondRestartDelayMs = 10000;
constexpr std::uint32_t kLaterRestartDelayMs = 30000;
constexpr std::uint32_t kStopPolls = 30;
constexpr std::uint32_t kStopPollMs = 500;
constexpr std::uint32_t kRestart = 1;

bool Fail(std::u16string* message, const char16_t* prefix) {
  *message = prefix + FormatWin32Error(platform::LastError());
  return false;
}

ServiceHandle OpenManager(std::uint32_t access, std::u16string* message) {
  ServiceHandle manager = platform::OpenServiceManager(access);
  if (!manager.valid())
    Fail(message, u"OpenSCManager failed: ");
  return manager;
}

}  // namespace

bool InstallService(std::u16string* message) {
  const std::u16string modulePath = GetModulePath();
  if (modulePath.empty()) {
    *message = u"GetModuleFileName failed";
    return false;
  }
  // A folder a non-administrator may change would hand them the service's identity.
  if (!CheckInstallationFolder(modulePath, message))
    return false;
  ServiceHandle manager = OpenManager(kInstallManagerAccess, message);
  if (!manager.valid())
    return false;

  platform::ServiceConfig config;
  config.serviceType = platform::kServiceWin32OwnProcess;
  config.startType = platform::kServiceAutoStart;
  config.errorControl = platform::kServiceErrorNormal;
  config.binaryPath = QuoteIfNeeded(modulePath);
  config.displayName = kServiceDisplayName;

  ServiceHandle service =
      platform::CreateServiceEntry(manager, kServiceName, config, kInstallServiceAccess);
  if (!service.valid()) {
    if (platform::LastError() != platform::kErrorServiceExists) {
      return Fail(message, u"CreateService failed: ");
    }
    service = platform::OpenServiceEntry(manager, kServiceName, kInstallServiceAccess);
    if (!service.valid())
      return Fail(message, u"OpenService failed: ");
    if (!platform::ChangeServiceEntryConfig(service, config)) {
      return Fail(message, u"ChangeServiceConfig failed: ");
    }
  }
  (void)platform::SetServiceDescription(service, kServiceDescription);
  (void)platform::SetServiceFailureActions(service, kFailureResetSeconds,
                                           {{kRestart, kFirstRestartDelayMs},
                                            {kRestart, kSecondRestartDelayMs},
                                            {kRestart, kLaterRestartDelayMs}});

  std::u16string version;
  if (!LoadInstalledVersion(&version, message, /*reset=*/true)) {
    *message = u"cannot reset protected installed version during service install: " + *message;
    return false;
  }
  return true;
}

bool StartOwnService(std::u16string* message) {
  ServiceHandle manager = OpenManager(platform::kScManagerConnect, message);
  if (!manager.valid())
    return false;
  ServiceHandle service = platform::OpenServiceEntry(manager, kServiceName, kStartServiceAccess);
  if (!service.valid())
    return Fail(message, u"OpenService failed: ");
  if (!platform::StartServiceEntry(service) &&
      platform::LastError() != platform::kErrorServiceAlreadyRunning) {
    return Fail(message, u"StartService failed: ");
  }
  return true;
}

bool StopOwnService(std::u16string* message) {
  ServiceHandle manager = OpenManager(platform::kScManagerConnect, message);
  if (!manager.valid())
    return false;
  ServiceHandle service = platform::OpenServiceEntry(manager, kServiceName, kStopServiceAccess);
  if (!service.valid()) {
    if (platform::LastError() == platform::kErrorServiceDoesNotExist)
      return true;
    return Fail(message, u"OpenService failed: ");
  }
  platform::ServiceStatus status;
  if (platform::QueryServiceEntryStatus(service, &status) &&
      status.currentState == platform::kServiceStopped) {
    return true;
  }
  if (!platform::ControlServiceEntry(service, platform::kServiceControlStop, &status) &&
      platform::LastError() != platform::kErrorServiceNotActive) {
    return Fail(message, u"ControlService failed: ");
  }
  for (std::uint32_t poll = 0; poll < kStopPolls; ++poll) {
    platform::SleepMilliseconds(kStopPollMs);
    if (platform::QueryServiceEntryStatus(service, &status) &&
        status.currentState == platform::kServiceStopped) {
      break;
    }
  }
  return true;
}

bool UninstallService(std::u16string* message) {
  std::u16string ignored;
  (void)StopOwnService(&ignored);
  ServiceHandle manager = OpenManager(platform::kScManagerConnect, message);
  if (!manager.valid())
    return false;
  ServiceHandle service = platform::OpenServiceEntry(manager, kServiceName, kDeleteServiceAccess);
  if (!service.valid()) {
    if (platform::LastError() == platform::kErrorServiceDoesNotExist)
      return true;
    return Fail(message, u"OpenService failed: ");
  }
  if (!platform::DeleteServiceEntry(service))
    return Fail(message, u"DeleteService failed: ");
  return true;
}

}  // namespace vovu
