// The service control manager, in the shape of the Win32 service interfaces: the manager's
// side (install, start, stop, query, delete) and the service process's side (dispatcher,
// control handler, status reports).
//
// Windows: OpenSCManagerW, CreateServiceW, OpenServiceW, ChangeServiceConfigW,
// ChangeServiceConfig2W, StartServiceW, ControlService, QueryServiceStatusEx, DeleteService,
// StartServiceCtrlDispatcherW, RegisterServiceCtrlHandlerExW, SetServiceStatus.
//
// Host: the emulated machine keeps a service's configuration where Windows does, in the
// registry under HKLM\SYSTEM\CurrentControlSet\Services\<name>, and its run-time status
// under <root>/run/scm (docs/host-platform.md). Only root may create, change, start, stop or delete
// a service (5 otherwise); anyone may query. Start runs the binary path detached (its own
// session, standard handles on /dev/null) with a marker in its environment that tells the
// dispatcher the manager started it; without that marker the dispatcher fails with 1063 as
// on Windows when run from a console. Status reports are recorded for
// QueryServiceStatusEx; a recorded process that no longer exists reads as stopped. Stop and
// shutdown controls are delivered as signals (SIGTERM, SIGPWR) and turned into calls of the
// registered handler on the dispatcher's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/native_handle.h"

namespace vovu::platform {

inline constexpr Win32Error kErrorServiceRequestTimeout = 1053;
inline constexpr Win32Error kErrorServiceAlreadyRunning = 1056;
inline constexpr Win32Error kErrorServiceDoesNotExist = 1060;
inline constexpr Win32Error kErrorServiceCannotAcceptCtrl = 1061;
inline constexpr Win32Error kErrorServiceNotActive = 1062;
inline constexpr Win32Error kErrorFailedServiceControllerConnect = 1063;
inline constexpr Win32Error kErrorServiceMarkedForDelete = 1072;
inline constexpr Win32Error kErrorServiceExists = 1073;
inline constexpr Win32Error kErrorCallNotImplemented = 120;

// Access rights.
inline constexpr std::uint32_t kScManagerConnect = 0x0001;
inline constexpr std::uint32_t kScManagerCreateService = 0x0002;
inline constexpr std::uint32_t kServiceQueryConfig = 0x0001;
inline constexpr std::uint32_t kServiceChangeConfig = 0x0002;
inline constexpr std::uint32_t kServiceQueryStatus = 0x0004;
inline constexpr std::uint32_t kServiceStart = 0x0010;
inline constexpr std::uint32_t kServiceStop = 0x0020;
inline constexpr std::uint32_t kServiceInterrogate = 0x0080;
inline constexpr std::uint32_t kServiceDelete = 0x10000;

// Service states and controls.
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;
inline constexpr std::uint32_t kServiceControlShutdown = 5;
inline constexpr std::uint32_t kServiceControlSessionChange = 14;
inline constexpr std::uint32_t kServiceAcceptStop = 0x01;
inline constexpr std::uint32_t kServiceAcceptShutdown = 0x04;
inline constexpr std::uint32_t kServiceAcceptSessionChange = 0x80;
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceAutoStart = 2;
inline constexpr std::uint32_t kServiceErrorNormal = 1;

struct ServiceHandleTraits {
  using Type = NativeHandle;
  static constexpr Type Invalid() { return 0; }
  static constexpr bool IsValid(Type h) { return IsUsableHandle(h); }
  static void Close(Type h);  // CloseServiceHandle
};
// A handle to the manager or to one service.
using ServiceHandle = UniqueHandle<ServiceHandleTraits>;

// SERVICE_STATUS (and the process id of SERVICE_STATUS_PROCESS).
struct ServiceStatus {
  std::uint32_t serviceType = 0;
  std::uint32_t currentState = 0;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
  std::uint32_t processId = 0;
};

// The registration values CreateServiceW and ChangeServiceConfigW take (no group, tag,
// dependencies; account and password empty: LocalSystem).
struct ServiceConfig {
  std::uint32_t serviceType = kServiceWin32OwnProcess;
  std::uint32_t startType = kServiceAutoStart;
  std::uint32_t errorControl = kServiceErrorNormal;
  std::u16string binaryPath;
  std::u16string displayName;
};

// SC_ACTION.
struct ServiceFailureAction {
  std::uint32_t type = 0;  // 1: restart
  std::uint32_t delayMs = 0;
};

// ---- The manager's side ----

[[nodiscard]] ServiceHandle OpenServiceManager(std::uint32_t access);
// Fails with 1073 when the name is taken.
[[nodiscard]] ServiceHandle CreateServiceEntry(const ServiceHandle& manager,
                                               const std::u16string& name,
                                               const ServiceConfig& config, std::uint32_t access);
// Fails with 1060 when there is no such service.
[[nodiscard]] ServiceHandle OpenServiceEntry(const ServiceHandle& manager,
                                             const std::u16string& name, std::uint32_t access);
// ChangeServiceConfigW with type, start type, error control, binary path and display name;
// everything else unchanged.
[[nodiscard]] bool ChangeServiceEntryConfig(const ServiceHandle& service,
                                            const ServiceConfig& config);
// ChangeServiceConfig2W: SERVICE_CONFIG_DESCRIPTION and SERVICE_CONFIG_FAILURE_ACTIONS (no
// reboot message, no command).
[[nodiscard]] bool SetServiceDescription(const ServiceHandle& service,
                                         const std::u16string& description);
[[nodiscard]] bool SetServiceFailureActions(const ServiceHandle& service,
                                            std::uint32_t resetPeriodSeconds,
                                            const std::vector<ServiceFailureAction>& actions);
// StartServiceW without arguments: 1056 when it already runs. Does not wait.
[[nodiscard]] bool StartServiceEntry(const ServiceHandle& service);
// ControlService: 1062 when the service is not running; `*status` gets the latest status.
[[nodiscard]] bool ControlServiceEntry(const ServiceHandle& service, std::uint32_t control,
                                       ServiceStatus* status);
// QueryServiceStatusEx(SC_STATUS_PROCESS_INFO).
[[nodiscard]] bool QueryServiceEntryStatus(const ServiceHandle& service, ServiceStatus* status);
// QueryServiceConfigW (kServiceQueryConfig): the values ChangeServiceEntryConfig sets.
[[nodiscard]] bool QueryServiceEntryConfig(const ServiceHandle& service, ServiceConfig* config);
// QueryServiceConfig2W (kServiceQueryConfig): the description (empty when none is set) and
// the failure actions (reset period 0 and no actions when none are set).
[[nodiscard]] bool QueryServiceDescription(const ServiceHandle& service,
                                           std::u16string* description);
[[nodiscard]] bool QueryServiceFailureActions(const ServiceHandle& service,
                                              std::uint32_t* resetPeriodSeconds,
                                              std::vector<ServiceFailureAction>* actions);
// DeleteService: a running service is removed once it has stopped (later opens see 1072
// until then on Windows; the host removes the record when the stopped status is reported).
[[nodiscard]] bool DeleteServiceEntry(const ServiceHandle& service);

// ---- The service process's side ----

using ServiceMainFunction = void (*)(std::uint32_t argc, char16_t** argv);
using ServiceHandlerFunction = std::uint32_t (*)(std::uint32_t control, std::uint32_t eventType,
                                                 void* eventData, void* context);

// StartServiceCtrlDispatcherW with one entry. Returns when the service has reported stopped
// and its main function has returned; false with 1063 when the process was not started by
// the manager.
[[nodiscard]] bool RunServiceDispatcher(const std::u16string& name, ServiceMainFunction main);

// RegisterServiceCtrlHandlerExW: a status handle (not closed by the caller), 0 on failure.
[[nodiscard]] NativeHandle RegisterServiceHandler(const std::u16string& name,
                                                  ServiceHandlerFunction handler, void* context);

// SetServiceStatus.
bool ReportServiceStatus(NativeHandle statusHandle, const ServiceStatus& status);

}  // namespace vovu::platform
