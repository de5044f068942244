// The work pool: named threads that run tasks (no arguments, no result).
//
// The pool grows a thread whenever a task arrives and no thread is idle, up to
// its maximum, so long-running tasks (sampling loops that never return) never
// keep a short task (a parallel retrieval) waiting. A task that throws is
// logged and the thread goes on. After `BeginWindDown`, `Run` refuses new tasks
// with `InvalidStateException`.
#pragma once

#include <cstdint>
#include <string>

#include "kestrix/functor.h"
#include "kestrix/object.h"

namespace Kestrix {
namespace Service {

class WorkPool : public virtual Object {
public:
  /// Run queues a task. Throws InvalidStateException after BeginWindDown.
  virtual void Run(Functor<void()> task) = 0;
  /// BeginWindDown stops accepting tasks; queued and running tasks still finish.
  virtual void BeginWindDown() = 0;
  /// Wait blocks at most timeoutMicros for every task to finish; true when none
  /// is queued or running.
  virtual bool Wait(uint64_t timeoutMicros) = 0;
  /// GetThreadCount returns the number of threads started so far.
  virtual size_t GetThreadCount() const = 0;
};
using WorkPoolRef = Ref<WorkPool>;

/// CreateWorkPool makes a pool whose threads are named "<name>-<n>" and which
/// grows up to maxThreads.
WorkPoolRef CreateWorkPool(const std::string& name, size_t maxThreads);

}  // namespace Service
}  // namespace Kestrix
