// Performance counters: meter accumulators registered under path names
// ("/qel/stats/distillery/qr-<uuid>/elapsedTime") and read back by path.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrix/object.h"

namespace Kestrix {
namespace PerfCounter {

/// MeterSnapshot is what a meter has recorded.
struct MeterSnapshot {
  uint64_t count = 0;
  int64_t sum = 0;
  int64_t minimum = 0;  // 0 while count is 0
  int64_t maximum = 0;  // 0 while count is 0
  int64_t last = 0;     // 0 while count is 0
};

/// MeterAccumulator records samples: count, sum, minimum, maximum, last.
/// Thread safe and lock free; Record costs a few atomic operations.
class MeterAccumulator : public ObjectImpl {
public:
  explicit MeterAccumulator(std::string path) : path_(std::move(path)) {}
  const std::string& GetPath() const { return path_; }
  void Record(int64_t value);
  MeterSnapshot Read() const;

private:
  const std::string path_;
  std::atomic<uint64_t> count_{0};
  std::atomic<int64_t> sum_{0};
  std::atomic<int64_t> min_{INT64_MAX};
  std::atomic<int64_t> max_{INT64_MIN};
  std::atomic<int64_t> last_{0};
};
using MeterAccumulatorRef = Ref<MeterAccumulator>;

/// CounterRegistry maps paths to meters. Thread safe.
class CounterRegistry {
public:
  virtual ~CounterRegistry() = default;
  /// Register adds a meter under its path; false when the path is taken.
  virtual bool Register(const MeterAccumulatorRef& meter) = 0;
  /// Unregister removes the meter at path; false when there is none.
  virtual bool Unregister(const std::string& path) = 0;
  /// Find returns the meter at path, or an empty reference.
  virtual MeterAccumulatorRef Find(const std::string& path) const = 0;
  /// List returns the registered paths in order.
  virtual std::vector<std::string> List() const = 0;
};

/// GetCounterRegistry returns the process-wide registry.
CounterRegistry& GetCounterRegistry();

}  // namespace PerfCounter
}  // namespace Kestrix
