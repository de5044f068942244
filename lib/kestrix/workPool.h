// The work pool: named threads that run tasks (no arguments, no result).
//
// The pool grows a thread whenever a task arrives and no thread is idle, up to
// its maximum, so long-running tasks (sampling loops that never return) never
// keep a short task (a parallel retrieval) waiting as long as the maximum
// leaves room for both. A task that throws is logged and the thread goes on.
// After `BeginWindDown`, `Run` refuses new tasks with `InvalidStateException`;
// tasks already accepted still run. Reach the application's pool through
// `Kestrix::Service::GetApp()->GetWorkPool()`.
#pragma once

#include <cstdint>
#include <string>

#include "kestrix/functor.h"
#include "kestrix/log.h"
#include "kestrix/object.h"

namespace Kestrix {
namespace Service {

class WorkPool : public virtual Object {
public:
  /// Run queues a task and starts a thread for it when none is idle and the
  /// maximum allows. Throws InvalidStateException after BeginWindDown (and
  /// when no thread at all can be started); the task is then not kept.
  virtual void Run(Functor<void()> task) = 0;
  /// BeginWindDown stops accepting tasks; queued and running tasks still finish.
  virtual void BeginWindDown() = 0;
  /// Wait blocks at most timeoutMicros of monotonic time (it follows a test
  /// clock) for every task to finish; true when none is queued or running.
  virtual bool Wait(uint64_t timeoutMicros) = 0;
  /// GetThreadCount returns the number of threads started so far.
  virtual size_t GetThreadCount() const = 0;
  /// SetMaxThreads changes the maximum (at least 1) and starts threads for
  /// queued tasks that the new maximum leaves room for.
  virtual void SetMaxThreads(size_t maxThreads) = 0;
  virtual size_t GetMaxThreads() const = 0;
};
using WorkPoolRef = Ref<WorkPool>;

/// CreateWorkPool makes a pool whose threads are named "<name>-<n>" (cut to the
/// system's 15 characters) and which grows up to maxThreads. Failures of tasks
/// are logged to logger (the default logger when empty).
///
/// Destroying the pool (its last reference) winds it down without waiting for
/// running tasks: idle threads are joined, threads still in a task are left to
/// finish it and the queued tasks, then end. They never touch the destroyed
/// pool object.
WorkPoolRef CreateWorkPool(const std::string& name, size_t maxThreads, const LoggerRef& logger = LoggerRef());

}  // namespace Service
}  // namespace Kestrix
