#include "kestrix/lock.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "kestrix/time.h"

namespace Kestrix {
namespace System {
namespace {

// Longest single kernel wait: about 142 years, far from any overflow of the
// nanosecond conversions inside the standard library.
constexpr uint64_t kMaxKernelWaitMicros = uint64_t(1) << 52;

class MutexImpl : public Mutex, public ObjectImpl {
public:
  // Mutex
  void Lock() override { m_.lock(); }
  void Unlock() override { m_.unlock(); }
  bool TryLock() override { return m_.try_lock(); }

  std::mutex& Native() { return m_; }

private:
  std::mutex m_;  // the lock itself
};

class ConditionVariableImpl : public ConditionVariable, public ObjectImpl {
public:
  // ConditionVariable
  void Wait(Mutex& mutex) override {
    std::unique_lock<std::mutex> lk(Native(mutex), std::adopt_lock);
    cv_.wait(lk);
    lk.release();
  }
  bool TimedWait(Mutex& mutex, uint64_t timeoutMicros) override {
    if (ClockSource* source = GetClockSource()) {
      // The waiter keeps the mutex and the condition alive while a clock that
      // is moving may still wake it from another thread.
      Ref<ClockWaiter> waiter(new Waiter(Ref<MutexImpl>(&static_cast<MutexImpl&>(mutex)),
                                         Ref<ConditionVariableImpl>(this)));
      return source->WaitFor(waiter, timeoutMicros);
    }
    return WaitReal(Native(mutex), timeoutMicros);
  }
  void Signal() override {
    generation_.fetch_add(1, std::memory_order_release);
    cv_.notify_one();
  }
  void Broadcast() override {
    generation_.fetch_add(1, std::memory_order_release);
    cv_.notify_all();
  }

private:
  // Waiter is one timed wait under an installed clock source.
  class Waiter : public ClockWaiter, public ObjectImpl {
  public:
    Waiter(Ref<MutexImpl> mutex, Ref<ConditionVariableImpl> cond)
        : mutex_(std::move(mutex)), cond_(std::move(cond)),
          generation_(cond_->generation_.load(std::memory_order_acquire)) {}
    // ClockWaiter
    void Block() override {
      std::unique_lock<std::mutex> lk(mutex_->Native(), std::adopt_lock);
      cond_->cv_.wait(lk);
      lk.release();
    }
    bool BlockFor(uint64_t micros) override { return cond_->WaitReal(mutex_->Native(), micros); }
    void Wake() override {
      { std::lock_guard<std::mutex> lk(mutex_->Native()); }
      cond_->cv_.notify_all();
    }
    bool Notified() const override {
      return cond_->generation_.load(std::memory_order_acquire) != generation_;
    }

  private:
    const Ref<MutexImpl> mutex_;
    const Ref<ConditionVariableImpl> cond_;
    const uint64_t generation_;  // the condition's count of notifications when the wait began
  };

  bool WaitReal(std::mutex& m, uint64_t timeoutMicros) {
    std::unique_lock<std::mutex> lk(m, std::adopt_lock);
    const uint64_t bound = std::min(timeoutMicros, kMaxKernelWaitMicros);
    const bool woken = cv_.wait_for(lk, std::chrono::microseconds(bound)) == std::cv_status::no_timeout;
    lk.release();
    return woken;
  }
  static std::mutex& Native(Mutex& m) { return static_cast<MutexImpl&>(m).Native(); }

  std::condition_variable cv_;
  std::atomic<uint64_t> generation_{0};  // counts Signal and Broadcast calls
};

class RWLockImpl : public RWLock, public ObjectImpl {
public:
  // RWLock
  void ReadLock() override { m_.lock_shared(); }
  void ReadUnlock() override { m_.unlock_shared(); }
  void WriteLock() override { m_.lock(); }
  void WriteUnlock() override { m_.unlock(); }

private:
  std::shared_mutex m_;  // the lock itself
};

class SystemFactoryImpl : public SystemFactory {
public:
  MutexRef CreateMutex() override { return MutexRef(new MutexImpl); }
  ConditionVariableRef CreateConditionVariable() override {
    return ConditionVariableRef(new ConditionVariableImpl);
  }
  RWLockRef CreateRWLock() override { return RWLockRef(new RWLockImpl); }
};

class StandaloneWaitable : public WaitableObjectImpl {};

}  // namespace

SystemFactory& GetSystemFactory() {
  static SystemFactoryImpl* factory = new SystemFactoryImpl;  // never destroyed: used until exit
  return *factory;
}

bool TimedWaitUntil(ConditionVariable& cond, Mutex& mutex, uint64_t timeoutMicros,
                    const Functor<bool()>& done) {
  const uint64_t deadline = SaturatingAdd(GetMonotonicTime(), timeoutMicros);
  for (;;) {
    if (done()) return true;
    const uint64_t now = GetMonotonicTime();
    if (now >= deadline) return false;
    cond.TimedWait(mutex, deadline - now);
  }
}

LockableObjectImpl::LockableObjectImpl() : mutex_(GetSystemFactory().CreateMutex()) {}
WaitableObjectImpl::WaitableObjectImpl() : cond_(GetSystemFactory().CreateConditionVariable()) {}
RWLockableObjectImpl::RWLockableObjectImpl() : lock_(GetSystemFactory().CreateRWLock()) {}

bool TimedWaitUntil(WaitableObject& waitable, uint64_t timeoutMicros, const Functor<bool()>& done) {
  const uint64_t deadline = SaturatingAdd(GetMonotonicTime(), timeoutMicros);
  for (;;) {
    if (done()) return true;
    const uint64_t now = GetMonotonicTime();
    if (now >= deadline) return false;
    waitable.TimedWait(deadline - now);
  }
}

WaitableObjectRef CreateWaitableObject() { return WaitableObjectRef(new StandaloneWaitable); }

}  // namespace System
}  // namespace Kestrix
