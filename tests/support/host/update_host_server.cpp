#include "support/host/update_host_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace vovu::testing {

UpdateHostServer::~UpdateHostServer() {
  Stop();
}

void UpdateHostServer::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  if (input_ >= 0)
    close(input_);
  if (output_ >= 0)
    close(output_);
  input_ = output_ = -1;
}

bool UpdateHostServer::Start(const std::string& address, const std::filesystem::path& cert,
                             const std::filesystem::path& key, const std::filesystem::path& root,
                             const std::filesystem::path& script, std::string* reason) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    *reason = "pipe failed";
    return false;
  }
  const std::vector<std::string> words = {VOVU_UPDATE_HOST_TOOL_PATH,
                                          "--root",
                                          root.string(),
                                          "--cert",
                                          cert.string(),
                                          "--key",
                                          key.string(),
                                          "--address",
                                          address,
                                          "--port",
                                          "443",
                                          "--script",
                                          script.string()};
  std::vector<char*> argv;
  for (const std::string& word : words)
    argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_ = out[0];
  if (pid_ < 0 || !WaitForLine("listening ")) {
    *reason = "update-host did not start on " + address + ":443";
    Stop();
    return false;
  }
  return true;
}

bool UpdateHostServer::ReadLine(int timeoutMs, std::string* line) {
  for (;;) {
    const std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      *line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return true;
    }
    pollfd p{output_, POLLIN, 0};
    const int ready = poll(&p, 1, timeoutMs);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return false;
    char buffer[4096];
    const ssize_t n = read(output_, buffer, sizeof buffer);
    if (n <= 0)
      return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

bool UpdateHostServer::WaitForLine(const std::string& prefix) {
  for (;;) {
    while (waitCursor_ < log_.size()) {
      if (log_[waitCursor_++].rfind(prefix, 0) == 0)
        return true;
    }
    std::string line;
    if (!ReadLine(30000, &line))
      return false;
    log_.push_back(line);
  }
}

std::vector<std::string> UpdateHostServer::TakeRequests() {
  for (std::string line; ReadLine(0, &line);)
    log_.push_back(line);
  std::vector<std::string> requests;
  for (; takeCursor_ < log_.size(); ++takeCursor_) {
    if (log_[takeCursor_].rfind("request ", 0) == 0)
      requests.push_back(log_[takeCursor_]);
  }
  return requests;
}

void UpdateHostServer::Release() {
  const char newline = '\n';
  (void)!write(input_, &newline, 1);
}

}  // namespace vovu::testing
