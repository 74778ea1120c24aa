// The service's run-time object: its start-up order and its failures, on both targets.
#include "service/service_runtime.h"

#include <gtest/gtest.h>

#include <atomic>

#include "foundation/text.h"
#include "platform/error.h"
#include "platform/fault_injection.h"
#include "platform/pipe.h"
#include "platform/service_control.h"
#include "service/pipe_client.h"
#include "service/service_main.h"
#include "service/service_names.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

bool Refuse(const std::u16string& word, const std::vector<std::u16string>&, const RequestContext&,
            std::u16string* failure) {
  *failure = u"refused " + word;
  return false;
}

// A start-up failure carries the failing thread creation's own error, whichever thread it
// was; the worker that did start is joined again, and a start-up job may have run.
TEST(ServiceRuntime, AFailedThreadStartReportsThatCallsOwnError) {
  const struct {
    const char16_t* thread;
    platform::Win32Error code;
  } cases[] = {{u"worker", 1450}, {u"pipe", 1816}};
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.thread));
    testing::TestMachine machine;
    platform::InjectFault(platform::FaultPoint::kCreateThread, c.thread, c.code);
    ServiceRuntime runtime(Refuse);
    ASSERT_TRUE(runtime.CreateStopEvent());
    std::atomic<int> started{0};
    EXPECT_FALSE(runtime.Start([&started] { ++started; }));
    EXPECT_EQ(platform::LastError(), c.code);
    // Only a started worker had to be stopped again.
    EXPECT_EQ(runtime.StopEvent().Wait(0) == platform::WaitResult::kSignalled, c.code == 1816);
    EXPECT_LE(started.load(), 1);
  }
}

// A run: the start-up job runs first, the pipe answers, and letting the runtime go ends both
// threads.
TEST(ServiceRuntime, RunsTheStartupJobServesThePipeAndEndsByScope) {
  testing::TestMachine machine;
  platform::Event ran;
  ASSERT_TRUE(platform::Event::Create(true, false, &ran));
  {
    ServiceRuntime runtime(Refuse);
    ASSERT_TRUE(runtime.CreateStopEvent());
    ASSERT_TRUE(runtime.Start([&ran] { ran.Set(); }));
    EXPECT_EQ(ran.Wait(platform::kInfiniteWait), platform::WaitResult::kSignalled);
    std::u16string reply;
    bool answered = false;
    for (int attempt = 0; attempt < 5000 && !answered; ++attempt)
      answered = SendPipeRequest(u"Ping", &reply);
    ASSERT_TRUE(answered) << platform::LastError();
    EXPECT_EQ(reply, u"ERROR refused ping");
  }
  // The name went with the runtime.
  EXPECT_FALSE(platform::WaitForPipeInstance(kPipeName, 1));
}

// Interrogate is one of the controls every handler must answer; what it does not know it
// refuses. (Stop and shutdown are shown by the services run end to end.)
TEST(ServiceControlHandler, AnswersInterrogateAndRefusesUnknownControls) {
  EXPECT_EQ(ServiceCtrlHandler(platform::kServiceControlInterrogate, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(ServiceCtrlHandler(platform::kServiceControlSessionChange, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(ServiceCtrlHandler(0x80, 0, nullptr, nullptr), platform::kErrorCallNotImplemented);
}

}  // namespace
}  // namespace vovu
