// The manager's side of the service control interfaces on both targets: registration,
// configuration, deletion and the error codes callers branch on. Starting and stopping a
// real service is covered by the host suite (tests/host/service_control_host_test.cpp).
#include "platform/service_control.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/test_machine.h"

namespace vovu::platform {
namespace {

constexpr std::uint32_t kAllServiceRights = kServiceQueryConfig | kServiceChangeConfig |
                                            kServiceQueryStatus | kServiceStart | kServiceStop |
                                            kServiceInterrogate | kServiceDelete;

std::u16string UniqueServiceName() {
  std::random_device random;
  std::string digits = std::to_string(random()) + std::to_string(random());
  return u"VovuScmTest" + std::u16string(digits.begin(), digits.end());
}

ServiceConfig TestConfig() {
  ServiceConfig config;
  config.binaryPath = u"\"C:\\Program Files\\Vovu Test\\vovu-test-service.exe\"";
  config.displayName = u"Vovu Test Service";
  return config;
}

// Deletes the service at the end of a test even when an expectation failed midway, so a
// failing run leaves no registration behind on Windows.
class ServiceCleanup {
 public:
  explicit ServiceCleanup(std::u16string name) : name_(std::move(name)) {}
  ~ServiceCleanup() {
    ServiceHandle manager = OpenServiceManager(kScManagerConnect);
    ServiceHandle service = OpenServiceEntry(manager, name_, kServiceDelete);
    if (service)
      (void)DeleteServiceEntry(service);
  }

 private:
  std::u16string name_;
};

TEST(ServiceControl, CreatesChangesAndDeletesARegistrationWhoseNameIgnoresCase) {
  testing::TestMachine machine;
  const std::u16string name = UniqueServiceName();
  // The same name in other letters.
  const std::u16string upper = u"VOVUSCMTEST" + name.substr(11);
  ServiceCleanup cleanup(name);
  ServiceHandle manager = OpenServiceManager(kScManagerConnect | kScManagerCreateService);
  ASSERT_TRUE(manager) << LastError();
  EXPECT_FALSE(OpenServiceEntry(manager, name, kServiceQueryStatus));
  EXPECT_EQ(LastError(), kErrorServiceDoesNotExist);

  ServiceHandle service = CreateServiceEntry(manager, name, TestConfig(), kAllServiceRights);
  ASSERT_TRUE(service) << LastError();
  for (const std::u16string& again : {name, upper}) {
    EXPECT_FALSE(CreateServiceEntry(manager, again, TestConfig(), kAllServiceRights));
    EXPECT_EQ(LastError(), kErrorServiceExists);
  }

  ServiceStatus status;
  ASSERT_TRUE(QueryServiceEntryStatus(service, &status)) << LastError();
  EXPECT_EQ(status.currentState, kServiceStopped);
  EXPECT_EQ(status.serviceType, kServiceWin32OwnProcess);
  EXPECT_EQ(status.processId, 0u);
  ServiceConfig config;
  ASSERT_TRUE(QueryServiceEntryConfig(service, &config)) << LastError();
  EXPECT_EQ(config.binaryPath, TestConfig().binaryPath);
  EXPECT_EQ(config.displayName, u"Vovu Test Service");
  EXPECT_EQ(config.startType, kServiceAutoStart);
  EXPECT_EQ(config.errorControl, kServiceErrorNormal);

  // A second handle, opened by the name in other letters, sees every change.
  ServiceHandle other = OpenServiceEntry(manager, upper, kAllServiceRights);
  ASSERT_TRUE(other) << LastError();
  ServiceConfig changed = TestConfig();
  changed.startType = 3;  // on demand
  changed.binaryPath = u"\"C:\\Program Files\\Vovu Test\\second.exe\"";
  changed.displayName = u"Vovu Test Service (changed)";
  ASSERT_TRUE(ChangeServiceEntryConfig(other, changed)) << LastError();
  ASSERT_TRUE(SetServiceDescription(other, u"Does nothing; made by a test.")) << LastError();
  const std::vector<ServiceFailureAction> actions = {{1, 5000}, {1, 10000}, {1, 30000}};
  ASSERT_TRUE(SetServiceFailureActions(other, 86400, actions)) << LastError();

  ASSERT_TRUE(QueryServiceEntryConfig(service, &config)) << LastError();
  EXPECT_EQ(config.startType, 3u);
  EXPECT_EQ(config.binaryPath, changed.binaryPath);
  EXPECT_EQ(config.displayName, changed.displayName);
  std::u16string description;
  ASSERT_TRUE(QueryServiceDescription(service, &description)) << LastError();
  EXPECT_EQ(description, u"Does nothing; made by a test.");
  std::uint32_t resetPeriod = 0;
  std::vector<ServiceFailureAction> read;
  if (QueryServiceFailureActions(service, &resetPeriod, &read)) {
    EXPECT_EQ(resetPeriod, 86400u);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[2].type, 1u);
    EXPECT_EQ(read[2].delayMs, 30000u);
  } else {
    EXPECT_EQ(LastError(), 124u);  // wine stores failure actions but cannot read them back
  }

  // A handle without the rights an operation needs is refused.
  ServiceHandle queryOnly = OpenServiceEntry(manager, name, kServiceQueryStatus);
  ASSERT_TRUE(queryOnly) << LastError();
  EXPECT_FALSE(ChangeServiceEntryConfig(queryOnly, changed));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_FALSE(DeleteServiceEntry(queryOnly));
  EXPECT_EQ(LastError(), kErrorAccessDenied);

  // A stopped service: nothing to control, and once deleted and closed it is gone.
  EXPECT_FALSE(ControlServiceEntry(service, kServiceControlStop, &status));
  EXPECT_EQ(LastError(), kErrorServiceNotActive);
  EXPECT_EQ(status.currentState, kServiceStopped);
  ASSERT_TRUE(DeleteServiceEntry(service)) << LastError();
  service.reset();
  other.reset();
  queryOnly.reset();
  EXPECT_FALSE(OpenServiceEntry(manager, name, kServiceQueryStatus));
  EXPECT_EQ(LastError(), kErrorServiceDoesNotExist);
}

TEST(ServiceControl, DispatcherOutsideTheManagerFails) {
  EXPECT_FALSE(RunServiceDispatcher(u"VovuScmTestConsole", [](std::uint32_t, char16_t**) {}));
  EXPECT_EQ(LastError(), kErrorFailedServiceControllerConnect);
}

}  // namespace
}  // namespace vovu::platform
