#include "platform/host/scm/service_records.h"
#include "platform/host/core/host_util.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <sstream>

#include "platform/host/core/machine_root.h"
#include "platform/text_codec.h"

namespace vovu::platform::host {
namespace {

constexpr Win32Error kErrorProcessAborted = 1067;
constexpr std::size_t kMaxServiceNameLength = 256;

bool Fail(Win32Error code) {
  SetLastErrorCode(code);
  return false;
}

bool FailErrno(int err, const std::string& path) {
  return Fail(Win32ErrorFromErrno(err, path));
}

std::string ScmDirectory() {
  return MachineRoot() + "/scm";
}
std::string ServicesDirectory() {
  return ScmDirectory() + "/services";
}
// Where records are assembled before they appear and taken apart after they disappear.
std::string StagingDirectory() {
  return ScmDirectory() + "/staging";
}
std::string RecordPath(const std::string& recordName) {
  return ServicesDirectory() + "/" + recordName;
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

// A manager directory is trusted when it is a plain directory of a trusted owner that no
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

// Values are one line each: '%', CR and LF are written as %25, %0D and %0A.
std::string Escape(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '%')
      out += "%25";
    else if (c == '\n')
      out += "%0A";
    else if (c == '\r')
      out += "%0D";
    else
      out += c;
  }
  return out;
}

std::string Unescape(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size()) {
      const std::string code = value.substr(i + 1, 2);
      if (code == "25" || code == "0A" || code == "0D") {
        out += code == "25" ? '%' : (code == "0A" ? '\n' : '\r');
        i += 2;
        continue;
      }
    }
    out += value[i];
  }
  return out;
}

std::string Utf8(const std::u16string& text) {
  return WideToMultiByteUtf8(text);
}
std::u16string Wide(const std::string& text) {
  return MultiByteUtf8ToWide(text.data(), text.size());
}

template <typename Number>
Number ToNumber(const std::string& text) {
  Number value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// "key=value" lines into (key, unescaped value) pairs; other lines are ignored.
std::vector<std::pair<std::string, std::string>> ParseLines(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos)
      entries.emplace_back(line.substr(0, equals), Unescape(line.substr(equals + 1)));
  }
  return entries;
}

bool ReadWholeFile(const std::string& path, std::string* content) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return FailErrno(errno, path);
  content->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      const int err = errno;
      close(fd);
      return FailErrno(err, path);
    }
    if (n == 0)
      break;
    content->append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return true;
}

// Writes `content` to a temporary file beside `path` and renames it over `path`, so a
// reader sees the old or the new file, never a part of one.
bool WriteFileAtomically(const std::string& path, const std::string& content) {
  static std::atomic<unsigned> counter{0};
  const std::string temporary =
      path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0)
    return FailErrno(errno, temporary);
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      const int err = errno;
      close(fd);
      unlink(temporary.c_str());
      return FailErrno(err, temporary);
    }
    done += static_cast<std::size_t>(n);
  }
  if (fchmod(fd, 0644) != 0 || fsync(fd) != 0) {
    const int err = errno;
    close(fd);
    unlink(temporary.c_str());
    return FailErrno(err, temporary);
  }
  close(fd);
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const int err = errno;
    unlink(temporary.c_str());
    return FailErrno(err, path);
  }
  return true;
}

std::string FormatConfig(const ServiceRecordConfig& record) {
  std::ostringstream out;
  out << "type=" << record.config.serviceType << "\n"
      << "start=" << record.config.startType << "\n"
      << "error=" << record.config.errorControl << "\n"
      << "binary=" << Escape(Utf8(record.config.binaryPath)) << "\n"
      << "display=" << Escape(Utf8(record.config.displayName)) << "\n"
      << "description=" << Escape(Utf8(record.description)) << "\n"
      << "reset=" << record.resetPeriodSeconds << "\n"
      << "actions=";
  for (std::size_t i = 0; i < record.failureActions.size(); ++i) {
    out << (i == 0 ? "" : ",") << record.failureActions[i].type << ":"
        << record.failureActions[i].delayMs;
  }
  out << "\n";
  return out.str();
}

void ParseActions(const std::string& text, std::vector<ServiceFailureAction>* actions) {
  actions->clear();
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const std::size_t colon = item.find(':');
    if (colon == std::string::npos)
      continue;
    actions->push_back(ServiceFailureAction{ToNumber<std::uint32_t>(item.substr(0, colon)),
                                            ToNumber<std::uint32_t>(item.substr(colon + 1))});
  }
}

std::string FormatStatus(const ServiceRecordStatus& record) {
  const ServiceStatus& s = record.status;
  std::ostringstream out;
  out << "type=" << s.serviceType << "\n"
      << "state=" << s.currentState << "\n"
      << "controls=" << s.controlsAccepted << "\n"
      << "exit=" << s.win32ExitCode << "\n"
      << "specific=" << s.serviceSpecificExitCode << "\n"
      << "checkpoint=" << s.checkPoint << "\n"
      << "waithint=" << s.waitHint << "\n"
      << "pid=" << s.processId << "\n"
      << "started=" << record.processStartTime << "\n";
  return out.str();
}

// The state letter and start time of /proc/<pid>/stat.
bool ReadProcessStat(pid_t pid, char* state, std::uint64_t* startTime) {
  std::string text;
  const Win32Error saved = LastError();
  const bool read = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", &text);
  SetLastErrorCode(saved);
  if (!read)
    return false;
  const std::size_t paren = text.rfind(')');
  if (paren == std::string::npos)
    return false;
  std::istringstream fields(text.substr(paren + 1));
  std::string field;
  for (int index = 0; index <= 19 && fields >> field; ++index) {
    if (index == 0)
      *state = field.empty() ? '?' : field[0];
    if (index == 19) {
      *startTime = ToNumber<std::uint64_t>(field);
      return true;
    }
  }
  return false;
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
  return MakeDirectory(ScmDirectory()) && MakeDirectory(ServicesDirectory()) &&
         MakeDirectory(StagingDirectory());
}

bool CheckServiceDirectories() {
  for (const std::string& path : {ScmDirectory(), ServicesDirectory()}) {
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
  const std::string wanted = Utf8(name);
  DIR* dir = opendir(ServicesDirectory().c_str());
  if (dir == nullptr)
    return FailErrno(errno, ServicesDirectory());
  bool found = false;
  while (dirent* entry = readdir(dir)) {
    const std::string entryName = entry->d_name;
    if (entryName == "." || entryName == ".." || !host::EqualIgnoringAsciiCase(entryName, wanted))
      continue;
    struct stat st;
    if (lstat(RecordPath(entryName).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      *recordName = entryName;
      found = true;
      break;
    }
  }
  closedir(dir);
  return found || Fail(kErrorServiceDoesNotExist);
}

bool CreateServiceRecord(const std::string& recordName, const ServiceRecordConfig& config) {
  static std::atomic<unsigned> counter{0};
  const std::string staged =
      StagingDirectory() + "/new." + std::to_string(getpid()) + "." + std::to_string(counter++);
  if (mkdir(staged.c_str(), 0755) != 0)
    return FailErrno(errno, staged);
  ServiceRecordStatus stopped;
  stopped.status.serviceType = config.config.serviceType;
  stopped.status.currentState = kServiceStopped;
  bool ok = chmod(staged.c_str(), 0755) == 0 || FailErrno(errno, staged);
  ok = ok && WriteFileAtomically(staged + "/config", FormatConfig(config)) &&
       WriteFileAtomically(staged + "/status", FormatStatus(stopped));
  if (ok && renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, RecordPath(recordName).c_str(),
                      RENAME_NOREPLACE) != 0) {
    ok = Fail(errno == EEXIST ? kErrorServiceExists
                              : Win32ErrorFromErrno(errno, RecordPath(recordName)));
  }
  if (!ok) {
    const Win32Error saved = LastError();
    unlink((staged + "/config").c_str());
    unlink((staged + "/status").c_str());
    rmdir(staged.c_str());
    SetLastErrorCode(saved);
  }
  return ok;
}

bool RemoveServiceRecord(const std::string& recordName) {
  static std::atomic<unsigned> counter{0};
  const std::string doomed =
      StagingDirectory() + "/old." + std::to_string(getpid()) + "." + std::to_string(counter++);
  if (rename(RecordPath(recordName).c_str(), doomed.c_str()) != 0)
    return errno == ENOENT || FailErrno(errno, RecordPath(recordName));
  if (DIR* dir = opendir(doomed.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..")
        unlink((doomed + "/" + name).c_str());
    }
    closedir(dir);
  }
  rmdir(doomed.c_str());
  return true;
}

bool ReadServiceConfig(const std::string& recordName, ServiceRecordConfig* config) {
  std::string text;
  if (!ReadWholeFile(RecordPath(recordName) + "/config", &text))
    return Fail(kErrorServiceDoesNotExist);
  *config = ServiceRecordConfig();
  for (const auto& [key, value] : ParseLines(text)) {
    if (key == "type")
      config->config.serviceType = ToNumber<std::uint32_t>(value);
    else if (key == "start")
      config->config.startType = ToNumber<std::uint32_t>(value);
    else if (key == "error")
      config->config.errorControl = ToNumber<std::uint32_t>(value);
    else if (key == "binary")
      config->config.binaryPath = Wide(value);
    else if (key == "display")
      config->config.displayName = Wide(value);
    else if (key == "description")
      config->description = Wide(value);
    else if (key == "reset")
      config->resetPeriodSeconds = ToNumber<std::uint32_t>(value);
    else if (key == "actions")
      ParseActions(value, &config->failureActions);
  }
  return true;
}

bool WriteServiceConfig(const std::string& recordName, const ServiceRecordConfig& config) {
  return WriteFileAtomically(RecordPath(recordName) + "/config", FormatConfig(config));
}

bool ReadServiceStatus(const std::string& recordName, ServiceRecordStatus* status) {
  *status = ServiceRecordStatus();
  status->status.serviceType = kServiceWin32OwnProcess;
  status->status.currentState = kServiceStopped;
  std::string text;
  if (!ReadWholeFile(RecordPath(recordName) + "/status", &text)) {
    struct stat st;
    if (lstat(RecordPath(recordName).c_str(), &st) != 0)
      return Fail(kErrorServiceDoesNotExist);
    return LastError() == kErrorFileNotFound;  // not yet reported: stopped
  }
  ServiceStatus& s = status->status;
  for (const auto& [key, value] : ParseLines(text)) {
    const std::uint32_t number = ToNumber<std::uint32_t>(value);
    if (key == "type")
      s.serviceType = number;
    else if (key == "state")
      s.currentState = number;
    else if (key == "controls")
      s.controlsAccepted = number;
    else if (key == "exit")
      s.win32ExitCode = number;
    else if (key == "specific")
      s.serviceSpecificExitCode = number;
    else if (key == "checkpoint")
      s.checkPoint = number;
    else if (key == "waithint")
      s.waitHint = number;
    else if (key == "pid")
      s.processId = number;
    else if (key == "started")
      status->processStartTime = ToNumber<std::uint64_t>(value);
  }
  return true;
}

bool WriteServiceStatus(const std::string& recordName, const ServiceRecordStatus& status) {
  struct stat st;
  if (lstat(RecordPath(recordName).c_str(), &st) != 0)
    return Fail(kErrorServiceDoesNotExist);
  return WriteFileAtomically(RecordPath(recordName) + "/status", FormatStatus(status));
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
  struct stat st;
  return lstat((RecordPath(recordName) + "/delete-pending").c_str(), &st) == 0;
}

bool MarkForDelete(const std::string& recordName) {
  const std::string path = RecordPath(recordName) + "/delete-pending";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0)
    return FailErrno(errno, path);
  close(fd);
  return true;
}

bool ProcessAlive(pid_t pid, std::uint64_t startTime) {
  if (pid <= 0)
    return false;
  char state = '?';
  std::uint64_t started = 0;
  if (!ReadProcessStat(pid, &state, &started)) {
    if (access("/proc/self/stat", R_OK) == 0)
      return false;  // /proc is there and the process is not
    return kill(pid, 0) == 0 || errno == EPERM;
  }
  if (state == 'Z' || state == 'X')
    return false;
  return startTime == 0 || started == startTime;
}

std::uint64_t ProcessStartTime(pid_t pid) {
  char state = '?';
  std::uint64_t started = 0;
  return ReadProcessStat(pid, &state, &started) ? started : 0;
}

ServiceManagerLock::ServiceManagerLock() {
  const std::string path = ScmDirectory();
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    FailErrno(errno, path);
    return;
  }
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const int err = errno;
      close(fd);
      FailErrno(err, path);
      return;
    }
  }
  fd_ = fd;
}

ServiceManagerLock::~ServiceManagerLock() {
  if (fd_ >= 0) {
    flock(fd_, LOCK_UN);
    close(fd_);
  }
}

}  // namespace vovu::platform::host
