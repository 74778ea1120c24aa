// An ordinary static web server of the host's distribution (nginx), started by a test to
// serve a directory over HTTPS, as a vendor's own web server would serve its updates.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace vovu::testing {

class StaticWebServer {
 public:
  StaticWebServer() = default;
  ~StaticWebServer();  // stops the server and waits for it
  StaticWebServer(const StaticWebServer&) = delete;
  StaticWebServer& operator=(const StaticWebServer&) = delete;

  // Whether the host has the server program at all.
  [[nodiscard]] static bool Installed();

  // Serves the files under `root` on https://`address`:443 with `cert` and `key`, keeping its
  // configuration, logs and temporary files in `work` (made here). Returns once the server
  // listens (it writes its pid file only after binding its socket); false with the reason and
  // nothing left running otherwise.
  [[nodiscard]] bool Start(const std::string& address, const std::filesystem::path& cert,
                           const std::filesystem::path& key, const std::filesystem::path& root,
                           const std::filesystem::path& work, std::string* reason);

  // The server's access log so far: one line per request, "<method> <path> <status>".
  [[nodiscard]] std::string AccessLog() const;

 private:
  pid_t pid_ = -1;
  std::filesystem::path work_;
};

}  // namespace vovu::testing
