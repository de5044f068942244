#include "kestrix/signal.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kestrix/exception.h"
#include "tests/kestrix/testSupport.h"

namespace {

using Kestrix::System::SignalWatcher;

// A signal that interrupts a thread inside the log sink must not deadlock: the
// handler only writes to a pipe, and the callback logs from its own thread.
TEST(SignalWatcherTest, SignalsReachTheWatcherThreadDuringHeavyLogging) {
  TestSupport::LogFile f;
  auto logger = f.Logger("Heavy", Kestrix::Service::LOG_INFO);
  TestSupport::Flag first;
  std::atomic<bool> onWatcher{true};
  const std::thread::id self = std::this_thread::get_id();
  std::vector<std::thread> writers;
  SignalWatcher watcher([&](int s) {
    KLOG(logger, INFO, "Received signal %1", s);
    onWatcher = onWatcher && std::this_thread::get_id() != self;
    first.Set();
  });
  std::string error;
  ASSERT_TRUE(watcher.Install(SIGUSR1, error)) << error;
  EXPECT_THROW(SignalWatcher([](int) {}), Kestrix::InvalidStateException) << "one watcher per process";
  EXPECT_FALSE(watcher.Install(SIGKILL, error));
  EXPECT_EQ(error, "Invalid argument");
  std::atomic<bool> stop{false};
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&] {
      while (!stop) KLOG(logger, INFO, "%1", std::string(200, 'x'));
    });
  }
  ASSERT_EQ(raise(SIGUSR1), 0);
  for (int i = 0; i < 300; ++i) pthread_kill(writers[i % writers.size()].native_handle(), SIGUSR1);
  EXPECT_TRUE(first.Wait());
  stop = true;
  for (auto& w : writers) w.join();
  EXPECT_TRUE(onWatcher);
  size_t received = 0;
  for (const auto& line : TestSupport::Lines(f.Text())) {
    const bool filler = line.size() > 200 && line.compare(line.size() - 200, 200, std::string(200, 'x')) == 0;
    const bool signal = line.find(" info Heavy: Received signal 10") != std::string::npos;
    received += signal;
    ASSERT_TRUE(filler || signal) << line;
  }
  EXPECT_GT(received, 0u) << "the watcher's line reached the log whole";
}

}  // namespace
