// The command pipe end to end inside one process: the real server thread, real pipe
// instances and the real client.
#include <gtest/gtest.h>

#include <thread>

#include "platform/pipe.h"
#include "service/dispatcher.h"
#include "service/pipe_client.h"
#include "service/pipe_server.h"
#include "service/service_names.h"
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

  // Waits for the server's first instance; from then on the name always has one.
  static void WaitUntilListening() {
    for (int attempt = 0; attempt < 5000; ++attempt) {
      if (platform::WaitForPipeInstance(kPipeName, kPipeClientWaitMs))
        return;
      std::this_thread::yield();
    }
    FAIL() << "the pipe server never listened";
  }

  // Sends `request` as one message; true with the reply when one came.
  static bool Exchange(const std::string& request, std::u16string* reply) {
    WaitUntilListening();
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
  WaitUntilListening();
  std::u16string reply = u"untouched";
  ASSERT_TRUE(SendPipeRequest(u"--Frobnicate\nArg", &reply));
  EXPECT_EQ(reply, u"ERROR unknown command: frobnicate");
  // The server serves the next client after the first.
  WaitUntilListening();
  ASSERT_TRUE(SendPipeRequest(u"second", &reply));
  EXPECT_EQ(reply, u"ERROR unknown command: second");
  // "ERROR unknown command: " (23 units) + 2030 units > 2047 units.
  WaitUntilListening();
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

TEST(PipeClient, NoServerMeansNoExchange) {
  testing::TestMachine machine;
  std::u16string reply = u"untouched";
  EXPECT_FALSE(SendPipeRequest(u"cleanup", &reply));
  EXPECT_EQ(reply, u"untouched");
}

}  // namespace
}  // namespace vovu
