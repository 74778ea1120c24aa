// The world of the HTTPS suites: a private network namespace where the update host answers on
// 127.0.0.1:443 with a certificate from a test CA that the machine trusts, beside two
// impostors: 127.0.0.2 with a certificate for the same names from a CA the machine does not
// trust, and 127.0.0.3 with a trusted certificate for another name. The machine's hosts file
// maps the update host's name, a few other names inside the update domain and a few outside
// it to 127.0.0.1. Every test gets a fresh machine root and a manual-reset ServiceStopEvent.
// Where no namespace can be made the tests are skipped with the reason.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/host/private_network.h"
#include "support/host/update_host_server.h"
#include "support/test_machine.h"

namespace vovu::testing {

class HttpsWorld : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Names every server's certificate covers, and the hosts file maps.
  static std::string UpdateHost();     // the update host of the build
  static std::string CdnHost();        // another name inside the update domain
  static std::string OutsideHost();    // a name outside it ("mirror.other.example")
  static std::string LookalikeHost();  // the domain's letters without the dot before them

  // https://<host><path>, as text for the service.
  static std::u16string Url(const std::string& host, const std::string& path);

  // Writes `bytes` as the file the servers answer for `path` ("/pkg/a.zip").
  static void Serve(const std::string& path, const std::string& bytes);
  // Replaces the servers' script (read at every request); see tools/update_host.
  static void Script(const std::string& rules);
  // Replaces the machine's hosts file.
  static void WriteHostsFile(const std::string& text);
  // The hosts file every test starts with: the four names above on 127.0.0.1.
  static std::string DefaultHostsFile();

  static UpdateHostServer& Server() { return *servers_[0]; }
  // The trusted certificate (and its key) for every name above, for a test's own servers.
  static std::filesystem::path ServerCertificate() { return top_ / "server.pem"; }
  static std::filesystem::path ServerKey() { return top_ / "server.key"; }
  // A second update host of the test's own on `address` (127.0.0.4 and above), serving the
  // same files and script with the trusted certificate.
  static bool StartServer(const std::string& address, UpdateHostServer* server,
                          std::string* reason);
  // The process-wide skip reason, empty when the world is up.
  static const std::string& SkipReason() { return skipReason_; }

  TestMachine machine_;

 private:
  static inline std::unique_ptr<PrivateNetwork> network_;
  static inline std::unique_ptr<UpdateHostServer> servers_[3];
  static inline std::filesystem::path top_;
  static inline std::string skipReason_;
};

}  // namespace vovu::testing
