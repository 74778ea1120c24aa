// The emulated service control manager's records. Host-only; shared by the manager's side
// (service_control_host.cpp) and the service process's side (service_dispatcher_host.cpp).
//
// Configuration lives where Windows keeps it, in the registry store:
// HKLM\SYSTEM\CurrentControlSet\Services\<name> with Type, Start, ErrorControl (REG_DWORD),
// ImagePath (REG_EXPAND_SZ), DisplayName, ObjectName and Description (REG_SZ),
// FailureActions (REG_BINARY, the SERVICE_FAILURE_ACTIONS layout Windows stores) and, while a
// deletion waits for the service to stop, DeleteFlag (REG_DWORD 1). The manager writes these
// itself, after its own access check, as the Windows manager does: the caller's registry
// rights do not matter. Names are compared ignoring ASCII case; the key keeps the spelling the
// service was created with.
//
// Run-time status lives in the machine root's run-time state, <root>/run/scm/<name>: the last
// status report with the reporting process's id and start time, a fixed little-endian record
// replaced atomically (temporary file + rename).
//
// Who may do what: the manager's administrators are root and, on a machine whose root
// directory belongs to another user (a machine set up without root rights: single-user
// mode), that user. Only they create the run-time directories (0755) and change records; a
// run-time directory owned by anybody else, or writable by others, is refused with 5.
// Anyone may read. Every failure leaves a Win32 error code as the last error.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/service_control.h"

namespace vovu::platform::host {

// The environment variable that the manager gives a process it starts: the service's name.
inline constexpr char kServiceMarkerVariable[] = "VOVU_SCM_SERVICE";

// The registration of one service.
struct ServiceRecordConfig {
  ServiceConfig config;
  std::u16string description;
  std::uint32_t resetPeriodSeconds = 0;
  std::vector<ServiceFailureAction> failureActions;
};

// The last status report. `processStartTime` is the process's start time in clock ticks
// since boot (/proc/<pid>/stat), so a reused process id is not taken for the service.
struct ServiceRecordStatus {
  ServiceStatus status;
  std::uint64_t processStartTime = 0;
};

// True when the calling process administers the manager (see above).
[[nodiscard]] bool IsServiceAdministrator();

// For an administrator: creates the run-time directories and the Services key when missing,
// and checks them.
[[nodiscard]] bool PrepareServiceDirectories();
// For anyone: whether the run-time directories exist and can be trusted. False with 1060
// when they do not exist (no service was ever installed), 5 when they are not trusted.
[[nodiscard]] bool CheckServiceDirectories();

// Service names: not empty, at most 256 characters, no '/', '\\' or NUL, not "." or "..".
[[nodiscard]] bool IsValidServiceName(const std::u16string& name);

// The name a service was created with, for `name` (ignoring ASCII case); false with 1060
// if none.
[[nodiscard]] bool FindServiceRecord(const std::u16string& name, std::string* recordName);

// Creates the record `recordName` (UTF-8 of the service name) with its config and a stopped
// status, in one registry transaction: 1073 when a service of that name exists.
[[nodiscard]] bool CreateServiceRecord(const std::string& recordName,
                                       const ServiceRecordConfig& config);
// Removes the whole record; a record that is already gone counts as removed.
bool RemoveServiceRecord(const std::string& recordName);

[[nodiscard]] bool ReadServiceConfig(const std::string& recordName, ServiceRecordConfig* config);
[[nodiscard]] bool WriteServiceConfig(const std::string& recordName,
                                      const ServiceRecordConfig& config);

// Reads the status as recorded (a record without one reads as stopped).
[[nodiscard]] bool ReadServiceStatus(const std::string& recordName, ServiceRecordStatus* status);
[[nodiscard]] bool WriteServiceStatus(const std::string& recordName,
                                      const ServiceRecordStatus& status);
// The status as the manager reports it: a service whose recorded process no longer exists
// is stopped (exit code 1067 when it had not reported stopped itself), with process id 0.
[[nodiscard]] bool CurrentServiceStatus(const std::string& recordName, ServiceStatus* status);

[[nodiscard]] bool IsMarkedForDelete(const std::string& recordName);
[[nodiscard]] bool MarkForDelete(const std::string& recordName);

// Whether process `pid` exists, is not a zombie and (when `startTime` is not 0) started at
// `startTime`.
[[nodiscard]] bool ProcessAlive(pid_t pid, std::uint64_t startTime);
// The start time of process `pid` (0 when it cannot be read).
[[nodiscard]] std::uint64_t ProcessStartTime(pid_t pid);

// An exclusive lock on the manager's run-time directory, held by operations that check and then
// change records, so that two managers never interleave.
class ServiceManagerLock {
 public:
  ServiceManagerLock();
  ~ServiceManagerLock();
  ServiceManagerLock(const ServiceManagerLock&) = delete;
  ServiceManagerLock& operator=(const ServiceManagerLock&) = delete;
  [[nodiscard]] bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace vovu::platform::host
