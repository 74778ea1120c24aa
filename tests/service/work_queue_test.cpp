#include "service/work_queue.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/debug_capture.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

class WorkQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(objects_.CreateStopEvent());
    objects_.CreateQueue();
    ASSERT_TRUE(platform::Event::Create(true, false, &gate_));
    ASSERT_TRUE(platform::Event::Create(true, false, &done_));
  }
  void TearDown() override {
    if (worker_.joinable())
      StopWorker();
  }
  void StartWorker() {
    worker_ = std::thread([] { (void)WorkerThread(); });
  }
  void StopWorker() {
    ServiceStopEvent()->Set();
    JobQueueSignal()->WakeAll();
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
  ServiceObjects objects_;
  platform::Event gate_;
  platform::Event done_;
  std::thread worker_;
  std::mutex mutex_;
  std::vector<int> ran_;
};

TEST_F(WorkQueue, JobsRunOneAtATimeInQueueOrderNestedOnesLast) {
  EnqueueJob([this] {
    (void)gate_.Wait(platform::kInfiniteWait);
    Note(1);
    EnqueueJob([this] {
      Note(4);
      done_.Set();
    });
  });
  EnqueueJob([this] { Note(2); });
  EnqueueJob([this] { Note(3); });
  StartWorker();
  gate_.Set();
  ASSERT_EQ(done_.Wait(platform::kInfiniteWait), platform::WaitResult::kSignalled);
  EXPECT_EQ(Ran(), std::vector<int>({1, 2, 3, 4}));
}

TEST_F(WorkQueue, AThrowingJobIsAbandonedAndTheNextOneRuns) {
  testing::DebugCapture debug;
  EnqueueJob([] { throw std::runtime_error("job failed"); });
  EnqueueJob([this] {
    Note(2);
    done_.Set();
  });
  StartWorker();
  ASSERT_EQ(done_.Wait(platform::kInfiniteWait), platform::WaitResult::kSignalled);
  EXPECT_EQ(Ran(), std::vector<int>({2}));
  if (debug.Available()) {
    EXPECT_EQ(debug.Lines(), std::vector<std::string>({"[VovudIdavUda] hot-update job threw\n"}));
  }
}

TEST_F(WorkQueue, AStopLetsTheRunningJobFinishAndDropsTheQueuedOnes) {
  platform::Event started;
  ASSERT_TRUE(platform::Event::Create(true, false, &started));
  EnqueueJob([this, &started] {
    started.Set();
    (void)gate_.Wait(platform::kInfiniteWait);
    Note(1);
  });
  for (int n = 2; n <= 4; ++n)
    EnqueueJob([this, n] { Note(n); });
  StartWorker();
  ASSERT_EQ(started.Wait(platform::kInfiniteWait), platform::WaitResult::kSignalled);
  ServiceStopEvent()->Set();
  gate_.Set();
  StopWorker();
  EXPECT_EQ(Ran(), std::vector<int>({1}));
  EXPECT_EQ(JobQueue().size(), 3u);
}

TEST_F(WorkQueue, AnIdleWorkerEndsOnStop) {
  StartWorker();
  StopWorker();
  EXPECT_TRUE(Ran().empty());
}

}  // namespace
}  // namespace vovu
