#include "kestrix/lock.h"

#include <chrono>

#include "kestrix/time.h"

namespace Kestrix {
namespace System {
namespace {

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
    std::unique_lock<std::mutex> lk(Native(mutex), std::adopt_lock);
    // Bound the wait so that no conversion overflows (about 292 years in ns).
    const uint64_t bound = std::min<uint64_t>(timeoutMicros, uint64_t(1) << 52);
    const bool woken = cv_.wait_for(lk, std::chrono::microseconds(bound)) == std::cv_status::no_timeout;
    lk.release();
    return woken;
  }
  void Signal() override { cv_.notify_one(); }
  void Broadcast() override { cv_.notify_all(); }

private:
  static std::mutex& Native(Mutex& m) { return static_cast<MutexImpl&>(m).Native(); }
  std::condition_variable cv_;
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

}  // namespace

SystemFactory& GetSystemFactory() {
  static SystemFactoryImpl* factory = new SystemFactoryImpl;  // never destroyed
  return *factory;
}

LockableObjectImpl::LockableObjectImpl() : mutex_(GetSystemFactory().CreateMutex()) {}
WaitableObjectImpl::WaitableObjectImpl() : cond_(GetSystemFactory().CreateConditionVariable()) {}
RWLockableObjectImpl::RWLockableObjectImpl() : lock_(GetSystemFactory().CreateRWLock()) {}

namespace {
class StandaloneWaitable : public WaitableObjectImpl {};
}  // namespace

WaitableObjectRef CreateWaitableObject() { return WaitableObjectRef(new StandaloneWaitable); }

}  // namespace System
}  // namespace Kestrix
