// Clocks: monotonic and UTC time in microseconds, 100-ns ticks, process CPU time.
//
// Every caller reads time through these functions, and every one of them goes
// through the installed `ClockSource`, so a test can install a `TestClock` and
// drive many passes in microseconds, stepping UTC and monotonic time separately.
#pragma once

#include <atomic>
#include <cstdint>
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

/// ClockSource supplies the time. The default reads the kernel's clocks.
class ClockSource {
public:
  virtual ~ClockSource() = default;
  /// MonotonicMicros never decreases.
  virtual uint64_t MonotonicMicros() = 0;
  /// UtcMicros is wall-clock time since the Unix epoch; it may step.
  virtual uint64_t UtcMicros() = 0;
};

/// SetClockSource installs a clock (nullptr restores the real one). The caller
/// keeps ownership and must keep it alive while installed.
void SetClockSource(ClockSource* source);

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

/// TestClock is a clock a test sets and advances; install it with
/// `ScopedTestClock`. Thread safe.
class TestClock : public ClockSource {
public:
  TestClock(uint64_t monotonicMicros, uint64_t utcMicros);
  uint64_t MonotonicMicros() override;
  uint64_t UtcMicros() override;
  /// Advance moves both clocks forward by micros.
  void Advance(uint64_t micros);
  /// SetUtc steps the wall clock only (an NTP or operator step).
  void SetUtc(uint64_t utcMicros);
  /// SetMonotonic sets monotonic time; it must not go backwards.
  void SetMonotonic(uint64_t monotonicMicros);

private:
  std::atomic<uint64_t> monotonic_;
  std::atomic<uint64_t> utc_;
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
