// A TLS server of the test's own (OpenSSL, in-process) for answers the update host cannot
// give: it takes one connection at a time on <address>:443, reads the request's head, counts
// it, sends `quick` at once, then `trickled` one byte per interval, and then holds the
// connection open until it is stopped. So it trickles a header or a body, or sends the
// headers and stalls, as a server (or anyone on the path) may.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace vovu::testing {

class TlsTrickleServer {
 public:
  TlsTrickleServer() = default;
  ~TlsTrickleServer();  // Stop()
  TlsTrickleServer(const TlsTrickleServer&) = delete;
  TlsTrickleServer& operator=(const TlsTrickleServer&) = delete;

  // Listens on address:443 with the certificate and key (PEM files). False with the reason.
  [[nodiscard]] bool Start(const std::string& address, const std::filesystem::path& cert,
                           const std::filesystem::path& key, std::string quick,
                           std::string trickled, int intervalMs, std::string* reason);

  // Waits (up to 30 s) until `count` requests have arrived.
  [[nodiscard]] bool WaitForRequests(int count);
  // Requests received so far.
  [[nodiscard]] int Requests();

  // Ends the held connection and the server.
  void Stop();

 private:
  void Serve();
  bool Pause(int ms);  // false once stopped

  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  void* context_ = nullptr;  // SSL_CTX
  std::string quick_;
  std::string trickled_;
  int intervalMs_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int requests_ = 0;
};

}  // namespace vovu::testing
