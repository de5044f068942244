#include "kestrix/workPool.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "kestrix/exception.h"
#include "kestrix/time.h"
#include "tests/kestrix/testSupport.h"

namespace {

using Kestrix::Service::CreateWorkPool;
using Kestrix::Service::WorkPoolRef;
using TestSupport::Flag;

TEST(WorkPoolTest, TasksRunConcurrentlyUpToTheMaximumOnNamedThreads) {
  WorkPoolRef pool = CreateWorkPool("averyverylongname", 3);
  std::atomic<int> started{0};
  Flag allThree, release, fourthRan;
  char name[32] = {};
  for (int i = 0; i < 3; ++i) {
    pool->Run([&] {
      // Three tasks meet here only when they run at the same time.
      if (++started == 3) allThree.Set();
      release.Wait();
    });
  }
  ASSERT_TRUE(allThree.Wait());
  pool->Run([&] {
    pthread_getname_np(pthread_self(), name, sizeof name);
    fourthRan.Set();
  });
  EXPECT_EQ(pool->GetThreadCount(), 3u) << "the fourth task waits for a thread";
  EXPECT_FALSE(fourthRan.Wait(std::chrono::milliseconds(0)));
  release.Set();
  EXPECT_TRUE(fourthRan.Wait());
  EXPECT_TRUE(pool->Wait(60000000));
  EXPECT_EQ(pool->GetThreadCount(), 3u);
  EXPECT_EQ(std::string(name), "averyverylongna") << "pool name, cut to the kernel's 15 bytes";
}

TEST(WorkPoolTest, ShortTaskDoesNotWaitBehindLongRunningLoops) {
  WorkPoolRef pool = CreateWorkPool("wp", 8);
  std::atomic<bool> stop{false};
  std::atomic<int> loopsRunning{0};
  Flag loopsUp, shortDone;
  char name[32] = {};
  for (int i = 0; i < 2; ++i) {
    pool->Run([&] {
      if (++loopsRunning == 2) loopsUp.Set();
      while (!stop) std::this_thread::yield();
    });
  }
  ASSERT_TRUE(loopsUp.Wait());
  pool->Run([&] {
    pthread_getname_np(pthread_self(), name, sizeof name);
    shortDone.Set();
  });
  EXPECT_TRUE(shortDone.Wait()) << "a retrieval must not wait for the sampling loops";
  EXPECT_EQ(std::string(name), "wp-2") << "a third thread, numbered after the others";
  EXPECT_FALSE(pool->Wait(1000)) << "the loops still run";
  stop = true;
  EXPECT_TRUE(pool->Wait(60000000));
  EXPECT_EQ(pool->GetThreadCount(), 3u);
}

TEST(WorkPoolTest, WindDownRefusesNewTasksAndAcceptedOnesOutliveThePool) {
  WorkPoolRef pool = CreateWorkPool("wp", 1);
  Flag release, firstDone, queuedDone;
  pool->Run([&] {
    release.Wait();
    firstDone.Set();
  });
  pool->Run([&] { queuedDone.Set(); });  // queued behind the first
  pool->BeginWindDown();
  EXPECT_THROW(pool->Run([] {}), Kestrix::InvalidStateException);
  EXPECT_FALSE(pool->Wait(0));
  pool.Reset();  // the last reference goes while the first task still runs
  release.Set();
  EXPECT_TRUE(firstDone.Wait());
  EXPECT_TRUE(queuedDone.Wait()) << "an accepted task is never dropped";
}

TEST(WorkPoolTest, BoundedWaitFollowsTheTestClock) {
  Kestrix::System::TestClock clock(0, 0);
  Kestrix::System::ScopedTestClock scoped(clock);
  WorkPoolRef pool = CreateWorkPool("wp", 2);
  Flag release;
  pool->Run([&] { release.Wait(); });
  bool finished = true;
  std::thread waiter([&] { finished = pool->Wait(60000000); });
  ASSERT_TRUE(clock.AwaitWaiters(1));
  clock.Advance(60000000);
  waiter.join();
  EXPECT_FALSE(finished);
  release.Set();
  EXPECT_TRUE(pool->Wait(60000000)) << "the task ends without any clock move";
}

TEST(WorkPoolTest, ThrowingTaskIsLoggedAndThreadCarriesOn) {
  TestSupport::LogFile f;
  WorkPoolRef pool = CreateWorkPool("thrower", 1, f.Logger("Pool", Kestrix::Service::LOG_INFO));
  pool->Run([] { throw std::runtime_error("boom"); });
  pool->Run([] { throw 42; });
  Flag after;
  pool->Run([&] { after.Set(); });
  EXPECT_TRUE(after.Wait());
  EXPECT_TRUE(pool->Wait(60000000));
  const auto lines = TestSupport::Lines(f.Text());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" error Pool: Task on thrower-0 failed: boom"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" error Pool: Task on thrower-0 failed with an unknown exception"), std::string::npos);
  EXPECT_EQ(pool->GetThreadCount(), 1u);
}

}  // namespace
