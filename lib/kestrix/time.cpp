#include "kestrix/time.h"

#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <cstdio>

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

// Null means the real clocks; reading it is one relaxed-acquire load per call.
std::atomic<ClockSource*> g_source{nullptr};

}  // namespace

void SetClockSource(ClockSource* source) { g_source.store(source, std::memory_order_release); }

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
uint64_t TestClock::MonotonicMicros() { return monotonic_.load(); }
uint64_t TestClock::UtcMicros() { return utc_.load(); }
void TestClock::Advance(uint64_t micros) {
  monotonic_.fetch_add(micros);
  utc_.fetch_add(micros);
}
void TestClock::SetUtc(uint64_t utcMicros) { utc_.store(utcMicros); }
void TestClock::SetMonotonic(uint64_t monotonicMicros) { monotonic_.store(monotonicMicros); }

}  // namespace System
}  // namespace Kestrix
