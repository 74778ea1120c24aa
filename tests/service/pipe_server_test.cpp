// The command pipe end to end inside one process: the real server thread, real pipe
// instances and the real client.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/pipe.h"
#include "service/dispatcher.h"
#include "service/pipe_client.h"
#include "service/pipe_message.h"
#include "service/pipe_server.h"
#include "service/service_names.h"
#include "support/held_pipe_server.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

class PipeServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::Event::Create(true, false, &stop_));
    server_ = std::thread([this] { RunPipeServer(stop_, ExecuteWhitelistedCommand); });
  }
  void TearDown() override {
    stop_.Set();
    server_.join();
  }

  // Sends `request` as one message; true with the reply when one came.
  static bool Exchange(const std::string& request, std::u16string* reply) {
    EXPECT_TRUE(testing::WaitUntilPipeListens());
    platform::PipeHandle pipe = platform::OpenPipe(kPipeName);
    if (!pipe.valid())
      return false;
    (void)platform::SetPipeMessageReadMode(pipe);
    if (!platform::WritePipeMessage(pipe, request.data(),
                                    static_cast<std::uint32_t>(request.size()))) {
      return false;
    }
    std::vector<char16_t> buffer(32768);
    std::uint32_t got = 0;
    if (!platform::ReadPipeMessage(pipe, buffer.data(), 65536, &got))
      return false;
    reply->assign(buffer.data(), got / 2);
    return true;
  }

  // The little-endian UTF-16 bytes of `text`.
  static std::string Utf16(const std::u16string& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  }

  testing::TestMachine machine_;
  platform::Event stop_;
  std::thread server_;
};

TEST_F(PipeServer, TheClientGetsTheDispatcherReplyWhenItFitsItsBuffer) {
  ASSERT_TRUE(testing::WaitUntilPipeListens());
  std::u16string reply = u"untouched";
  ASSERT_TRUE(SendPipeRequest(u"--Frobnicate\nArg", &reply));
  EXPECT_EQ(reply, u"ERROR unknown command: frobnicate");
  // The server serves the next client after the first.
  ASSERT_TRUE(testing::WaitUntilPipeListens());
  ASSERT_TRUE(SendPipeRequest(u"second", &reply));
  EXPECT_EQ(reply, u"ERROR unknown command: second");
  // "ERROR unknown command: " (23 units) + 2030 units > 2047 units.
  ASSERT_TRUE(testing::WaitUntilPipeListens());
  reply = u"untouched";
  EXPECT_FALSE(SendPipeRequest(std::u16string(2030, u'w'), &reply));
  EXPECT_EQ(reply, u"untouched");
}

TEST_F(PipeServer, RequestSizeLimitsAndEmptyMessages) {
  std::u16string reply;
  // 8190 bytes: served. The reply echoes the word, so it is read with a large buffer here.
  const std::u16string longest(4095, u'a');
  ASSERT_TRUE(Exchange(Utf16(longest), &reply));
  EXPECT_EQ(reply, u"ERROR unknown command: " + longest);
  // 8192 bytes: no reply at all.
  EXPECT_FALSE(Exchange(Utf16(std::u16string(4096, u'a')), &reply));
  // Zero bytes: no reply. One byte: an empty command word. An odd last byte is ignored.
  EXPECT_FALSE(Exchange("", &reply));
  ASSERT_TRUE(Exchange("x", &reply));
  EXPECT_EQ(reply, u"ERROR unknown command: ");
  ASSERT_TRUE(Exchange(Utf16(u"ab") + "c", &reply));
  EXPECT_EQ(reply, u"ERROR unknown command: ab");
}

using testing::HeldPipeServer;

// A client that connects and leaves while another is being served makes the next connect
// fail (232). The name must not be free for a moment then: another user's process could
// create it and answer every client from then on. Watched here by a client that keeps
// asking for an instance: it never finds no pipe at all (2), and the service answers after
// each round.
TEST_F(HeldPipeServer, TheNameOutlivesClientsThatLeaveDuringAnExchange) {
  constexpr int kRounds = 1000;
  std::atomic<bool> done{false};
  std::atomic<long> absent{0};
  std::thread watcher([&] {
    while (!done) {
      if (!platform::WaitForPipeInstance(kPipeName, 1) &&
          platform::LastError() == platform::kErrorFileNotFound)
        ++absent;
    }
  });
  int answered = 0;
  for (int round = 0; round < kRounds; ++round) {
    bool ok = false;
    if (!HoldRound([] { EXPECT_TRUE(OpenSilently().valid()) << platform::LastError(); },
                   u"after-" + std::u16string(1, static_cast<char16_t>(u'a' + round % 26)), &ok)) {
      ADD_FAILURE() << "round " << round << ": the service did not take a request";
      break;
    }
    answered += ok ? 1 : 0;
  }
  done = true;
  watcher.join();
  EXPECT_EQ(absent.load(), 0);
  EXPECT_EQ(answered, kRounds);
}

// Connections that never send hold no other client up: with two of them open, one being
// served and one taken by the instance that listened meanwhile, a client still finds an
// instance and gets its answer (it used to find every instance busy for 3 s).
TEST_F(HeldPipeServer, ConnectionsThatNeverSendHoldNoOtherClientUp) {
  const platform::PipeHandle silent[] = {OpenSilently(), OpenSilently()};
  ASSERT_TRUE(silent[0].valid() && silent[1].valid()) << platform::LastError();
  EXPECT_TRUE(Answers(u"beside-the-silent"));
}

// Clients are served side by side, but their commands still run one at a time: requests
// that arrive while "hold" runs are read by other serving threads, and none is dispatched
// before "hold" ends (the serving threads read them within milliseconds, so half a second
// without an overlap means none ran).
TEST_F(HeldPipeServer, CommandsRunOneAtATimeWhileClientsAreServedSideBySide) {
  std::vector<platform::PipeHandle> others;
  bool ok = false;
  ASSERT_TRUE(HoldRound(
      [&] {
        const std::vector<std::uint8_t> request = PipeMessageBytes(u"during-the-hold");
        for (int i = 0; i < 3; ++i) {
          others.push_back(OpenSilently());
          EXPECT_TRUE(platform::WritePipeMessage(others.back(), request.data(),
                                                 static_cast<std::uint32_t>(request.size())));
        }
        EXPECT_EQ(overlap_.Wait(500), platform::WaitResult::kTimeout);
      },
      u"after", &ok));
  for (const platform::PipeHandle& other : others) {
    std::vector<std::uint8_t> buffer(kMaxReplyBytes, 0);
    std::uint32_t got = 0;
    ASSERT_TRUE(platform::ReadPipeMessage(other, buffer.data(), kMaxReplyBytes, &got));
    EXPECT_EQ(PipeMessageText(buffer.data(), got), u"ERROR unknown command: during-the-hold");
  }
}

TEST(PipeClient, NoServerMeansNoExchange) {
  testing::TestMachine machine;
  std::u16string reply = u"untouched";
  EXPECT_FALSE(SendPipeRequest(u"cleanup", &reply));
  EXPECT_EQ(reply, u"untouched");
}

}  // namespace
}  // namespace vovu
