#include "support/host/https_world.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "acquisition/update_host.h"
#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "platform/fault_injection.h"
#include "platform/host/http/hosts_file.h"
#include "platform/host/image/root_store.h"
#include "support/host/certificates.h"
#include "support/host/native_files.h"
#include "support/stop_event.h"

namespace vovu::testing {
namespace fs = std::filesystem;

std::string HttpsWorld::UpdateHost() {
  return WideToUtf8(UpdateHostName());
}
std::string HttpsWorld::CdnHost() {
  return "cdn." + WideToUtf8(UpdateDomain());
}
std::string HttpsWorld::OutsideHost() {
  return "mirror.other.example";
}
std::string HttpsWorld::LookalikeHost() {
  return "evil" + WideToUtf8(UpdateDomain());
}

std::u16string HttpsWorld::Url(const std::string& host, const std::string& path) {
  return Utf8ToWide("https://" + host + path);
}

std::string HttpsWorld::DefaultHostsFile() {
  return "# the test world\n127.0.0.1 " + UpdateHost() + " " + CdnHost() + "\n127.0.0.1 " +
         OutsideHost() + " " + LookalikeHost() + " " + WideToUtf8(UpdateDomain()) + "\n";
}

void HttpsWorld::SetUpTestSuite() {
  skipReason_.clear();
  if (geteuid() != 0) {
    skipReason_ = "the HTTPS tests need root for a private network namespace and port 443";
    return;
  }
  network_ = std::make_unique<PrivateNetwork>();
  if (!network_->Enter(&skipReason_)) {
    network_.reset();
    return;
  }
  top_ = fs::temp_directory_path() / ("vovu-https-" + std::to_string(getpid()));
  fs::create_directories(top_ / "www");
  WriteNative(top_ / "script", "");
  const std::string names = "DNS:" + UpdateHost() + ",DNS:" + CdnHost() + ",DNS:" + OutsideHost() +
                            ",DNS:" + LookalikeHost() + ",DNS:" + WideToUtf8(UpdateDomain());
  // A trusted root "ca", an untrusted root "rogue-ca", and server certificates "server" (by
  // ca, for the names), "rogue" (by rogue-ca, for the names) and "wrongname" (by ca, for
  // another name only).
  if (!MakeCertificates(top_, {RootCertificate("ca"),
                               RootCertificate("rogue-ca"),
                               {"server", "ca", "serverAuth", names, 0},
                               {"rogue", "rogue-ca", "serverAuth", names, 0},
                               {"wrongname", "ca", "serverAuth", "DNS:someone.else.example", 0}})) {
    skipReason_ = "openssl could not make the test certificates";
    return;
  }
  const char* kinds[3] = {"server", "rogue", "wrongname"};
  for (int i = 0; i < 3; ++i) {
    servers_[i] = std::make_unique<UpdateHostServer>();
    const std::string address = "127.0.0." + std::to_string(i + 1);
    std::string reason;
    if (!servers_[i]->Start(address, top_ / (std::string(kinds[i]) + ".pem"),
                            top_ / (std::string(kinds[i]) + ".key"), top_ / "www", top_ / "script",
                            &reason)) {
      // The world was meant to be up: this is a failure, not a reason to skip.
      ADD_FAILURE() << reason;
      skipReason_ = reason;
      return;
    }
  }
}

void HttpsWorld::TearDownTestSuite() {
  for (auto& server : servers_)
    server.reset();
  network_.reset();
  if (!top_.empty()) {
    std::error_code ignored;
    fs::remove_all(top_, ignored);
    top_.clear();
  }
}

void HttpsWorld::SetUp() {
  if (!skipReason_.empty())
    GTEST_SKIP() << skipReason_;
  WriteHostsFile(DefaultHostsFile());
  fs::create_directories(platform::host::RootStorePath());
  fs::copy_file(top_ / "ca.pem", fs::path(platform::host::RootStorePath()) / "test-ca.pem",
                fs::copy_options::overwrite_existing);
  Script("");
  InstallStopEvent();
  (void)Server().TakeRequests();
}

void HttpsWorld::TearDown() {
  platform::ClearFaults();
  ReplaceServiceStopEvent(nullptr);
  // Connections a test left held are let go before the next test.
  for (auto& server : servers_) {
    if (server)
      server->Release();
  }
}

bool HttpsWorld::StartServer(const std::string& address, UpdateHostServer* server,
                             std::string* reason) {
  return server->Start(address, ServerCertificate(), ServerKey(), top_ / "www", top_ / "script",
                       reason);
}

void HttpsWorld::Serve(const std::string& path, const std::string& bytes) {
  WriteNative(top_ / "www" / path.substr(1), bytes);
}

void HttpsWorld::Script(const std::string& rules) {
  // Written beside and renamed, so a server never reads half a script.
  WriteNative(top_ / "script.new", rules);
  fs::rename(top_ / "script.new", top_ / "script");
}

void HttpsWorld::WriteHostsFile(const std::string& text) {
  WriteNative(TestMachine::Native(platform::host::kHostsFilePath), text);
}

}  // namespace vovu::testing
