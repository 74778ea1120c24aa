#include "platform/host/scm/service_records.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/host/core/host_util.h"
#include "platform/host/core/machine_root.h"
#include "platform/host/core/unique_fd.h"
#include "platform/host/process/proc_files.h"
#include "platform/host/registry/registry_paths.h"
#include "platform/host/registry/registry_store.h"
#include "platform/text_codec.h"

namespace vovu::platform::host {
namespace {

constexpr Win32Error kErrorProcessAborted = 1067;
constexpr std::size_t kMaxServiceNameLength = 256;

constexpr char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services";
constexpr char16_t kLocalSystemAccount[] = u"LocalSystem";

// Registry value types.
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

// SERVICE_FAILURE_ACTIONS as Windows stores it in FailureActions: five 32-bit fields (reset
// period, reboot message, command, action count, actions), then each action as type and
// delay. The three pointer fields hold 0, 0 and the offset of the actions.
constexpr std::uint32_t kFailureActionsHeader = 20;

// The status file: a magic number, eight 32-bit fields of the report, the start time.
constexpr std::uint32_t kStatusMagic = 0x54535356;  // "VSST"
constexpr std::size_t kStatusSize = 4 + 8 * 4 + 8;

bool Fail(Win32Error code) {
  SetLastErrorCode(code);
  return false;
}

bool FailErrno(int err, const std::string& path) {
  return Fail(Win32ErrorFromErrno(err, path));
}

// ---- Registry: the configuration ----

KeyPath ServicePath(const std::string& recordName) {
  KeyPath path{kHiveLocalMachine};
  AppendSubKeyPath(kServicesKey, &path);
  if (!recordName.empty())
    path.push_back(MultiByteUtf8ToWide(recordName.data(), recordName.size()));
  return path;
}

KeyPath Prefix(const KeyPath& path, std::size_t length) {
  return KeyPath(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(length));
}

// Creates every missing key of `path` below its hive.
void EnsureKey(StoreSession& store, const KeyPath& path) {
  for (std::size_t depth = 2; depth <= path.size(); ++depth) {
    const std::u16string key = FoldedKeyPath(Prefix(path, depth));
    if (!store.KeyExists(key))
      store.AddKey(key, FoldedKeyPath(Prefix(path, depth - 1)), path[depth - 1]);
  }
}

void AppendUint32(std::uint32_t value, std::string* bytes) {
  for (int shift = 0; shift < 32; shift += 8)
    bytes->push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t Uint32At(const std::string& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = (value << 8) | static_cast<unsigned char>(bytes[offset + static_cast<std::size_t>(i)]);
  return value;
}

StoredValue Dword(const char16_t* name, std::uint32_t value) {
  StoredValue stored{name, kRegDword, {}};
  AppendUint32(value, &stored.data);
  return stored;
}

// A string value: UTF-16LE with its NUL, as RegSetValueEx stores what the manager gives it.
StoredValue String(const char16_t* name, std::uint32_t type, const std::u16string& text) {
  StoredValue stored{name, type, {}};
  for (const char16_t unit : text) {
    stored.data.push_back(static_cast<char>(unit & 0xFF));
    stored.data.push_back(static_cast<char>(unit >> 8));
  }
  stored.data.append(2, '\0');
  return stored;
}

std::u16string StringOf(const StoredValue& value) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
    const auto unit = static_cast<char16_t>(static_cast<unsigned char>(value.data[i]) |
                                            (static_cast<unsigned char>(value.data[i + 1]) << 8));
    if (unit == u'\0')
      break;
    text.push_back(unit);
  }
  return text;
}

std::uint32_t DwordOf(const std::optional<StoredValue>& value) {
  return value && value->type == kRegDword && value->data.size() == 4 ? Uint32At(value->data, 0)
                                                                      : 0;
}

StoredValue FailureActions(const ServiceRecordConfig& record) {
  StoredValue stored{u"FailureActions", kRegBinary, {}};
  const auto count = static_cast<std::uint32_t>(record.failureActions.size());
  AppendUint32(record.resetPeriodSeconds, &stored.data);
  AppendUint32(0, &stored.data);
  AppendUint32(0, &stored.data);
  AppendUint32(count, &stored.data);
  AppendUint32(count == 0 ? 0 : kFailureActionsHeader, &stored.data);
  for (const ServiceFailureAction& action : record.failureActions) {
    AppendUint32(action.type, &stored.data);
    AppendUint32(action.delayMs, &stored.data);
  }
  return stored;
}

void ReadFailureActions(const StoredValue& value, ServiceRecordConfig* record) {
  const std::string& bytes = value.data;
  if (value.type != kRegBinary || bytes.size() < kFailureActionsHeader)
    return;
  record->resetPeriodSeconds = Uint32At(bytes, 0);
  const std::uint32_t count = Uint32At(bytes, 12);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t offset = kFailureActionsHeader + std::size_t{8} * i;
    if (offset + 8 > bytes.size())
      break;
    record->failureActions.push_back(
        ServiceFailureAction{Uint32At(bytes, offset), Uint32At(bytes, offset + 4)});
  }
}

void WriteConfigValues(StoreSession& store, const std::u16string& key,
                       const ServiceRecordConfig& record) {
  store.SetValue(key, Dword(u"Type", record.config.serviceType));
  store.SetValue(key, Dword(u"Start", record.config.startType));
  store.SetValue(key, Dword(u"ErrorControl", record.config.errorControl));
  store.SetValue(key, String(u"ImagePath", kRegExpandSz, record.config.binaryPath));
  store.SetValue(key, String(u"DisplayName", kRegSz, record.config.displayName));
  store.SetValue(key, String(u"ObjectName", kRegSz, kLocalSystemAccount));
  if (record.description.empty())
    store.DeleteValue(key, u"Description");
  else
    store.SetValue(key, String(u"Description", kRegSz, record.description));
  if (record.failureActions.empty() && record.resetPeriodSeconds == 0)
    store.DeleteValue(key, u"FailureActions");
  else
    store.SetValue(key, FailureActions(record));
}

// Runs `work` on the service's key inside one store transaction: 1060 when it is gone.
bool WithServiceKey(const std::string& recordName, bool write,
                    const std::function<void(StoreSession&, const std::u16string&)>& work) {
  const std::u16string key = FoldedKeyPath(ServicePath(recordName));
  const Win32Error status = RunInRegistryStore(write, [&](StoreSession& store) {
    if (!store.KeyExists(key))
      return kErrorServiceDoesNotExist;
    work(store, key);
    return kErrorSuccess;
  });
  return status == kErrorSuccess || Fail(status);
}

// ---- The run-time state: status reports ----

std::string RunDirectory() {
  return MachineRoot() + "/run";
}
std::string ScmRunDirectory() {
  return RunDirectory() + "/scm";
}
// One file per service, named by its folded name, so every spelling finds it.
std::string StatusPath(const std::string& recordName) {
  std::string folded = recordName;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return ScmRunDirectory() + "/" + folded;
}

// The owner of the machine root: root on a real machine, the user in single-user mode.
bool MachineOwner(uid_t* owner) {
  struct stat st;
  if (stat(MachineRoot().c_str(), &st) != 0)
    return false;
  *owner = st.st_uid;
  return true;
}

bool TrustedOwner(uid_t uid) {
  if (uid == 0)
    return true;
  uid_t owner = 0;
  return MachineOwner(&owner) && owner == uid;
}

// A run-time directory is trusted when it is a plain directory of a trusted owner that no
// one else can write to.
bool CheckDirectory(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return FailErrno(errno, path);
  if (!S_ISDIR(st.st_mode) || !TrustedOwner(st.st_uid) || (st.st_mode & 022) != 0)
    return Fail(kErrorAccessDenied);
  return true;
}

bool MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) {
    if (errno != EEXIST)
      return FailErrno(errno, path);
    return CheckDirectory(path);
  }
  if (chmod(path.c_str(), 0755) != 0)
    return FailErrno(errno, path);
  return true;
}

std::string FormatStatus(const ServiceRecordStatus& record) {
  const ServiceStatus& s = record.status;
  std::string bytes;
  AppendUint32(kStatusMagic, &bytes);
  for (const std::uint32_t field :
       {s.serviceType, s.currentState, s.controlsAccepted, s.win32ExitCode,
        s.serviceSpecificExitCode, s.checkPoint, s.waitHint, s.processId}) {
    AppendUint32(field, &bytes);
  }
  AppendUint32(static_cast<std::uint32_t>(record.processStartTime), &bytes);
  AppendUint32(static_cast<std::uint32_t>(record.processStartTime >> 32), &bytes);
  return bytes;
}

bool ParseStatus(const std::string& bytes, ServiceRecordStatus* record) {
  if (bytes.size() != kStatusSize || Uint32At(bytes, 0) != kStatusMagic)
    return false;
  ServiceStatus& s = record->status;
  std::uint32_t* fields[] = {&s.serviceType,
                             &s.currentState,
                             &s.controlsAccepted,
                             &s.win32ExitCode,
                             &s.serviceSpecificExitCode,
                             &s.checkPoint,
                             &s.waitHint,
                             &s.processId};
  std::size_t offset = 4;
  for (std::uint32_t* field : fields) {
    *field = Uint32At(bytes, offset);
    offset += 4;
  }
  record->processStartTime =
      Uint32At(bytes, offset) | (static_cast<std::uint64_t>(Uint32At(bytes, offset + 4)) << 32);
  return true;
}

bool ReadSmallFile(const std::string& path, std::string* content) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid())
    return FailErrno(errno, path);
  content->assign(kStatusSize + 1, '\0');
  std::size_t done = 0;
  while (done < content->size()) {
    const ssize_t n = read(fd.get(), content->data() + done, content->size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return FailErrno(errno, path);
    if (n == 0)
      break;
    done += static_cast<std::size_t>(n);
  }
  content->resize(done);
  return true;
}

// Writes `content` to a temporary file beside `path` and renames it over `path`, so a
// reader sees the old or the new report, never a part of one.
bool WriteFileAtomically(const std::string& path, const std::string& content) {
  static std::atomic<unsigned> counter{0};
  const std::string temporary =
      path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
  UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.valid())
    return FailErrno(errno, temporary);
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    ok = n >= 0 || FailErrno(errno, temporary);
    done += ok ? static_cast<std::size_t>(n) : 0;
  }
  ok = ok && ((fchmod(fd.get(), 0644) == 0 && fsync(fd.get()) == 0) || FailErrno(errno, temporary));
  fd.reset();
  ok = ok && (rename(temporary.c_str(), path.c_str()) == 0 || FailErrno(errno, path));
  if (!ok) {
    const Win32Error saved = LastError();
    unlink(temporary.c_str());
    SetLastErrorCode(saved);
  }
  return ok;
}

}  // namespace

bool IsServiceAdministrator() {
  const uid_t self = geteuid();
  if (self == 0)
    return true;
  uid_t owner = 0;
  return MachineOwner(&owner) && owner != 0 && owner == self;
}

bool PrepareServiceDirectories() {
  if (!MakeDirectory(RunDirectory()) || !MakeDirectory(ScmRunDirectory()))
    return false;
  const KeyPath services = ServicePath("");
  const Win32Error status = RunInRegistryStore(true, [&](StoreSession& store) {
    EnsureKey(store, services);
    return kErrorSuccess;
  });
  return status == kErrorSuccess || Fail(status);
}

bool CheckServiceDirectories() {
  for (const std::string& path : {RunDirectory(), ScmRunDirectory()}) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
      return Fail(kErrorServiceDoesNotExist);
    if (!CheckDirectory(path))
      return false;
  }
  return true;
}

bool IsValidServiceName(const std::u16string& name) {
  if (name.empty() || name.size() > kMaxServiceNameLength || name == u"." || name == u"..")
    return false;
  return name.find_first_of(std::u16string(u"/\\\0", 3)) == std::u16string::npos;
}

bool FindServiceRecord(const std::u16string& name, std::string* recordName) {
  if (!IsValidServiceName(name))
    return Fail(kErrorServiceDoesNotExist);
  if (!CheckServiceDirectories())
    return false;
  const std::u16string services = FoldedKeyPath(ServicePath(""));
  const std::u16string wanted = FoldKeyName(name);
  std::u16string found;
  const Win32Error status = RunInRegistryStore(false, [&](StoreSession& store) {
    for (std::uint32_t index = 0;; ++index) {
      const std::optional<std::u16string> subKey = store.SubKeyAt(services, index);
      if (!subKey)
        return kErrorServiceDoesNotExist;
      if (FoldKeyName(*subKey) == wanted) {
        found = *subKey;
        return kErrorSuccess;
      }
    }
  });
  if (status != kErrorSuccess)
    return Fail(status);
  *recordName = WideToMultiByteUtf8(found);
  return true;
}

bool CreateServiceRecord(const std::string& recordName, const ServiceRecordConfig& config) {
  const KeyPath path = ServicePath(recordName);
  const std::u16string key = FoldedKeyPath(path);
  const Win32Error status = RunInRegistryStore(true, [&](StoreSession& store) {
    if (store.KeyExists(key))
      return kErrorServiceExists;
    EnsureKey(store, path);
    WriteConfigValues(store, key, config);
    return kErrorSuccess;
  });
  if (status != kErrorSuccess)
    return Fail(status);
  ServiceRecordStatus stopped;
  stopped.status.serviceType = config.config.serviceType;
  stopped.status.currentState = kServiceStopped;
  if (!WriteServiceStatus(recordName, stopped)) {
    const Win32Error saved = LastError();
    RemoveServiceRecord(recordName);
    return Fail(saved);
  }
  return true;
}

bool RemoveServiceRecord(const std::string& recordName) {
  const std::u16string key = FoldedKeyPath(ServicePath(recordName));
  const Win32Error status = RunInRegistryStore(true, [&](StoreSession& store) {
    if (store.KeyExists(key))
      store.DeleteTree(key, /*withKey=*/true);
    return kErrorSuccess;
  });
  unlink(StatusPath(recordName).c_str());
  return status == kErrorSuccess || Fail(status);
}

bool ReadServiceConfig(const std::string& recordName, ServiceRecordConfig* config) {
  return WithServiceKey(recordName, false, [&](StoreSession& store, const std::u16string& key) {
    *config = ServiceRecordConfig();
    config->config.serviceType = DwordOf(store.Value(key, u"Type"));
    config->config.startType = DwordOf(store.Value(key, u"Start"));
    config->config.errorControl = DwordOf(store.Value(key, u"ErrorControl"));
    if (const auto value = store.Value(key, u"ImagePath"))
      config->config.binaryPath = StringOf(*value);
    if (const auto value = store.Value(key, u"DisplayName"))
      config->config.displayName = StringOf(*value);
    if (const auto value = store.Value(key, u"Description"))
      config->description = StringOf(*value);
    if (const auto value = store.Value(key, u"FailureActions"))
      ReadFailureActions(*value, config);
  });
}

bool WriteServiceConfig(const std::string& recordName, const ServiceRecordConfig& config) {
  return WithServiceKey(recordName, true, [&](StoreSession& store, const std::u16string& key) {
    WriteConfigValues(store, key, config);
  });
}

bool ReadServiceStatus(const std::string& recordName, ServiceRecordStatus* status) {
  *status = ServiceRecordStatus();
  status->status.serviceType = kServiceWin32OwnProcess;
  status->status.currentState = kServiceStopped;
  if (!CheckServiceDirectories())
    return LastError() == kErrorServiceDoesNotExist;  // nothing ever reported: stopped
  std::string bytes;
  if (!ReadSmallFile(StatusPath(recordName), &bytes))
    return LastError() == kErrorFileNotFound;  // not yet reported: stopped
  return ParseStatus(bytes, status) || Fail(kErrorInvalidData);
}

bool WriteServiceStatus(const std::string& recordName, const ServiceRecordStatus& status) {
  bool exists = false;
  if (!WithServiceKey(recordName, false,
                      [&](StoreSession&, const std::u16string&) { exists = true; })) {
    return false;
  }
  return exists && CheckServiceDirectories() &&
         WriteFileAtomically(StatusPath(recordName), FormatStatus(status));
}

bool CurrentServiceStatus(const std::string& recordName, ServiceStatus* status) {
  ServiceRecordStatus record;
  if (!ReadServiceStatus(recordName, &record))
    return false;
  if (record.status.currentState != kServiceStopped &&
      !ProcessAlive(static_cast<pid_t>(record.status.processId), record.processStartTime)) {
    // The process may have reported its end and exited between the read and the check:
    // what it wrote last before exiting is read again now that it is gone.
    if (!ReadServiceStatus(recordName, &record))
      return false;
  }
  *status = record.status;
  if (status->currentState != kServiceStopped &&
      !ProcessAlive(static_cast<pid_t>(status->processId), record.processStartTime)) {
    status->currentState = kServiceStopped;
    status->controlsAccepted = 0;
    status->win32ExitCode = kErrorProcessAborted;
    status->checkPoint = 0;
    status->waitHint = 0;
  }
  if (status->currentState == kServiceStopped)
    status->processId = 0;
  return true;
}

bool IsMarkedForDelete(const std::string& recordName) {
  bool marked = false;
  return WithServiceKey(recordName, false,
                        [&](StoreSession& store, const std::u16string& key) {
                          marked = DwordOf(store.Value(key, u"DeleteFlag")) == 1;
                        }) &&
         marked;
}

bool MarkForDelete(const std::string& recordName) {
  return WithServiceKey(recordName, true, [&](StoreSession& store, const std::u16string& key) {
    store.SetValue(key, Dword(u"DeleteFlag", 1));
  });
}

bool ProcessAlive(pid_t pid, std::uint64_t startTime) {
  if (pid <= 0)
    return false;
  ProcStat stat;
  if (!ReadProcStat(pid, &stat)) {
    if (access("/proc/self/stat", R_OK) == 0)
      return false;  // /proc is there and the process is not
    return kill(pid, 0) == 0 || errno == EPERM;
  }
  if (stat.state == 'Z' || stat.state == 'X')
    return false;
  return startTime == 0 || stat.startTime == startTime;
}

std::uint64_t ProcessStartTime(pid_t pid) {
  ProcStat stat;
  return ReadProcStat(pid, &stat) ? stat.startTime : 0;
}

ServiceManagerLock::ServiceManagerLock() {
  const std::string path = ScmRunDirectory();
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    FailErrno(errno, path);
    return;
  }
  while (flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      FailErrno(errno, path);
      return;
    }
  }
  fd_ = fd.release();
}

ServiceManagerLock::~ServiceManagerLock() {
  if (fd_ >= 0) {
    flock(fd_, LOCK_UN);
    close(fd_);
  }
}

}  // namespace vovu::platform::host
