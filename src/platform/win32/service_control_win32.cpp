// The service control manager on Windows: the advapi32 service calls, one to one.
//
// The service process's side keeps the one registered main function and the one control
// handler in statics and reaches them through small trampolines with the Win32 signatures.
#include <vector>

#include "platform/service_control.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {
namespace {

using win32::W;

SC_HANDLE ToScHandle(NativeHandle h) {
  return reinterpret_cast<SC_HANDLE>(h);
}
NativeHandle FromScHandle(SC_HANDLE h) {
  return reinterpret_cast<NativeHandle>(h);
}

ServiceMainFunction g_serviceMain = nullptr;

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
  if (g_serviceMain != nullptr)
    g_serviceMain(argc, reinterpret_cast<char16_t**>(argv));
}

struct HandlerSlot {
  ServiceHandlerFunction handler = nullptr;
  void* context = nullptr;
};
HandlerSlot g_handlerSlot;

DWORD WINAPI HandlerTrampoline(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  const auto* slot = static_cast<const HandlerSlot*>(context);
  return slot->handler(control, eventType, eventData, slot->context);
}

// QueryServiceConfigW and QueryServiceConfig2W: asks for the size, then for the data, in
// a buffer aligned for the structures they return.
template <typename Query>
bool QueryVariableSize(Query query, std::vector<std::uint64_t>* buffer) {
  DWORD needed = 0;
  if (query(nullptr, 0, &needed))
    return true;
  while (::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    buffer->assign(needed / sizeof(std::uint64_t) + 1, 0);
    const DWORD size = static_cast<DWORD>(buffer->size() * sizeof(std::uint64_t));
    if (query(reinterpret_cast<LPBYTE>(buffer->data()), size, &needed))
      return true;
  }
  return false;
}

std::u16string TextOf(const wchar_t* text) {
  return text == nullptr ? std::u16string() : win32::FromW(text, ::wcslen(text));
}

// SERVICE_STATUS or SERVICE_STATUS_PROCESS, with `processId`, as the boundary's record.
template <typename Raw>
ServiceStatus ToServiceStatus(const Raw& raw, std::uint32_t processId) {
  return ServiceStatus{raw.dwServiceType,
                       raw.dwCurrentState,
                       raw.dwControlsAccepted,
                       raw.dwWin32ExitCode,
                       raw.dwServiceSpecificExitCode,
                       raw.dwCheckPoint,
                       raw.dwWaitHint,
                       processId};
}

}  // namespace

void ServiceHandleTraits::Close(Type h) {
  ::CloseServiceHandle(ToScHandle(h));
}

ServiceHandle OpenServiceManager(std::uint32_t access) {
  return ServiceHandle(FromScHandle(::OpenSCManagerW(nullptr, nullptr, access)));
}

ServiceHandle CreateServiceEntry(const ServiceHandle& manager, const std::u16string& name,
                                 const ServiceConfig& config, std::uint32_t access) {
  return ServiceHandle(FromScHandle(
      ::CreateServiceW(ToScHandle(manager.get()), W(name), W(config.displayName), access,
                       config.serviceType, config.startType, config.errorControl,
                       W(config.binaryPath), nullptr, nullptr, nullptr, nullptr, nullptr)));
}

ServiceHandle OpenServiceEntry(const ServiceHandle& manager, const std::u16string& name,
                               std::uint32_t access) {
  return ServiceHandle(FromScHandle(::OpenServiceW(ToScHandle(manager.get()), W(name), access)));
}

bool ChangeServiceEntryConfig(const ServiceHandle& service, const ServiceConfig& config) {
  return ::ChangeServiceConfigW(ToScHandle(service.get()), config.serviceType, config.startType,
                                config.errorControl, W(config.binaryPath), nullptr, nullptr,
                                nullptr, nullptr, nullptr, W(config.displayName)) != FALSE;
}

bool SetServiceDescription(const ServiceHandle& service, const std::u16string& description) {
  std::u16string text = description;
  SERVICE_DESCRIPTIONW info{};
  info.lpDescription = reinterpret_cast<LPWSTR>(text.data());
  return ::ChangeServiceConfig2W(ToScHandle(service.get()), SERVICE_CONFIG_DESCRIPTION, &info) !=
         FALSE;
}

bool SetServiceFailureActions(const ServiceHandle& service, std::uint32_t resetPeriodSeconds,
                              const std::vector<ServiceFailureAction>& actions) {
  std::vector<SC_ACTION> list;
  list.reserve(actions.size());
  for (const ServiceFailureAction& action : actions)
    list.push_back(SC_ACTION{static_cast<SC_ACTION_TYPE>(action.type), action.delayMs});
  SERVICE_FAILURE_ACTIONSW info{};
  info.dwResetPeriod = resetPeriodSeconds;
  info.lpRebootMsg = nullptr;
  info.lpCommand = nullptr;
  info.cActions = static_cast<DWORD>(list.size());
  info.lpsaActions = list.empty() ? nullptr : list.data();
  return ::ChangeServiceConfig2W(ToScHandle(service.get()), SERVICE_CONFIG_FAILURE_ACTIONS,
                                 &info) != FALSE;
}

bool QueryServiceEntryConfig(const ServiceHandle& service, ServiceConfig* config) {
  std::vector<std::uint64_t> buffer;
  const SC_HANDLE handle = ToScHandle(service.get());
  if (!QueryVariableSize(
          [handle](LPBYTE data, DWORD size, DWORD* needed) {
            return ::QueryServiceConfigW(handle, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(data),
                                         size, needed) != FALSE;
          },
          &buffer)) {
    return false;
  }
  const auto* info = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
  config->serviceType = info->dwServiceType;
  config->startType = info->dwStartType;
  config->errorControl = info->dwErrorControl;
  config->binaryPath = TextOf(info->lpBinaryPathName);
  config->displayName = TextOf(info->lpDisplayName);
  return true;
}

bool QueryServiceDescription(const ServiceHandle& service, std::u16string* description) {
  std::vector<std::uint64_t> buffer;
  const SC_HANDLE handle = ToScHandle(service.get());
  if (!QueryVariableSize(
          [handle](LPBYTE data, DWORD size, DWORD* needed) {
            return ::QueryServiceConfig2W(handle, SERVICE_CONFIG_DESCRIPTION, data, size, needed) !=
                   FALSE;
          },
          &buffer)) {
    return false;
  }
  *description =
      buffer.empty()
          ? std::u16string()
          : TextOf(reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data())->lpDescription);
  return true;
}

bool QueryServiceFailureActions(const ServiceHandle& service, std::uint32_t* resetPeriodSeconds,
                                std::vector<ServiceFailureAction>* actions) {
  std::vector<std::uint64_t> buffer;
  const SC_HANDLE handle = ToScHandle(service.get());
  if (!QueryVariableSize(
          [handle](LPBYTE data, DWORD size, DWORD* needed) {
            return ::QueryServiceConfig2W(handle, SERVICE_CONFIG_FAILURE_ACTIONS, data, size,
                                          needed) != FALSE;
          },
          &buffer)) {
    return false;
  }
  *resetPeriodSeconds = 0;
  actions->clear();
  if (buffer.empty())
    return true;
  const auto* info = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
  *resetPeriodSeconds = info->dwResetPeriod;
  for (DWORD i = 0; i < info->cActions; ++i) {
    actions->push_back(ServiceFailureAction{static_cast<std::uint32_t>(info->lpsaActions[i].Type),
                                            info->lpsaActions[i].Delay});
  }
  return true;
}

bool StartServiceEntry(const ServiceHandle& service) {
  return ::StartServiceW(ToScHandle(service.get()), 0, nullptr) != FALSE;
}

bool ControlServiceEntry(const ServiceHandle& service, std::uint32_t control,
                         ServiceStatus* status) {
  SERVICE_STATUS raw{};
  const bool ok = ::ControlService(ToScHandle(service.get()), control, &raw) != FALSE;
  const DWORD error = ::GetLastError();
  *status = ToServiceStatus(raw, 0);
  SERVICE_STATUS_PROCESS process{};
  DWORD needed = 0;
  if (::QueryServiceStatusEx(ToScHandle(service.get()), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<LPBYTE>(&process), sizeof process, &needed)) {
    status->processId = process.dwProcessId;
  }
  ::SetLastError(error);
  return ok;
}

bool QueryServiceEntryStatus(const ServiceHandle& service, ServiceStatus* status) {
  SERVICE_STATUS_PROCESS raw{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(ToScHandle(service.get()), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&raw), sizeof raw, &needed)) {
    return false;
  }
  *status = ToServiceStatus(raw, raw.dwProcessId);
  return true;
}

bool DeleteServiceEntry(const ServiceHandle& service) {
  return ::DeleteService(ToScHandle(service.get())) != FALSE;
}

bool RunServiceDispatcher(const std::u16string& name, ServiceMainFunction main) {
  g_serviceMain = main;
  std::u16string serviceName = name;
  SERVICE_TABLE_ENTRYW table[] = {
      {reinterpret_cast<LPWSTR>(serviceName.data()), &ServiceMainTrampoline},
      {nullptr, nullptr},
  };
  return ::StartServiceCtrlDispatcherW(table) != FALSE;
}

NativeHandle RegisterServiceHandler(const std::u16string& name, ServiceHandlerFunction handler,
                                    void* context) {
  g_handlerSlot.handler = handler;
  g_handlerSlot.context = context;
  return reinterpret_cast<NativeHandle>(
      ::RegisterServiceCtrlHandlerExW(W(name), &HandlerTrampoline, &g_handlerSlot));
}

bool ReportServiceStatus(NativeHandle statusHandle, const ServiceStatus& status) {
  SERVICE_STATUS raw{};
  raw.dwServiceType = status.serviceType;
  raw.dwCurrentState = status.currentState;
  raw.dwControlsAccepted = status.controlsAccepted;
  raw.dwWin32ExitCode = status.win32ExitCode;
  raw.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  raw.dwCheckPoint = status.checkPoint;
  raw.dwWaitHint = status.waitHint;
  return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(statusHandle), &raw) != FALSE;
}

}  // namespace vovu::platform
