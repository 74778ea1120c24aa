// The command pipe served in this process by the real server thread, with a dispatcher that
// holds a "hold" request until the test lets it go, so that clients can act while an
// exchange is in progress. Every word is answered as unknown.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "platform/pipe.h"
#include "service/pipe_client.h"
#include "service/pipe_server.h"
#include "service/service_names.h"
#include "support/pipe_wait.h"
#include "support/test_machine.h"

namespace vovu::testing {

class HeldPipeServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::Event::Create(true, false, &holding_));
    ASSERT_TRUE(platform::Event::Create(true, false, &released_));
    ASSERT_TRUE(platform::Event::Create(true, false, &stop_));
    ASSERT_TRUE(platform::Event::Create(true, false, &overlap_));
    current_ = this;
    server_ = std::thread([this] { RunPipeServer(stop_, Dispatch); });
    ASSERT_TRUE(testing::WaitUntilPipeListens()) << platform::LastError();
  }
  void TearDown() override {
    released_.Set();
    stop_.Set();
    if (server_.joinable())
      server_.join();
    current_ = nullptr;
  }

  // A command that runs while "hold" runs sets `overlap_`.
  static bool Dispatch(const std::u16string& word, const std::vector<std::u16string>&,
                       const RequestContext&, std::u16string* failure) {
    if (word == u"hold") {
      current_->holdRunning_ = true;
      (void)current_->holding_.Set();
      (void)current_->released_.Wait(platform::kInfiniteWait);
      current_->holdRunning_ = false;
    } else if (current_->holdRunning_) {
      (void)current_->overlap_.Set();
    }
    *failure = u"unknown command: " + word;
    return false;
  }

  // The service's answer to `word`, as a client sends it.
  static bool Answers(const std::u16string& word) {
    std::u16string reply;
    return SendPipeRequest(word, &reply) && reply == u"ERROR unknown command: " + word;
  }

  // A connection that never sends anything; invalid when none could be opened.
  static platform::PipeHandle OpenSilently() {
    if (!platform::WaitForPipeInstance(kPipeName, kPipeClientWaitMs))
      return platform::PipeHandle();
    return platform::OpenPipe(kPipeName);
  }

  // One round: a request held in dispatch, `during` run meanwhile, the request let go, then
  // `ping` sent. False when the held request never reached the dispatcher (the pipe was not
  // the service's); `*answered` tells whether the ping was answered.
  bool HoldRound(const std::function<void()>& during, const std::u16string& ping, bool* answered) {
    *answered = false;
    std::atomic<bool> notTaken{false};
    if (!holding_.Reset() || !released_.Reset())
      return false;
    std::thread held([this, &notTaken] {
      if (!Answers(u"hold")) {
        notTaken = true;
        (void)holding_.Set();
      }
    });
    const bool reached = holding_.Wait(30000) == platform::WaitResult::kSignalled && !notTaken;
    if (reached)
      during();
    (void)released_.Set();
    held.join();
    *answered = reached && Answers(ping);
    return reached;
  }

  static inline HeldPipeServer* current_ = nullptr;
  TestMachine machine_;
  platform::Event holding_;
  platform::Event released_;
  platform::Event stop_;
  platform::Event overlap_;
  std::atomic<bool> holdRunning_{false};
  std::thread server_;
};

}  // namespace vovu::testing
