// Events, multiple-event waits and the critical section with its condition variable.
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <mutex>
#include <thread>

namespace vovu::platform {
namespace {

TEST(SyncEvent, ManualResetStaysSetAutoResetReleasesOneWaitAndWaitForAnyTakesTheLowest) {
  Event manual;
  ASSERT_TRUE(Event::Create(true, false, &manual));
  EXPECT_EQ(manual.Wait(0), WaitResult::kTimeout);
  EXPECT_EQ(LastError(), kErrorWaitTimeout);
  ASSERT_TRUE(manual.Set());
  ASSERT_TRUE(manual.Set());
  EXPECT_EQ(manual.Wait(0), WaitResult::kSignalled);
  EXPECT_EQ(manual.Wait(kInfiniteWait), WaitResult::kSignalled);
  ASSERT_TRUE(manual.Reset());
  EXPECT_EQ(manual.Wait(10), WaitResult::kTimeout);

  Event automatic;
  ASSERT_TRUE(Event::Create(false, true, &automatic));
  EXPECT_EQ(automatic.Wait(0), WaitResult::kSignalled);
  EXPECT_EQ(automatic.Wait(0), WaitResult::kTimeout);
  // Two sets before a wait are still one signal.
  ASSERT_TRUE(automatic.Set());
  ASSERT_TRUE(automatic.Set());
  EXPECT_EQ(automatic.Wait(0), WaitResult::kSignalled);
  EXPECT_EQ(automatic.Wait(0), WaitResult::kTimeout);

  Event none;
  EXPECT_FALSE(none.Set());
  EXPECT_EQ(none.Wait(0), WaitResult::kFailed);
  EXPECT_EQ(LastError(), kErrorInvalidHandle);

  // A wait for any reports the lowest set event and resets only it.
  Event first;
  Event second;
  Event third;
  ASSERT_TRUE(Event::Create(false, false, &first));
  ASSERT_TRUE(Event::Create(false, true, &second));
  ASSERT_TRUE(Event::Create(false, true, &third));
  const std::array<const Event*, 3> events = {&first, &second, &third};
  std::size_t index = 99;
  ASSERT_EQ(WaitForAnyEvent(events, 0, &index), WaitResult::kSignalled);
  EXPECT_EQ(index, 1u);
  ASSERT_EQ(WaitForAnyEvent(events, 0, &index), WaitResult::kSignalled);
  EXPECT_EQ(index, 2u);
  EXPECT_EQ(WaitForAnyEvent(events, 0, &index), WaitResult::kTimeout);

  // A set from another thread releases a wait without a limit.
  std::thread setter([&] { third.Set(); });
  ASSERT_EQ(WaitForAnyEvent(events, kInfiniteWait, &index), WaitResult::kSignalled);
  EXPECT_EQ(index, 2u);
  setter.join();
}

TEST(SyncConditionVariable, WakesAWaiterUnderTheLockAndTimesOutWithoutOne) {
  CriticalSection lock(1024);
  ConditionVariable signal;
  bool ready = false;
  std::thread producer([&] {
    std::lock_guard guard(lock);
    ready = true;
    signal.WakeAll();
  });
  {
    std::lock_guard guard(lock);
    while (!ready)
      ASSERT_TRUE(signal.Wait(lock, kInfiniteWait));
  }
  producer.join();

  std::lock_guard guard(lock);
  EXPECT_FALSE(signal.Wait(lock, 10));
  EXPECT_EQ(LastError(), kErrorTimeout);
}

// The object owns its thread: it joins it before another is moved over it, and when it goes.
TEST(SyncThread, JoinsBeforeAMoveOverARunningOneAndWhenItGoes) {
  Event releaseFirst;
  Event releaseSecond;
  ASSERT_TRUE(Event::Create(true, false, &releaseFirst));
  ASSERT_TRUE(Event::Create(true, false, &releaseSecond));
  std::atomic<int> ended{0};
  const auto endAfter = [&](Event* release) {
    return [&ended, release] {
      (void)release->Wait(kInfiniteWait);
      ++ended;
    };
  };
  {
    Thread first;
    Thread second;
    ASSERT_TRUE(first.Start(u"first", endAfter(&releaseFirst)));
    ASSERT_TRUE(second.Start(u"second", endAfter(&releaseSecond)));
    Thread moved(std::move(first));
    EXPECT_FALSE(first.joinable());
    ASSERT_TRUE(moved.joinable());
    ASSERT_TRUE(releaseFirst.Set());
    moved = std::move(second);  // joins the first thread
    EXPECT_EQ(ended.load(), 1);
    ASSERT_TRUE(releaseSecond.Set());
  }  // joins the second
  EXPECT_EQ(ended.load(), 2);
}

}  // namespace
}  // namespace vovu::platform
