// The update host (tools/update_host) as a child process of a test: started on one address,
// port 443, with a certificate, serving a directory and following a script that the test may
// rewrite between requests. Its log is read back line by line; held connections are
// released through its standard input.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vovu::testing {

class UpdateHostServer {
 public:
  UpdateHostServer() = default;
  ~UpdateHostServer();  // stops the server and waits for it
  UpdateHostServer(const UpdateHostServer&) = delete;
  UpdateHostServer& operator=(const UpdateHostServer&) = delete;

  // Starts the server and waits until it reports that it listens. False with the reason
  // (and the server stopped) otherwise.
  [[nodiscard]] bool Start(const std::string& address, const std::filesystem::path& cert,
                           const std::filesystem::path& key, const std::filesystem::path& root,
                           const std::filesystem::path& script, std::string* reason);

  // Waits for a log line starting with `prefix` after the last one this found; false when
  // the log ends first or nothing comes for 30 s.
  [[nodiscard]] bool WaitForLine(const std::string& prefix);

  // The request lines ("request GET /path") logged since the last call, without waiting.
  // The server logs a request before answering it, so every request a client has had an
  // answer to is there.
  [[nodiscard]] std::vector<std::string> TakeRequests();

  // Releases the connections held at this moment.
  void Release();

 private:
  bool ReadLine(int timeoutMs, std::string* line);
  void Stop();

  pid_t pid_ = -1;
  int input_ = -1;                // the server's standard input
  int output_ = -1;               // its standard output (the log)
  std::string pending_;           // bytes read after the last complete line
  std::vector<std::string> log_;  // every complete line so far
  std::size_t waitCursor_ = 0;    // WaitForLine looks from here
  std::size_t takeCursor_ = 0;    // TakeRequests reports from here
};

}  // namespace vovu::testing
