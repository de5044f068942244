#include "kestrix/workPool.h"

#include <pthread.h>

#include <deque>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "kestrix/exception.h"
#include "kestrix/lock.h"

namespace Kestrix {
namespace Service {
namespace {

using System::LockGuard;
using System::Mutex;

// Worker is one pool thread as the pool sees it.
struct Worker {
  std::thread thread;
  bool busy = false;    // running a task
  bool exited = false;  // its loop ended; the thread returns at once
};

// PoolState is everything the threads use. The threads hold references to it,
// never to the pool object, so the pool can go away while a task still runs.
class PoolState : public ObjectImpl {
public:
  PoolState(std::string n, size_t maxThreads, LoggerRef l)
      : name(std::move(n)), logger(std::move(l)), max(maxThreads ? maxThreads : 1) {}

  const std::string name;
  const LoggerRef logger;  // empty: the default logger
  // One lock for the queue and the thread list: tasks are coarse (a sampling
  // pass or a provider's retrieval), so contention is negligible.
  const System::MutexRef mutex = System::GetSystemFactory().CreateMutex();
  const System::ConditionVariableRef workArrived =  // a task was queued, or the pool closes
      System::GetSystemFactory().CreateConditionVariable();
  const System::ConditionVariableRef changed =  // the pool became empty, or a worker went busy or exited
      System::GetSystemFactory().CreateConditionVariable();

  size_t max;                                   // guarded by mutex
  std::deque<Functor<void()>> queue;            // guarded by mutex
  std::vector<std::unique_ptr<Worker>> workers; // guarded by mutex
  size_t idle = 0;                              // guarded by mutex: workers waiting for a task
  size_t starting = 0;                          // guarded by mutex: workers not yet in their loop
  size_t running = 0;                           // guarded by mutex: tasks being run
  bool windDown = false;                        // guarded by mutex: Run refuses tasks
  bool closed = false;                          // guarded by mutex: workers end once the queue is empty
};

void RunTask(const PoolState& state, const std::string& threadName, Functor<void()>& task) {
  const LoggerRef logger = state.logger ? state.logger : GetDefaultLogger();
  try {
    task();
  } catch (const std::exception& e) {
    KLOG(logger, ERROR, "Task on %1 failed: %2", threadName, e.what());
  } catch (...) {
    KLOG(logger, ERROR, "Task on %1 failed with an unknown exception", threadName);
  }
}

void WorkerLoop(Ref<PoolState> s, Worker* self, size_t index) {
  const std::string threadName = s->name + "-" + std::to_string(index);
  pthread_setname_np(pthread_self(), threadName.substr(0, 15).c_str());
  s->mutex->Lock();
  --s->starting;
  for (;;) {
    while (!s->closed && s->queue.empty()) {
      ++s->idle;
      s->workArrived->Wait(*s->mutex);
      --s->idle;
    }
    if (s->queue.empty()) break;  // closed, nothing left
    Functor<void()> task = std::move(s->queue.front());
    s->queue.pop_front();
    ++s->running;
    self->busy = true;
    if (s->closed) s->changed->Broadcast();
    s->mutex->Unlock();
    RunTask(*s, threadName, task);
    task = nullptr;  // release what the task holds before reporting it done
    s->mutex->Lock();
    --s->running;
    self->busy = false;
    if (s->queue.empty() && s->running == 0) s->changed->Broadcast();
  }
  self->exited = true;
  s->changed->Broadcast();
  s->mutex->Unlock();
}

class WorkPoolImpl : public WorkPool, public ObjectImpl {
public:
  explicit WorkPoolImpl(Ref<PoolState> state) : s_(std::move(state)) {}

  ~WorkPoolImpl() override {
    std::vector<std::thread> finished;
    {
      LockGuard<Mutex> lock(*s_->mutex);
      s_->windDown = true;
      s_->closed = true;
      s_->workArrived->Broadcast();
      // Idle workers either end or take a queued task; wait until each has.
      for (;;) {
        bool settling = false;
        for (const auto& w : s_->workers) settling |= !w->exited && !w->busy;
        if (!settling) break;
        s_->changed->Wait(*s_->mutex);
      }
      for (auto& w : s_->workers) {
        if (w->exited) finished.push_back(std::move(w->thread));
        else w->thread.detach();  // busy: it holds the state and ends after the queue
      }
    }
    for (auto& t : finished) t.join();
  }

  // WorkPool
  void Run(Functor<void()> task) override {
    LockGuard<Mutex> lock(*s_->mutex);
    if (s_->windDown) {
      throw InvalidStateException("Work pool " + s_->name + " is winding down: task refused");
    }
    s_->queue.push_back(std::move(task));
    try {
      GrowLocked();
    } catch (const std::system_error& e) {
      if (s_->workers.empty()) {
        s_->queue.pop_back();
        throw InvalidStateException("Work pool " + s_->name + " cannot start a thread: " + e.what());
      }
      // The task waits for one of the running threads.
    }
    s_->workArrived->Signal();
  }
  void BeginWindDown() override {
    LockGuard<Mutex> lock(*s_->mutex);
    s_->windDown = true;
  }
  bool Wait(uint64_t timeoutMicros) override {
    LockGuard<Mutex> lock(*s_->mutex);
    return System::TimedWaitUntil(*s_->changed, *s_->mutex, timeoutMicros,
                                  [this] { return s_->queue.empty() && s_->running == 0; });
  }
  size_t GetThreadCount() const override {
    LockGuard<Mutex> lock(*s_->mutex);
    return s_->workers.size();
  }
  void SetMaxThreads(size_t maxThreads) override {
    LockGuard<Mutex> lock(*s_->mutex);
    s_->max = maxThreads ? maxThreads : 1;
    GrowLocked();
    s_->workArrived->Broadcast();
  }
  size_t GetMaxThreads() const override {
    LockGuard<Mutex> lock(*s_->mutex);
    return s_->max;
  }

private:
  // GrowLocked starts workers while queued tasks outnumber idle and starting
  // workers and the maximum allows. May throw std::system_error when no thread can be started.
  void GrowLocked() {
    while (s_->idle + s_->starting < s_->queue.size() && s_->workers.size() < s_->max) {
      auto w = std::make_unique<Worker>();
      const size_t index = s_->workers.size();
      Worker* raw = w.get();
      w->thread = std::thread(WorkerLoop, s_, raw, index);
      s_->workers.push_back(std::move(w));
      ++s_->starting;
    }
  }

  const Ref<PoolState> s_;
};

}  // namespace

WorkPoolRef CreateWorkPool(const std::string& name, size_t maxThreads, const LoggerRef& logger) {
  return WorkPoolRef(new WorkPoolImpl(MakeRef<PoolState>(name, maxThreads, logger)));
}

}  // namespace Service
}  // namespace Kestrix
