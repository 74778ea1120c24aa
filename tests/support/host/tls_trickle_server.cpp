#include "support/host/tls_trickle_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace vovu::testing {

TlsTrickleServer::~TlsTrickleServer() {
  Stop();
}

bool TlsTrickleServer::Start(const std::string& address, const std::filesystem::path& cert,
                             const std::filesystem::path& key, std::string quick,
                             std::string trickled, int intervalMs, std::string* reason) {
  quick_ = std::move(quick);
  trickled_ = std::move(trickled);
  intervalMs_ = intervalMs;
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  context_ = context;
  if (context == nullptr || SSL_CTX_use_certificate_chain_file(context, cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    *reason = "cannot load the server certificate";
    return false;
  }
  if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
    *reason = "pipe failed";
    return false;
  }
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(443);
  if (listener_ < 0 || inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1 ||
      bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      listen(listener_, 8) != 0) {
    *reason = "cannot listen on " + address + ":443";
    return false;
  }
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void TlsTrickleServer::Stop() {
  if (stopPipe_[1] >= 0)
    (void)write(stopPipe_[1], "x", 1);
  if (thread_.joinable())
    thread_.join();
  for (int* fd : {&listener_, &stopPipe_[0], &stopPipe_[1]}) {
    if (*fd >= 0)
      close(*fd);
    *fd = -1;
  }
  SSL_CTX_free(static_cast<SSL_CTX*>(context_));
  context_ = nullptr;
}

bool TlsTrickleServer::Pause(int ms) {
  pollfd stop{stopPipe_[0], POLLIN, 0};
  return poll(&stop, 1, ms) == 0;
}

bool TlsTrickleServer::WaitForRequests(int count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return requests_ >= count; });
}

int TlsTrickleServer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void TlsTrickleServer::Serve() {
  // A client that has gone makes a write fail with EPIPE rather than end the test process.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
  for (;;) {
    pollfd fds[2] = {{stopPipe_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || (fds[0].revents & POLLIN) != 0)
      return;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
      continue;
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
    SSL_set_fd(ssl, client);
    std::string head;
    bool ok = SSL_accept(ssl) == 1;
    while (ok && head.find("\r\n\r\n") == std::string::npos) {
      char buffer[1024];
      const int n = SSL_read(ssl, buffer, sizeof buffer);
      ok = n > 0;
      if (ok)
        head.append(buffer, static_cast<std::size_t>(n));
    }
    if (ok) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++requests_;
      }
      changed_.notify_all();
      ok = quick_.empty() || SSL_write(ssl, quick_.data(), static_cast<int>(quick_.size())) > 0;
      for (std::size_t i = 0; ok && i < trickled_.size(); ++i) {
        ok = Pause(intervalMs_) && SSL_write(ssl, &trickled_[i], 1) > 0;
      }
      // Held until the client goes or the server stops.
      pollfd fds2[2] = {{stopPipe_[0], POLLIN, 0}, {client, POLLIN | POLLRDHUP, 0}};
      while (ok && poll(fds2, 2, -1) > 0 && (fds2[0].revents & POLLIN) == 0) {
        char buffer[256];
        if (SSL_read(ssl, buffer, sizeof buffer) <= 0)
          break;
      }
    }
    SSL_free(ssl);
    close(client);
  }
}

}  // namespace vovu::testing
