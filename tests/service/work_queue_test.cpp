#include "service/work_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/debug_capture.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

class WorkQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::Event::Create(true, false, &stop_));
    ASSERT_TRUE(platform::Event::Create(true, false, &gate_));
    ASSERT_TRUE(platform::Event::Create(true, false, &done_));
  }
  void TearDown() override {
    if (worker_.joinable())
      StopWorker();
  }
  void StartWorker() {
    worker_ = std::thread([this] { queue_.RunWorker(); });
  }
  void StopWorker() {
    stop_.Set();
    queue_.WakeWorker();
    worker_.join();
  }
  void Note(int n) {
    std::lock_guard lock(mutex_);
    ran_.push_back(n);
  }
  std::vector<int> Ran() {
    std::lock_guard lock(mutex_);
    return ran_;
  }

  testing::TestMachine machine_;
  platform::Event stop_;
  WorkQueue queue_{stop_};
  platform::Event gate_;
  platform::Event done_;
  std::thread worker_;
  std::mutex mutex_;
  std::vector<int> ran_;
};

TEST_F(WorkQueueTest, JobsRunOneAtATimeInQueueOrderNestedOnesLast) {
  queue_.Enqueue([this] {
    (void)gate_.Wait(platform::kInfiniteWait);
    Note(1);
    queue_.Enqueue([this] {
      Note(4);
      done_.Set();
    });
  });
  queue_.Enqueue([this] { Note(2); });
  queue_.Enqueue([this] { Note(3); });
  StartWorker();
  gate_.Set();
  ASSERT_EQ(done_.Wait(platform::kInfiniteWait), platform::WaitResult::kSignalled);
  EXPECT_EQ(Ran(), std::vector<int>({1, 2, 3, 4}));
}

TEST_F(WorkQueueTest, AThrowingJobIsAbandonedAndTheNextOneRuns) {
  testing::DebugCapture debug;
  queue_.Enqueue([] { throw std::runtime_error("job failed"); });
  queue_.Enqueue([this] {
    Note(2);
    done_.Set();
  });
  StartWorker();
  ASSERT_EQ(done_.Wait(platform::kInfiniteWait), platform::WaitResult::kSignalled);
  EXPECT_EQ(Ran(), std::vector<int>({2}));
  if (testing::DebugCapture::Supported()) {
    ASSERT_TRUE(debug.Available());
    EXPECT_EQ(debug.Lines(), std::vector<std::string>({"[VovudIdavUda] hot-update job threw\n"}));
  }
}

TEST_F(WorkQueueTest, AStopLetsTheRunningJobFinishAndDropsTheQueuedOnes) {
  platform::Event started;
  ASSERT_TRUE(platform::Event::Create(true, false, &started));
  queue_.Enqueue([this, &started] {
    started.Set();
    (void)gate_.Wait(platform::kInfiniteWait);
    Note(1);
  });
  for (int n = 2; n <= 4; ++n)
    queue_.Enqueue([this, n] { Note(n); });
  StartWorker();
  ASSERT_EQ(started.Wait(platform::kInfiniteWait), platform::WaitResult::kSignalled);
  stop_.Set();
  gate_.Set();
  StopWorker();
  EXPECT_EQ(Ran(), std::vector<int>({1}));
  EXPECT_EQ(queue_.QueuedCount(), 3u);
}

TEST_F(WorkQueueTest, AnIdleWorkerEndsOnStop) {
  StartWorker();
  StopWorker();
  EXPECT_TRUE(Ran().empty());
}

// The worker sleeps without a time limit, so a lost wake-up would hang it: jobs queued
// from many threads while it runs and sleeps are all run, and a stop set while it sleeps
// (with its wake-up) ends it.
TEST_F(WorkQueueTest, NoWakeUpIsLostBetweenEnqueuersAndASleepingWorker) {
  constexpr int kThreads = 4;
  constexpr int kJobsPerThread = 500;
  std::atomic<int> ran{0};
  StartWorker();
  std::vector<std::thread> enqueuers;
  for (int t = 0; t < kThreads; ++t) {
    enqueuers.emplace_back([this, &ran] {
      for (int i = 0; i < kJobsPerThread; ++i) {
        queue_.Enqueue([this, &ran] {
          if (++ran == kThreads * kJobsPerThread)
            done_.Set();
        });
      }
    });
  }
  for (std::thread& thread : enqueuers)
    thread.join();
  ASSERT_EQ(done_.Wait(platform::kInfiniteWait), platform::WaitResult::kSignalled);
  EXPECT_EQ(ran.load(), kThreads * kJobsPerThread);
  StopWorker();
}

}  // namespace
}  // namespace vovu
