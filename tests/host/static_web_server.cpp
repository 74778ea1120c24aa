#include "static_web_server.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "support/host/installed_service.h"

namespace vovu::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kProgram[] = "/usr/sbin/nginx";

// One process, in the foreground, as root (no worker switching to another user), every file
// under `work`; the files under `root` as they are, nothing else answered.
std::string Configuration(const std::string& address, const fs::path& cert, const fs::path& key,
                          const fs::path& root, const fs::path& work) {
  std::ostringstream text;
  text << "daemon off;\nmaster_process off;\npid " << (work / "nginx.pid").string() << ";\n"
       << "error_log " << (work / "error.log").string() << " info;\n"
       << "events { worker_connections 64; }\n"
       << "http {\n"
       << "  log_format plain '$request_method $uri $status';\n"
       << "  access_log " << (work / "access.log").string() << " plain;\n"
       << "  client_body_temp_path " << (work / "body").string() << ";\n"
       << "  types { application/json json; application/zip zip; }\n"
       << "  default_type application/octet-stream;\n"
       << "  server {\n"
       << "    listen " << address << ":443 ssl;\n"
       << "    ssl_certificate " << cert.string() << ";\n"
       << "    ssl_certificate_key " << key.string() << ";\n"
       << "    root " << root.string() << ";\n"
       << "  }\n"
       << "}\n";
  return text.str();
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace

bool StaticWebServer::Installed() {
  return fs::exists(kProgram);
}

bool StaticWebServer::Start(const std::string& address, const fs::path& cert, const fs::path& key,
                            const fs::path& root, const fs::path& work, std::string* reason) {
  work_ = work;
  fs::create_directories(work);
  {
    std::ofstream conf(work / "nginx.conf", std::ios::trunc);
    conf << Configuration(address, cert, key, root, work);
  }
  const std::string prefix = work.string() + "/";
  const std::string errors = (work / "error.log").string();
  const std::string conf = (work / "nginx.conf").string();
  std::vector<std::string> words{kProgram, "-p", prefix, "-e", errors, "-c", conf};
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  char* envp[] = {nullptr};
  if (posix_spawn(&pid_, kProgram, nullptr, nullptr, argv.data(), envp) != 0) {
    pid_ = -1;
    *reason = "cannot start nginx";
    return false;
  }
  // Listening, or ended (a configuration it refuses): whichever comes first.
  bool ended = false;
  const bool listening = WaitForChangeIn({work.string()}, [&] {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      ended = true;
      pid_ = -1;
      return true;
    }
    return fs::exists(work / "nginx.pid");
  });
  if (listening && !ended)
    return true;
  *reason = "nginx did not start: " + ReadWhole(work / "error.log");
  return false;
}

std::string StaticWebServer::AccessLog() const {
  return ReadWhole(work_ / "access.log");
}

StaticWebServer::~StaticWebServer() {
  if (pid_ <= 0)
    return;
  kill(pid_, SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace vovu::testing
