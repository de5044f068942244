#include "kestrix/time.h"

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include "kestrix/exception.h"

namespace Kestrix {

void DateTimePrintFormatter::Append(std::string& out, const DateTime& t) {
  const uint64_t us = t.GetUtcTime();
  const time_t secs = static_cast<time_t>(us / 1000000);
  struct tm tm;
  gmtime_r(&secs, &tm);
  char buf[40];
  int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06uZ", tm.tm_year + 1900,
                        tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                        static_cast<unsigned>(us % 1000000));
  if (n > 0) out.append(buf, static_cast<size_t>(n));
}

namespace System {
namespace {

uint64_t ReadClock(clockid_t id) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// Null means the real clocks; reading it is one acquire load per call.
std::atomic<ClockSource*> g_source{nullptr};

}  // namespace

void SetClockSource(ClockSource* source) { g_source.store(source, std::memory_order_release); }

ClockSource* GetClockSource() { return g_source.load(std::memory_order_acquire); }

uint64_t GetMonotonicTime() {
  if (ClockSource* s = g_source.load(std::memory_order_acquire)) return s->MonotonicMicros();
  return ReadClock(CLOCK_MONOTONIC);
}

uint64_t Get100NsTime() {
  if (ClockSource* s = g_source.load(std::memory_order_acquire)) return s->MonotonicMicros() * 10;
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 10000000u + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

DateTime GetUtcDateTime() {
  if (ClockSource* s = g_source.load(std::memory_order_acquire)) return DateTime(s->UtcMicros());
  return DateTime(ReadClock(CLOCK_REALTIME));
}

DateTime DateTimeFromUtc(uint64_t utcMicros) { return DateTime(utcMicros); }

void GetCpuTime(int64_t& userMicros, int64_t& systemMicros) {
  struct rusage ru;
  if (getrusage(RUSAGE_SELF, &ru) != 0) {
    userMicros = systemMicros = 0;
    return;
  }
  userMicros = static_cast<int64_t>(ru.ru_utime.tv_sec) * 1000000 + ru.ru_utime.tv_usec;
  systemMicros = static_cast<int64_t>(ru.ru_stime.tv_sec) * 1000000 + ru.ru_stime.tv_usec;
}

TestClock::TestClock(uint64_t monotonicMicros, uint64_t utcMicros)
    : monotonic_(monotonicMicros), utc_(utcMicros) {}

TestClock::~TestClock() {
  std::unique_lock<std::mutex> lock(mutex_);
  closed_ = true;
  ++epoch_;
  std::vector<Ref<ClockWaiter>> wake;
  for (auto& w : waiters_) wake.push_back(w.second.first);
  lock.unlock();
  for (auto& w : wake) w->Wake();
  lock.lock();
  changed_.wait(lock, [this] { return waiters_.empty(); });
}

uint64_t TestClock::MonotonicMicros() { return monotonic_.load(std::memory_order_acquire); }
uint64_t TestClock::UtcMicros() { return utc_.load(std::memory_order_acquire); }

bool TestClock::WaitFor(const Ref<ClockWaiter>& waiter, uint64_t timeoutMicros) {
  // Lock order: the waiter's lock (held by the caller), then mutex_. Moves of
  // the clock release mutex_ before they take a waiter's lock in Wake.
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t deadline = SaturatingAdd(monotonic_.load(std::memory_order_relaxed), timeoutMicros);
  auto& entry = waiters_[waiter.Get()];
  entry.first = waiter;
  bool woken = false;
  for (;;) {
    if (waiter->Notified() || closed_) {
      woken = true;
      break;
    }
    if (monotonic_.load(std::memory_order_relaxed) >= deadline) break;
    entry.second = epoch_;
    changed_.notify_all();
    lock.unlock();
    waiter->Block();
    lock.lock();
    entry.second = kAwake;
  }
  waiters_.erase(waiter.Get());
  changed_.notify_all();
  return woken;
}

void TestClock::Move(uint64_t micros, const uint64_t* monotonicMicros) {
  std::vector<Ref<ClockWaiter>> wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t now = monotonic_.load(std::memory_order_relaxed);
    if (monotonicMicros) {
      if (*monotonicMicros < now) {
        throw InvalidArgumentException(MessageFormatter::ASPrint(
            "monotonic time must not go backwards: %1 is before %2", *monotonicMicros, now));
      }
      monotonic_.store(*monotonicMicros, std::memory_order_release);
    } else {
      monotonic_.store(SaturatingAdd(now, micros), std::memory_order_release);
      utc_.store(SaturatingAdd(utc_.load(std::memory_order_relaxed), micros), std::memory_order_release);
    }
    ++epoch_;
    for (auto& w : waiters_) wake.push_back(w.second.first);
  }
  for (auto& w : wake) w->Wake();
}

void TestClock::Advance(uint64_t micros) { Move(micros, nullptr); }

void TestClock::SetUtc(uint64_t utcMicros) {
  std::lock_guard<std::mutex> lock(mutex_);
  utc_.store(utcMicros, std::memory_order_release);
}

void TestClock::SetMonotonic(uint64_t monotonicMicros) { Move(0, &monotonicMicros); }

size_t TestClock::ParkedCountLocked() const {
  size_t n = 0;
  for (const auto& w : waiters_) {
    if (w.second.second == epoch_) ++n;
  }
  return n;
}

size_t TestClock::GetWaiterCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiters_.size();
}

bool TestClock::AwaitWaiters(size_t count, uint64_t realTimeoutMicros) {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t bound = std::min<uint64_t>(realTimeoutMicros, uint64_t(1) << 52);
  return changed_.wait_for(lock, std::chrono::microseconds(bound),
                           [&] { return ParkedCountLocked() >= count; });
}

}  // namespace System
}  // namespace Kestrix
