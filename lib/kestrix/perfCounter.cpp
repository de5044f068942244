#include "kestrix/perfCounter.h"

#include <map>
#include <mutex>

namespace Kestrix {
namespace PerfCounter {

void MeterAccumulator::Record(int64_t value) {
  // Atomic signed arithmetic wraps (two's complement); it never overflows.
  sum_.fetch_add(value, std::memory_order_relaxed);
  int64_t m = min_.load(std::memory_order_relaxed);
  while (value < m && !min_.compare_exchange_weak(m, value, std::memory_order_relaxed)) {}
  m = max_.load(std::memory_order_relaxed);
  while (value > m && !max_.compare_exchange_weak(m, value, std::memory_order_relaxed)) {}
  last_.store(value, std::memory_order_relaxed);
  count_.fetch_add(1, std::memory_order_release);
}

MeterSnapshot MeterAccumulator::Read() const {
  MeterSnapshot s;
  s.count = count_.load(std::memory_order_acquire);
  s.sum = sum_.load(std::memory_order_relaxed);
  if (s.count > 0) {
    s.minimum = min_.load(std::memory_order_relaxed);
    s.maximum = max_.load(std::memory_order_relaxed);
    s.last = last_.load(std::memory_order_relaxed);
  }
  return s;
}

namespace {

class CounterRegistryImpl : public CounterRegistry {
public:
  bool Register(const MeterAccumulatorRef& meter) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return meters_.emplace(meter->GetPath(), meter).second;
  }
  bool Unregister(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return meters_.erase(path) > 0;
  }
  MeterAccumulatorRef Find(const std::string& path) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = meters_.find(path);
    return it == meters_.end() ? MeterAccumulatorRef() : it->second;
  }
  std::vector<std::string> List() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& m : meters_) out.push_back(m.first);
    return out;
  }

private:
  mutable std::mutex mutex_;  // guards meters_
  std::map<std::string, MeterAccumulatorRef> meters_;
};

}  // namespace

CounterRegistry& GetCounterRegistry() {
  static CounterRegistryImpl* registry = new CounterRegistryImpl;  // never destroyed
  return *registry;
}

}  // namespace PerfCounter
}  // namespace Kestrix
