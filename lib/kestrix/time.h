// Clocks: monotonic and UTC time in microseconds, 100-ns ticks, process CPU time.
//
// Every caller reads time through these functions, and every one of them goes
// through the installed `ClockSource`, so a test can install a `TestClock` and
// drive many passes in microseconds, stepping UTC and monotonic time separately.
// Timed waits (lock.h) follow the installed clock as well: under a `TestClock`
// a waiter with a time-out wakes up when the test advances the clock past its
// deadline, and not before.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "kestrix/format.h"

namespace Kestrix {

/// DateTime is a UTC point in time with microsecond resolution.
class DateTime {
public:
  DateTime() = default;
  explicit DateTime(uint64_t utcMicros) : utc_(utcMicros) {}
  /// GetUtcTime returns microseconds since the Unix epoch.
  uint64_t GetUtcTime() const { return utc_; }

private:
  uint64_t utc_ = 0;
};

/// DateTimePrintFormatter prints "YYYY-MM-DDTHH:MM:SS.uuuuuuZ".
struct DateTimePrintFormatter {
  static void Append(std::string& out, const DateTime& t);
};
template <>
struct PrintFormatter<DateTime> : DateTimePrintFormatter {};

namespace System {

/// ClockWaiter is one thread's timed wait as a clock that drives waits sees it.
/// The waiting thread holds the waiter's lock whenever it calls into the clock.
class ClockWaiter : public virtual Object {
public:
  /// Block sleeps until Wake or a notification of the condition; the caller
  /// holds the waiter's lock. It may return spuriously.
  virtual void Block() = 0;
  /// BlockFor is Block bounded by micros of real monotonic time; false on time-out.
  virtual bool BlockFor(uint64_t micros) = 0;
  /// Wake wakes the blocked waiter from another thread. It takes and releases
  /// the waiter's lock first, so a wake that comes between the waiter's look at
  /// the clock and its Block is not lost; it must not be called with that lock held.
  virtual void Wake() = 0;
  /// Notified is true once the condition was signalled after the wait began.
  virtual bool Notified() const = 0;
};

/// ClockSource supplies the time. The default reads the kernel's clocks.
class ClockSource {
public:
  virtual ~ClockSource() = default;
  /// MonotonicMicros never decreases.
  virtual uint64_t MonotonicMicros() = 0;
  /// UtcMicros is wall-clock time since the Unix epoch; it may step.
  virtual uint64_t UtcMicros() = 0;
  /// WaitFor performs one timed wait of at most timeoutMicros of this clock's
  /// monotonic time, with the waiter's lock held; false on time-out, true when
  /// notified (or spuriously). This default sleeps on the real clock.
  virtual bool WaitFor(const Ref<ClockWaiter>& waiter, uint64_t timeoutMicros) {
    return waiter->BlockFor(timeoutMicros);
  }
};

/// SetClockSource installs a clock (nullptr restores the real one). The caller
/// keeps ownership and must keep it alive while installed.
void SetClockSource(ClockSource* source);
/// GetClockSource returns the installed clock, nullptr for the real one.
ClockSource* GetClockSource();

/// GetMonotonicTime returns monotonic microseconds.
uint64_t GetMonotonicTime();
/// Get100NsTime returns monotonic time in 100-ns ticks.
uint64_t Get100NsTime();
/// GetUtcDateTime returns the current UTC time.
DateTime GetUtcDateTime();
/// DateTimeFromUtc turns microseconds since the epoch into a DateTime.
DateTime DateTimeFromUtc(uint64_t utcMicros);
/// GetCpuTime sets the process's user and system CPU time in microseconds.
/// It reads the real process clock even under a test clock.
void GetCpuTime(int64_t& userMicros, int64_t& systemMicros);

/// SaturatingAdd returns a + b, or UINT64_MAX when that does not fit: deadlines
/// computed from huge time-outs stay in range.
inline uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

/// TestClock is a clock a test sets and advances; install it with
/// `ScopedTestClock`. Thread safe. Timed waits begun while it is installed
/// follow it: they end when Advance or SetMonotonic moves the clock to or past
/// their deadline, when they are notified, or when the clock is destroyed
/// (then as a spurious wake-up, so callers re-check and carry on).
class TestClock : public ClockSource {
public:
  TestClock(uint64_t monotonicMicros, uint64_t utcMicros);
  /// Wakes every waiter and returns once none is left in a wait on this clock.
  ~TestClock() override;
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;

  // ClockSource
  uint64_t MonotonicMicros() override;
  uint64_t UtcMicros() override;
  bool WaitFor(const Ref<ClockWaiter>& waiter, uint64_t timeoutMicros) override;

  /// Advance moves both clocks forward by micros (saturating) and wakes the
  /// waiters. Waking takes each waiter's lock, so the caller must not hold the
  /// lock of an object that a thread waits on.
  void Advance(uint64_t micros);
  /// SetUtc steps the wall clock only (an NTP or operator step).
  void SetUtc(uint64_t utcMicros);
  /// SetMonotonic sets monotonic time and wakes the waiters (as Advance). Throws
  /// InvalidArgumentException when monotonicMicros is below the current value.
  void SetMonotonic(uint64_t monotonicMicros);

  /// GetWaiterCount returns how many timed waits are in progress on this clock.
  size_t GetWaiterCount() const;
  /// AwaitWaiters blocks until at least count threads are asleep in a timed
  /// wait on this clock having seen its current time (so the next Advance
  /// reaches them), or until realTimeoutMicros of real time passed (a guard
  /// against a hanging test); returns whether the count was reached.
  bool AwaitWaiters(size_t count, uint64_t realTimeoutMicros = 30000000);

private:
  // Move advances both clocks by micros, or sets monotonic time to
  // *monotonicMicros, under mutex_; then wakes every waiter.
  void Move(uint64_t micros, const uint64_t* monotonicMicros);
  size_t ParkedCountLocked() const;

  static constexpr uint64_t kAwake = UINT64_MAX;
  std::atomic<uint64_t> monotonic_;  // written under mutex_, read without it
  std::atomic<uint64_t> utc_;        // likewise
  mutable std::mutex mutex_;  // orders clock moves with waiters' looks at the clock
  std::condition_variable changed_;  // a waiter went to sleep or left (AwaitWaiters, destructor)
  // guarded by mutex_: each waiter and the epoch at which it went to sleep (kAwake while awake)
  std::map<ClockWaiter*, std::pair<Ref<ClockWaiter>, uint64_t>> waiters_;
  uint64_t epoch_ = 0;    // guarded by mutex_: counts clock moves
  bool closed_ = false;   // guarded by mutex_: the destructor runs
};

/// ScopedTestClock installs a TestClock for its lifetime.
class ScopedTestClock {
public:
  explicit ScopedTestClock(TestClock& clock) { SetClockSource(&clock); }
  ~ScopedTestClock() { SetClockSource(nullptr); }
  ScopedTestClock(const ScopedTestClock&) = delete;
  ScopedTestClock& operator=(const ScopedTestClock&) = delete;
};

}  // namespace System
}  // namespace Kestrix
