#include "kestrix/thread.h"

#include <atomic>
#include <vector>

namespace Kestrix {
namespace System {
namespace {

std::atomic<TlsKey> g_nextKey{0};
std::atomic<uint64_t> g_nextThreadId{1};

class ThreadImpl : public Thread {
public:
  ThreadImpl() : id_(g_nextThreadId.fetch_add(1, std::memory_order_relaxed)) {}
  Ref<Object> GetValue(TlsKey key) const override {
    return key < values_.size() ? values_[key] : Ref<Object>();
  }
  void SetValue(TlsKey key, const Ref<Object>& value) override {
    if (key >= values_.size()) values_.resize(static_cast<size_t>(key) + 1);
    values_[key] = value;
  }
  uint64_t GetId() const override { return id_; }

private:
  const uint64_t id_;
  std::vector<Ref<Object>> values_;  // only touched by the owning thread
};

}  // namespace

TlsKey ReserveTlsKey() { return g_nextKey.fetch_add(1, std::memory_order_relaxed); }

Thread& GetThisThread() {
  // Destroyed at thread exit, which releases the thread's values.
  thread_local ThreadImpl self;
  return self;
}

}  // namespace System
}  // namespace Kestrix
