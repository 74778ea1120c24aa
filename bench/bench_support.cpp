#include "bench_support.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "support/host/private_network.h"

namespace vovu::bench {

namespace fs = std::filesystem;

bool EnterPrivateNetwork() {
  // Kept for the whole run: the children started afterwards share the namespace.
  static testing::PrivateNetwork network;
  std::string reason;
  if (!network.Enter(&reason)) {
    std::fprintf(stderr, "%s\n", reason.c_str());
    return false;
  }
  return true;
}

void MakeFile(const fs::path& path, std::size_t mib, unsigned seed) {
  std::vector<char> block(1 << 20);
  unsigned state = seed;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (std::size_t i = 0; i < mib; ++i) {
    for (char& c : block) {
      state = state * 1103515245u + 12345u;
      c = static_cast<char>(state >> 24);
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

int Run(const std::vector<std::string>& words, double* seconds, long* maxRssKiB) {
  std::vector<char*> argv;
  for (const std::string& word : words)
    argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  *maxRssKiB = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool MakeCertificates(const fs::path& top, const std::string& host, bool signer) {
  const std::string req =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 ";
  std::string command =
      "cd '" + top.string() + "' && " + req +
      "-subj /CN=ca -keyout ca.key -out ca.pem -addext basicConstraints=critical,CA:TRUE "
      "-addext keyUsage=critical,keyCertSign && " +
      req + "-subj /CN=" + host + " -CA ca.pem -CAkey ca.key -addext subjectAltName=DNS:" + host +
      " -keyout server.key -out server.pem";
  if (signer) {
    command += " && " + req +
               "-subj /CN=signer -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE "
               "-addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning "
               "-keyout signer.key -out signer.pem";
  }
  if (std::system(("(" + command + ") >/dev/null 2>&1").c_str()) != 0) {
    std::fprintf(stderr, "openssl could not make the certificates\n");
    return false;
  }
  return true;
}

pid_t StartUpdateHost(const char* tool, const fs::path& top, const std::string& host,
                      const std::string& url) {
  const pid_t server = fork();
  if (server == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    execl(tool, tool, "--root", (top / "www").c_str(), "--cert", (top / "server.pem").c_str(),
          "--key", (top / "server.key").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // curl retries a refused connection until the server listens.
  double seconds = 0;
  long rss = 0;
  Run({"curl", "-sS", "--retry", "50", "--retry-connrefused", "--retry-delay", "0", "--cacert",
       (top / "ca.pem").string(), "--resolve", host + ":443:127.0.0.1", "-o", "/dev/null", "-r",
       "0-0", url},
      &seconds, &rss);
  return server;
}

void StopUpdateHost(pid_t server) {
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
}

}  // namespace vovu::bench
