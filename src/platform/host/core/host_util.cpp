#include "platform/host/core/host_util.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "platform/files.h"

namespace vovu::platform::host {
namespace {
constexpr std::uint32_t kReadChunk = 1u << 20;
char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
}  // namespace

int AboveStdio(int fd) {
  if (fd < 0 || fd > 2)
    return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int err = errno;
  close(fd);
  errno = err;
  return moved;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = read(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i]))
      return false;
  }
  return true;
}

bool ReadWholeFile(const std::u16string& path, std::vector<std::uint8_t>* bytes,
                   std::int64_t maxSize) {
  FileHandle file = OpenFileForRead(path, kShareRead);
  if (!file)
    return false;
  std::int64_t size = 0;
  if (!GetFileSize(file, &size))
    return false;
  if (size < 0 || size > maxSize) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return false;
  }
  bytes->assign(static_cast<std::size_t>(size), 0);
  std::size_t filled = 0;
  while (filled < bytes->size()) {
    const auto want =
        static_cast<std::uint32_t>(std::min<std::size_t>(kReadChunk, bytes->size() - filled));
    std::uint32_t got = 0;
    if (!ReadFromFile(file, bytes->data() + filled, want, &got))
      return false;
    if (got == 0)
      break;
    filled += got;
  }
  bytes->resize(filled);
  return true;
}

std::vector<char*> ExecPointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings)
    pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

void PrepareChildForExec() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  for (int signo : {SIGTERM, SIGPWR, SIGINT, SIGHUP, SIGPIPE, SIGCHLD})
    sigaction(signo, &defaults, nullptr);
  const int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2)
      close(null);
  }
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
}

}  // namespace vovu::platform::host
