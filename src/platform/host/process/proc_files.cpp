#include "platform/host/process/proc_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <charconv>
#include <sstream>

#include "platform/host/core/unique_fd.h"

namespace vovu::platform::host {
namespace {

std::string ProcPath(pid_t pid, const char* file) {
  return "/proc/" + std::to_string(pid) + "/" + file;
}

// The whole of a /proc file (their sizes are not known in advance).
bool ReadProcFile(const std::string& path, std::string* text) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid())
    return false;
  text->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    text->append(buffer, static_cast<std::size_t>(n));
  }
}

template <typename Number>
bool ToNumber(const std::string& text, Number* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool ReadProcStat(pid_t pid, ProcStat* stat) {
  std::string text;
  if (!ReadProcFile(ProcPath(pid, "stat"), &text))
    return false;
  // The command name in parentheses may hold blanks and parentheses itself: the fields
  // start after the last ')'.
  const std::size_t paren = text.rfind(')');
  if (paren == std::string::npos)
    return false;
  std::istringstream fields(text.substr(paren + 1));
  std::string field;
  bool haveSession = false;
  for (int index = 0; fields >> field; ++index) {
    if (index == 0) {
      stat->state = field.empty() ? '?' : field[0];
    } else if (index == 3) {
      haveSession = ToNumber(field, &stat->session);
    } else if (index == 19) {
      return haveSession && ToNumber(field, &stat->startTime);
    }
  }
  return false;
}

bool ReadProcStatus(pid_t pid, ProcStatus* status) {
  std::string text;
  if (!ReadProcFile(ProcPath(pid, "status"), &text))
    return false;
  bool haveUid = false;
  bool haveGid = false;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos)
      continue;
    const std::string key = line.substr(0, colon);
    std::istringstream fields(line.substr(colon + 1));
    unsigned long real = 0, effective = 0;
    if (key == "Name") {
      const std::size_t start = line.find_first_not_of(" \t", colon + 1);
      status->name = start == std::string::npos ? std::string() : line.substr(start);
    } else if (key == "Uid" && (fields >> real >> effective)) {
      status->uid = static_cast<uid_t>(effective);
      haveUid = true;
    } else if (key == "Gid" && (fields >> real >> effective)) {
      status->gid = static_cast<gid_t>(effective);
      haveGid = true;
    } else if (key == "Groups") {
      unsigned long group = 0;
      while (fields >> group)
        status->groups.push_back(static_cast<gid_t>(group));
    }
  }
  return haveUid && haveGid;
}

bool ListProcessIds(std::vector<pid_t>* pids) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr)
    return false;
  pids->clear();
  while (const dirent* entry = readdir(proc)) {
    const std::string name = entry->d_name;
    pid_t pid = 0;
    if (ToNumber(name, &pid) && pid > 0)
      pids->push_back(pid);
  }
  closedir(proc);
  return true;
}

bool ReadProcExecutable(pid_t pid, std::string* path) {
  std::string buffer(PATH_MAX, '\0');
  const ssize_t n = readlink(ProcPath(pid, "exe").c_str(), buffer.data(), buffer.size());
  if (n <= 0)
    return false;
  buffer.resize(static_cast<std::size_t>(n));
  constexpr char kDeleted[] = " (deleted)";
  constexpr std::size_t kDeletedLength = sizeof kDeleted - 1;
  if (buffer.size() > kDeletedLength &&
      buffer.compare(buffer.size() - kDeletedLength, kDeletedLength, kDeleted) == 0) {
    buffer.resize(buffer.size() - kDeletedLength);
  }
  *path = buffer;
  return true;
}

bool ReadProcEnvironment(pid_t pid, const std::string& name, std::string* value) {
  std::string text;
  if (!ReadProcFile(ProcPath(pid, "environ"), &text))
    return false;
  const std::string prefix = name + "=";
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string::npos)
      end = text.size();
    if (text.compare(start, prefix.size(), prefix) == 0) {
      *value = text.substr(start + prefix.size(), end - start - prefix.size());
      return true;
    }
    start = end + 1;
  }
  return false;
}

}  // namespace vovu::platform::host
