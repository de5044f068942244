// Locks: mutexes, condition variables and reader-writer locks from the system
// factory, and the lockable object bases that components derive from.
//
// Timed waits take microseconds and are measured on the monotonic clock
// (`GetMonotonicTime`), so they follow an installed test clock (time.h): a
// waiter wakes when the test advances the clock past its deadline. Without a
// test clock they are kernel timed waits; time-outs are clamped so that no
// conversion overflows. Prefer `TimedWaitUntil` over a bare TimedWait: it loops
// over spurious wake-ups and keeps one deadline across them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "kestrix/functor.h"
#include "kestrix/object.h"

namespace Kestrix {
namespace System {

/// Mutex is a non-recursive mutual-exclusion lock.
class Mutex : public virtual Object {
public:
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  virtual bool TryLock() = 0;
};
using MutexRef = Ref<Mutex>;

/// ConditionVariable waits on a Mutex held by the caller; the mutex must come
/// from the same factory.
class ConditionVariable : public virtual Object {
public:
  /// Wait blocks until notified (spurious wake-ups are possible).
  virtual void Wait(Mutex& mutex) = 0;
  /// TimedWait blocks at most timeoutMicros of monotonic time; returns false on
  /// time-out, true when woken (possibly spuriously).
  virtual bool TimedWait(Mutex& mutex, uint64_t timeoutMicros) = 0;
  virtual void Signal() = 0;
  virtual void Broadcast() = 0;
};
using ConditionVariableRef = Ref<ConditionVariable>;

/// RWLock allows many readers or one writer.
class RWLock : public virtual Object {
public:
  virtual void ReadLock() = 0;
  virtual void ReadUnlock() = 0;
  virtual void WriteLock() = 0;
  virtual void WriteUnlock() = 0;
};
using RWLockRef = Ref<RWLock>;

/// SystemFactory creates the synchronisation primitives.
class SystemFactory {
public:
  virtual ~SystemFactory() = default;
  virtual MutexRef CreateMutex() = 0;
  virtual ConditionVariableRef CreateConditionVariable() = 0;
  virtual RWLockRef CreateRWLock() = 0;
};

/// GetSystemFactory returns the process-wide factory.
SystemFactory& GetSystemFactory();

/// LockableObject: an object with a lock of its own.
class LockableObject : public virtual Object {
public:
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
};

/// WaitableObject: a lockable object with a condition to wait on. Wait and
/// TimedWait must be called with the lock held.
class WaitableObject : public virtual LockableObject {
public:
  virtual void Wait() = 0;
  /// TimedWait returns false when timeoutMicros passed without a wake-up.
  virtual bool TimedWait(uint64_t timeoutMicros) = 0;
  virtual void Signal() = 0;
  virtual void Broadcast() = 0;
};
using WaitableObjectRef = Ref<WaitableObject>;

/// TimedWaitUntil waits on cond (mutex held by the caller) until done() is
/// true or timeoutMicros of monotonic time passed since the call; returns
/// done()'s last value. done is evaluated with the mutex held.
bool TimedWaitUntil(ConditionVariable& cond, Mutex& mutex, uint64_t timeoutMicros,
                    const Functor<bool()>& done);
/// TimedWaitUntil on a WaitableObject whose lock the caller holds.
bool TimedWaitUntil(WaitableObject& waitable, uint64_t timeoutMicros, const Functor<bool()>& done);

/// RWLockableObject: an object with a reader-writer lock of its own.
class RWLockableObject : public virtual Object {
public:
  virtual void ReadLock() const = 0;
  virtual void ReadUnlock() const = 0;
  virtual void WriteLock() const = 0;
  virtual void WriteUnlock() const = 0;
};

/// LockableObjectImpl implements LockableObject with a factory mutex.
class LockableObjectImpl : public virtual LockableObject, public virtual ObjectImpl {
public:
  LockableObjectImpl();
  // LockableObject
  void Lock() override { mutex_->Lock(); }
  void Unlock() override { mutex_->Unlock(); }

protected:
  const MutexRef mutex_;
};

/// WaitableObjectImpl adds a condition variable to LockableObjectImpl.
class WaitableObjectImpl : public virtual WaitableObject, public LockableObjectImpl {
public:
  WaitableObjectImpl();
  // WaitableObject
  void Wait() override { cond_->Wait(*mutex_); }
  bool TimedWait(uint64_t timeoutMicros) override { return cond_->TimedWait(*mutex_, timeoutMicros); }
  void Signal() override { cond_->Signal(); }
  void Broadcast() override { cond_->Broadcast(); }

private:
  const ConditionVariableRef cond_;
};

/// CreateWaitableObject makes a stand-alone WaitableObject.
WaitableObjectRef CreateWaitableObject();

/// RWLockableObjectImpl implements RWLockableObject with a factory RWLock.
class RWLockableObjectImpl : public virtual RWLockableObject, public virtual ObjectImpl {
public:
  RWLockableObjectImpl();
  // RWLockableObject
  void ReadLock() const override { lock_->ReadLock(); }
  void ReadUnlock() const override { lock_->ReadUnlock(); }
  void WriteLock() const override { lock_->WriteLock(); }
  void WriteUnlock() const override { lock_->WriteUnlock(); }

private:
  const RWLockRef lock_;
};

/// LockGuard holds a LockableObject (or Mutex) locked for its scope.
template <class L>
class LockGuard {
public:
  explicit LockGuard(L& l) : l_(l) { l_.Lock(); }
  ~LockGuard() { l_.Unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

private:
  L& l_;
};

/// ReadGuard / WriteGuard hold an RWLockableObject for their scope.
class ReadGuard {
public:
  explicit ReadGuard(const RWLockableObject& l) : l_(l) { l_.ReadLock(); }
  ~ReadGuard() { l_.ReadUnlock(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

private:
  const RWLockableObject& l_;
};
class WriteGuard {
public:
  explicit WriteGuard(const RWLockableObject& l) : l_(l) { l_.WriteLock(); }
  ~WriteGuard() { l_.WriteUnlock(); }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

private:
  const RWLockableObject& l_;
};

}  // namespace System
}  // namespace Kestrix
