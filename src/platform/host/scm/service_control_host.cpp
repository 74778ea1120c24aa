// The emulated service control manager, the manager's side: handles, access checks and the
// operations on the records of service_records.h.
//
// A handle is a heap object naming the manager or one service record, with the access it
// was opened with. Opening asks for rights: only the manager's administrators get rights
// that change anything (5 otherwise), as the default security of the Windows manager and
// its services grants everybody else query and interrogate rights only. Each operation
// then needs its right in the handle (5).
#include <errno.h>
#include <signal.h>

#include "platform/host/scm/service_launch.h"
#include "platform/host/scm/service_records.h"
#include "platform/service_control.h"
#include "platform/text_codec.h"

namespace vovu::platform {
namespace {

using host::ServiceRecordConfig;

constexpr std::uint32_t kHandleMagic = 0x5653434d;  // "VSCM"
constexpr Win32Error kErrorServiceDisabled = 1058;
constexpr std::uint32_t kServiceDisabled = 4;
constexpr std::uint32_t kActionRestart = 1;

// Rights anyone may hold; every other right needs an administrator.
constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kReadControl = 0x00020000u;
constexpr std::uint32_t kManagerRightsForAnyone = kScManagerConnect | 0x0004 /* enumerate */ |
                                                  0x0010 /* query lock status */ | kReadControl |
                                                  kGenericRead;
constexpr std::uint32_t kServiceRightsForAnyone =
    kServiceQueryConfig | kServiceQueryStatus | 0x0008 /* enumerate dependents */ |
    kServiceInterrogate | 0x0100 /* user-defined control */ | kReadControl | kGenericRead;

struct ScmObject {
  std::uint32_t magic = kHandleMagic;
  bool isManager = false;
  std::uint32_t access = 0;
  std::string recordName;  // services only
};

bool Fail(Win32Error code) {
  SetLastErrorCode(code);
  return false;
}

const ScmObject* ObjectOf(const ServiceHandle& handle, bool manager) {
  const auto* object = reinterpret_cast<const ScmObject*>(handle.get());
  if (!handle.valid() || object->magic != kHandleMagic || object->isManager != manager) {
    SetLastErrorCode(kErrorInvalidHandle);
    return nullptr;
  }
  return object;
}

// The service object behind `handle` when it holds `right` (and, for a right that changes
// something, the caller is an administrator).
const ScmObject* ServiceWithRight(const ServiceHandle& handle, std::uint32_t right) {
  const ScmObject* object = ObjectOf(handle, false);
  if (object == nullptr)
    return nullptr;
  if ((object->access & right) != right ||
      ((right & ~kServiceRightsForAnyone) != 0 && !host::IsServiceAdministrator())) {
    SetLastErrorCode(kErrorAccessDenied);
    return nullptr;
  }
  return object;
}

ServiceHandle NewHandle(bool manager, std::uint32_t access, const std::string& recordName) {
  auto* object = new ScmObject;
  object->isManager = manager;
  object->access = access;
  object->recordName = recordName;
  return ServiceHandle(reinterpret_cast<NativeHandle>(object));
}

bool IsStopped(const std::string& recordName) {
  ServiceStatus status;
  return host::CurrentServiceStatus(recordName, &status) && status.currentState == kServiceStopped;
}

// A record marked for deletion whose service has stopped is gone; the first administrator
// who meets it removes it.
bool DeletedAfterStop(const std::string& recordName) {
  if (!host::IsMarkedForDelete(recordName) || !IsStopped(recordName))
    return false;
  if (host::IsServiceAdministrator())
    host::RemoveServiceRecord(recordName);
  return true;
}

// The record of a service handle, for an operation that changes it: 1060 when it is gone,
// 1072 when it waits for deletion.
bool ChangeableRecord(const ScmObject& object) {
  ServiceRecordConfig ignored;
  if (!host::ReadServiceConfig(object.recordName, &ignored))
    return false;
  if (host::IsMarkedForDelete(object.recordName))
    return Fail(kErrorServiceMarkedForDelete);
  return true;
}

// Reads, edits and rewrites the configuration of the service behind `handle`.
template <typename Edit>
bool EditConfig(const ServiceHandle& handle, std::uint32_t right, Edit edit) {
  const ScmObject* object = ServiceWithRight(handle, right);
  if (object == nullptr)
    return false;
  host::ServiceManagerLock lock;
  if (!lock.held() || !ChangeableRecord(*object))
    return false;
  ServiceRecordConfig record;
  if (!host::ReadServiceConfig(object->recordName, &record) || !edit(*object, &record))
    return false;
  return host::WriteServiceConfig(object->recordName, record);
}

template <typename Read>
bool ReadConfig(const ServiceHandle& handle, Read read) {
  const ScmObject* object = ServiceWithRight(handle, kServiceQueryConfig);
  if (object == nullptr)
    return false;
  ServiceRecordConfig record;
  if (!host::ReadServiceConfig(object->recordName, &record))
    return false;
  read(record);
  return true;
}

}  // namespace

void ServiceHandleTraits::Close(Type h) {
  delete reinterpret_cast<ScmObject*>(h);
}

ServiceHandle OpenServiceManager(std::uint32_t access) {
  if ((access & ~kManagerRightsForAnyone) != 0 && !host::IsServiceAdministrator()) {
    SetLastErrorCode(kErrorAccessDenied);
    return ServiceHandle();
  }
  if (host::IsServiceAdministrator()
          ? !host::PrepareServiceDirectories()
          : (!host::CheckServiceDirectories() && LastError() != kErrorServiceDoesNotExist)) {
    return ServiceHandle();
  }
  return NewHandle(true, access, "");
}

ServiceHandle CreateServiceEntry(const ServiceHandle& manager, const std::u16string& name,
                                 const ServiceConfig& config, std::uint32_t access) {
  const ScmObject* object = ObjectOf(manager, true);
  if (object == nullptr)
    return ServiceHandle();
  if ((object->access & kScManagerCreateService) == 0 || !host::IsServiceAdministrator()) {
    SetLastErrorCode(kErrorAccessDenied);
    return ServiceHandle();
  }
  if (!host::IsValidServiceName(name)) {
    SetLastErrorCode(kErrorInvalidName);
    return ServiceHandle();
  }
  if (config.binaryPath.empty()) {
    SetLastErrorCode(kErrorInvalidParameter);
    return ServiceHandle();
  }
  host::ServiceManagerLock lock;
  if (!lock.held())
    return ServiceHandle();
  std::string existing;
  if (host::FindServiceRecord(name, &existing) && !DeletedAfterStop(existing)) {
    SetLastErrorCode(host::IsMarkedForDelete(existing) ? kErrorServiceMarkedForDelete
                                                       : kErrorServiceExists);
    return ServiceHandle();
  }
  ServiceRecordConfig record;
  record.config = config;
  if (record.config.displayName.empty())
    record.config.displayName = name;
  const std::string recordName = WideToMultiByteUtf8(name);
  if (!host::CreateServiceRecord(recordName, record))
    return ServiceHandle();
  return NewHandle(false, access, recordName);
}

ServiceHandle OpenServiceEntry(const ServiceHandle& manager, const std::u16string& name,
                               std::uint32_t access) {
  if (ObjectOf(manager, true) == nullptr)
    return ServiceHandle();
  std::string recordName;
  if (!host::FindServiceRecord(name, &recordName))
    return ServiceHandle();
  if (host::IsMarkedForDelete(recordName)) {
    SetLastErrorCode(DeletedAfterStop(recordName) ? kErrorServiceDoesNotExist
                                                  : kErrorServiceMarkedForDelete);
    return ServiceHandle();
  }
  if ((access & ~kServiceRightsForAnyone) != 0 && !host::IsServiceAdministrator()) {
    SetLastErrorCode(kErrorAccessDenied);
    return ServiceHandle();
  }
  return NewHandle(false, access, recordName);
}

bool ChangeServiceEntryConfig(const ServiceHandle& service, const ServiceConfig& config) {
  return EditConfig(service, kServiceChangeConfig,
                    [&config](const ScmObject& object, ServiceRecordConfig* record) {
                      record->config = config;
                      if (record->config.displayName.empty())
                        record->config.displayName =
                            MultiByteUtf8ToWide(object.recordName.data(), object.recordName.size());
                      return true;
                    });
}

bool SetServiceDescription(const ServiceHandle& service, const std::u16string& description) {
  return EditConfig(service, kServiceChangeConfig,
                    [&description](const ScmObject&, ServiceRecordConfig* record) {
                      record->description = description;
                      return true;
                    });
}

bool SetServiceFailureActions(const ServiceHandle& service, std::uint32_t resetPeriodSeconds,
                              const std::vector<ServiceFailureAction>& actions) {
  return EditConfig(service, kServiceChangeConfig,
                    [&](const ScmObject& object, ServiceRecordConfig* record) {
                      // A restart action needs the right to start the service, as on Windows.
                      for (const ServiceFailureAction& action : actions) {
                        if (action.type == kActionRestart && (object.access & kServiceStart) == 0) {
                          return Fail(kErrorAccessDenied);
                        }
                      }
                      record->resetPeriodSeconds = resetPeriodSeconds;
                      record->failureActions = actions;
                      return true;
                    });
}

bool QueryServiceEntryConfig(const ServiceHandle& service, ServiceConfig* config) {
  return ReadConfig(service,
                    [config](const ServiceRecordConfig& record) { *config = record.config; });
}

bool QueryServiceDescription(const ServiceHandle& service, std::u16string* description) {
  return ReadConfig(service, [description](const ServiceRecordConfig& record) {
    *description = record.description;
  });
}

bool QueryServiceFailureActions(const ServiceHandle& service, std::uint32_t* resetPeriodSeconds,
                                std::vector<ServiceFailureAction>* actions) {
  return ReadConfig(service, [&](const ServiceRecordConfig& record) {
    *resetPeriodSeconds = record.resetPeriodSeconds;
    *actions = record.failureActions;
  });
}

bool StartServiceEntry(const ServiceHandle& service) {
  const ScmObject* object = ServiceWithRight(service, kServiceStart);
  if (object == nullptr)
    return false;
  host::ServiceManagerLock lock;
  if (!lock.held() || !ChangeableRecord(*object))
    return false;
  if (!IsStopped(object->recordName))
    return Fail(kErrorServiceAlreadyRunning);
  ServiceRecordConfig record;
  if (!host::ReadServiceConfig(object->recordName, &record))
    return false;
  if (record.config.startType == kServiceDisabled)
    return Fail(kErrorServiceDisabled);

  const std::string& recordName = object->recordName;
  const std::uint32_t type = record.config.serviceType;
  bool recorded = false;
  pid_t pid = 0;
  if (host::StartDetachedProcess(
          record.config.binaryPath, recordName,
          [&](pid_t started, std::uint64_t startTime) {
            host::ServiceRecordStatus pending;
            pending.status.serviceType = type;
            pending.status.currentState = kServiceStartPending;
            pending.status.processId = static_cast<std::uint32_t>(started);
            pending.processStartTime = startTime;
            recorded = host::WriteServiceStatus(recordName, pending);
            return recorded;
          },
          &pid)) {
    return true;
  }
  if (recorded) {
    // The program never ran: the service is stopped again, with the reason as exit code.
    const Win32Error error = LastError();
    host::ServiceRecordStatus stopped;
    stopped.status.serviceType = type;
    stopped.status.currentState = kServiceStopped;
    stopped.status.win32ExitCode = error;
    (void)host::WriteServiceStatus(recordName, stopped);
    SetLastErrorCode(error);
  }
  return false;
}

bool ControlServiceEntry(const ServiceHandle& service, std::uint32_t control,
                         ServiceStatus* status) {
  *status = ServiceStatus();
  int signo = 0;
  std::uint32_t right = 0;
  std::uint32_t accept = 0;
  switch (control) {
    case kServiceControlStop:
      signo = SIGTERM;
      right = kServiceStop;
      accept = kServiceAcceptStop;
      break;
    case kServiceControlShutdown:
      signo = SIGPWR;
      right = kServiceStop;
      accept = kServiceAcceptShutdown;
      break;
    case kServiceControlInterrogate:
      right = kServiceInterrogate;
      break;
    default:
      return Fail(kErrorInvalidParameter);
  }
  const ScmObject* object = ServiceWithRight(service, right);
  if (object == nullptr || !host::CurrentServiceStatus(object->recordName, status))
    return false;
  if (status->currentState == kServiceStopped)
    return Fail(kErrorServiceNotActive);
  if (signo == 0)
    return true;
  if ((status->controlsAccepted & accept) == 0)
    return Fail(kErrorServiceCannotAcceptCtrl);
  if (kill(static_cast<pid_t>(status->processId), signo) != 0)
    return Fail(errno == ESRCH ? kErrorServiceNotActive : kErrorAccessDenied);
  return true;
}

bool QueryServiceEntryStatus(const ServiceHandle& service, ServiceStatus* status) {
  const ScmObject* object = ServiceWithRight(service, kServiceQueryStatus);
  return object != nullptr && host::CurrentServiceStatus(object->recordName, status);
}

bool DeleteServiceEntry(const ServiceHandle& service) {
  const ScmObject* object = ServiceWithRight(service, kServiceDelete);
  if (object == nullptr)
    return false;
  host::ServiceManagerLock lock;
  if (!lock.held() || !ChangeableRecord(*object))
    return false;
  if (IsStopped(object->recordName))
    return host::RemoveServiceRecord(object->recordName);
  if (!host::MarkForDelete(object->recordName))
    return false;
  // The service may have reported stopped while the mark was made; its process then saw
  // no mark and left the record to us.
  if (IsStopped(object->recordName))
    return host::RemoveServiceRecord(object->recordName);
  return true;
}

}  // namespace vovu::platform
