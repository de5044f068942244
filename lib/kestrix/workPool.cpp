#include "kestrix/workPool.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "kestrix/exception.h"
#include "kestrix/log.h"

namespace Kestrix {
namespace Service {
namespace {

class WorkPoolImpl : public WorkPool, public ObjectImpl {
public:
  WorkPoolImpl(std::string name, size_t maxThreads) : name_(std::move(name)), max_(maxThreads ? maxThreads : 1) {}
  ~WorkPoolImpl() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      windDown_ = true;
      exit_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) {
      if (t.joinable()) t.detach();  // a task may never return; do not block the exit
    }
  }

  // WorkPool
  void Run(Functor<void()> task) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (windDown_) throw InvalidStateException("work pool " + name_ + " is winding down: task refused");
    queue_.push_back(std::move(task));
    if (idle_ < queue_.size() && threads_.size() < max_) {
      const size_t n = threads_.size();
      threads_.emplace_back([this, n] { Loop(n); });
    }
    lock.unlock();
    cv_.notify_one();
  }
  void BeginWindDown() override {
    std::lock_guard<std::mutex> lock(mutex_);
    windDown_ = true;
  }
  bool Wait(uint64_t timeoutMicros) override {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t bound = std::min<uint64_t>(timeoutMicros, uint64_t(1) << 52);
    return doneCv_.wait_for(lock, std::chrono::microseconds(bound),
                            [this] { return queue_.empty() && running_ == 0; });
  }
  size_t GetThreadCount() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_.size();
  }

private:
  void Loop(size_t n) {
    std::string tname = name_ + "-" + std::to_string(n);
    pthread_setname_np(pthread_self(), tname.substr(0, 15).c_str());
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      cv_.wait(lock, [this] { return exit_ || !queue_.empty(); });
      --idle_;
      if (queue_.empty()) return;  // exit_ with nothing left
      Functor<void()> task = std::move(queue_.front());
      queue_.pop_front();
      ++running_;
      lock.unlock();
      try {
        task();
      } catch (const std::exception& e) {
        KLOG(GetDefaultLogger(), ERROR, "Task on %1 failed: %2", tname, e.what());
      } catch (...) {
        KLOG(GetDefaultLogger(), ERROR, "Task on %1 failed with an unknown exception", tname);
      }
      task = nullptr;  // release what the task holds before reporting it done
      lock.lock();
      --running_;
      if (queue_.empty() && running_ == 0) doneCv_.notify_all();
    }
  }

  const std::string name_;
  const size_t max_;
  mutable std::mutex mutex_;            // guards every field below
  std::condition_variable cv_;          // a task arrived or the pool exits
  std::condition_variable doneCv_;      // the pool became empty
  std::deque<Functor<void()>> queue_;   // guarded by mutex_
  std::vector<std::thread> threads_;    // guarded by mutex_
  size_t idle_ = 0;                     // guarded by mutex_: threads waiting for work
  size_t running_ = 0;                  // guarded by mutex_: tasks being run
  bool windDown_ = false;               // guarded by mutex_
  bool exit_ = false;                   // guarded by mutex_
};

}  // namespace

WorkPoolRef CreateWorkPool(const std::string& name, size_t maxThreads) {
  return WorkPoolRef(new WorkPoolImpl(name, maxThreads));
}

}  // namespace Service
}  // namespace Kestrix
