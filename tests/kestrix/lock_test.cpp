#include "kestrix/lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "kestrix/time.h"
#include "tests/kestrix/testSupport.h"

namespace {

using Kestrix::System::LockGuard;
using Kestrix::System::TestClock;
using Kestrix::System::WaitableObject;
using Kestrix::System::WaitableObjectRef;

TEST(LockTest, ReadersShareAndWritersExclude) {
  struct Guarded : Kestrix::System::RWLockableObjectImpl {};
  Kestrix::Ref<Guarded> g = Kestrix::MakeRef<Guarded>();
  std::atomic<int> readersInside{0};
  std::atomic<bool> writerInside{false};
  TestSupport::Flag bothReading;
  TestSupport::RunThreads(4, [&](int t) {
    if (t < 2) {
      // Two readers meet inside the read lock: only possible when it is shared.
      Kestrix::System::ReadGuard lock(*g);
      if (++readersInside == 2) bothReading.Set();
      EXPECT_TRUE(bothReading.Wait());
      --readersInside;
    }
    EXPECT_TRUE(bothReading.Wait());  // writers start after the meeting
    for (int i = 0; i < 2000; ++i) {
      if ((i + t) % 4 == 0) {
        Kestrix::System::WriteGuard lock(*g);
        EXPECT_FALSE(writerInside.exchange(true));
        EXPECT_EQ(readersInside.load(), 0);
        writerInside = false;
      } else {
        Kestrix::System::ReadGuard lock(*g);
        ++readersInside;
        EXPECT_FALSE(writerInside.load());
        --readersInside;
      }
    }
  });
}

// Waiter runs TimedWaitUntil(timeout, flag) on its own thread and keeps the result.
struct Waiter {
  Waiter(const WaitableObjectRef& w, const bool& flag, uint64_t timeout)
      : thread([this, w, &flag, timeout] {
          LockGuard<WaitableObject> lock(*w);
          result = Kestrix::System::TimedWaitUntil(*w, timeout, [&] { return flag; });
          returnedAt = Kestrix::System::GetMonotonicTime();
        }) {}
  bool Join() {
    thread.join();
    return result;
  }
  bool result = false;
  uint64_t returnedAt = 0;
  std::thread thread;  // last: starts once the results are initialised
};

TEST(WaitTest, RealClockTimesOutAndTakesAHugeTimeoutAsAWait) {
  WaitableObjectRef w = Kestrix::System::CreateWaitableObject();
  bool waiting = false, woken = false;  // guarded by w's lock
  std::thread t([&] {
    LockGuard<WaitableObject> lock(*w);
    EXPECT_FALSE(w->TimedWait(1000)) << "nobody signals: times out";
    waiting = true;
    woken = w->TimedWait(UINT64_MAX);
  });
  // The waiter set `waiting` and released the lock only by going to sleep.
  for (bool signalled = false; !signalled;) {
    LockGuard<WaitableObject> lock(*w);
    if ((signalled = waiting)) w->Signal();
  }
  t.join();
  EXPECT_TRUE(woken);
}

TEST(WaitTest, TestClockDrivesTimedWaits) {
  TestClock clock(1000, 0);
  Kestrix::System::ScopedTestClock scoped(clock);
  WaitableObjectRef w = Kestrix::System::CreateWaitableObject();
  bool flag = false;  // guarded by w's lock

  // Only moving the clock to the deadline ends the wait.
  Waiter timesOut(w, flag, 10000000);
  ASSERT_TRUE(clock.AwaitWaiters(1));
  clock.Advance(9999999);
  ASSERT_TRUE(clock.AwaitWaiters(1)) << "still waiting one microsecond before the deadline";
  clock.Advance(1);
  EXPECT_FALSE(timesOut.Join());
  EXPECT_EQ(timesOut.returnedAt, 10001000u);
  EXPECT_EQ(clock.GetWaiterCount(), 0u);

  // A broadcast ends every wait without any clock move.
  std::vector<std::unique_ptr<Waiter>> notified;
  for (int i = 0; i < 3; ++i) notified.push_back(std::make_unique<Waiter>(w, flag, 10000000));
  ASSERT_TRUE(clock.AwaitWaiters(3));
  {
    LockGuard<WaitableObject> lock(*w);
    flag = true;
    w->Broadcast();
  }
  for (auto& waiter : notified) EXPECT_TRUE(waiter->Join() && waiter->returnedAt == 10001000u);

  // Saturating deadlines: the largest timeout ends at the end of time.
  flag = false;
  Waiter forever(w, flag, UINT64_MAX);
  ASSERT_TRUE(clock.AwaitWaiters(1));
  clock.SetMonotonic(UINT64_MAX - 1);
  ASSERT_TRUE(clock.AwaitWaiters(1));
  clock.Advance(5);
  EXPECT_FALSE(forever.Join());
}

TEST(WaitTest, DestroyedTestClockReleasesItsWaiters) {
  auto clock = std::make_unique<TestClock>(0, 0);
  Kestrix::System::SetClockSource(clock.get());
  auto cond = Kestrix::System::GetSystemFactory().CreateConditionVariable();
  auto mutex = Kestrix::System::GetSystemFactory().CreateMutex();
  bool woken = false;
  std::thread t([&] {
    LockGuard<Kestrix::System::Mutex> lock(*mutex);
    woken = cond->TimedWait(*mutex, 1000000);
  });
  ASSERT_TRUE(clock->AwaitWaiters(1));
  Kestrix::System::SetClockSource(nullptr);
  clock.reset();
  t.join();
  EXPECT_TRUE(woken) << "reported as a spurious wake-up, so that callers re-check";
}

}  // namespace
