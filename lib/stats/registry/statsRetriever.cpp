#include "stats/registry/statsRetriever.h"

#include "kestrix/format.h"
#include "stats/registry/statsRegistryImpl.h"

namespace Stats {
namespace Registry {

StatsRetriever::StatsRetriever(const Kestrix::Service::LoggerRef& parentLogger,
                               Kestrix::Service::WorkPoolRef pool)
    : logger_(Kestrix::Service::Logger::CreateLogger(
          parentLogger, (parentLogger ? parentLogger->GetName() : Kestrix::Service::GetDefaultLogger()->GetName()) +
                            ".Retriever(" + Kestrix::PointerField(this) + ")")),
      pool_(std::move(pool)) {
  KLOG(logger_, VERBOSE, "Created");
}

std::exception_ptr StatsRetriever::Retrieve(const RegistryImpl& registry, const HandlerGroups& groups,
                                            StatsResult& result) {
  struct Refused {
    GetStatValuesHandlerRef handler;
    size_t slot;
  };
  std::vector<Refused> refused;

  Lock();
  outstanding_ = 0;
  errors_.assign(groups.size(), nullptr);
  claimed_.reset(new std::atomic<bool>[groups.size()]);
  for (size_t slot = 0; slot < groups.size(); ++slot) claimed_[slot].store(false, std::memory_order_relaxed);
  for (size_t slot = 0; slot < groups.size(); ++slot) {
    const HandlerGroup& group = groups[slot];
    GetStatValuesHandlerRef handler = registry.FindHandler(group.handlerId);
    if (!handler) {
      KLOG(logger_, ERROR, "invalid stat handler id: %1", group.handlerId);
      continue;
    }
    // The count goes up while the lock is held, so no worker can count down
    // before every dispatched call has been counted up.
    ++outstanding_;
    const StatsRetrieverRef self(this);
    const StatInstanceList* instances = &group.instances;
    StatsResult* sink = &result;
    try {
      pool_->Run([self, handler, instances, sink, slot] {
        // Skipped when this thread's fallback already ran the call.
        if (!self->claimed_[slot].exchange(true)) self->RetrieveFromHandler(handler, *instances, *sink, slot);
      });
    } catch (const std::exception& e) {
      // A pool that winds down refuses tasks; the pass still gets its values,
      // collected on this thread once the lock is released.
      KLOG(logger_, WARNING, "work pool refused the call of handler '%1' (%2); collecting on this thread",
           handler->GetHandlerName(), e.what());
      refused.push_back(Refused{handler, slot});
    }
  }
  if (!refused.empty()) {
    // A pool may fail after queueing the task: whichever side claims the slot
    // first makes the call, so it runs and is counted down exactly once.
    Unlock();
    for (const auto& r : refused) {
      if (!claimed_[r.slot].exchange(true)) RetrieveFromHandler(r.handler, groups[r.slot].instances, result, r.slot);
    }
    Lock();
  }
  // Otherwise the lock is held from dispatch to the first wait, so that the
  // first wait sees every dispatched call outstanding.
  while (outstanding_ >= 1) {
    KLOG(logger_, TRIVIA, "Waiting for get stats value call from %1 providers", outstanding_);
    Wait();
  }
  KLOG(logger_, TRIVIA, "Finish retrieving stat values from all providers [count=%1], total stats[%2]",
       outstanding_, result.GetValueCount());
  std::exception_ptr first;
  for (auto& e : errors_) {
    if (e && !first) first = std::move(e);
  }
  // The errors go now, under the lock: the pool thread that drops the last
  // reference to this retriever must not destroy the error the caller reads.
  errors_.clear();
  Unlock();
  return first;
}

void StatsRetriever::RetrieveFromHandler(const GetStatValuesHandlerRef& handler,
                                         const StatInstanceList& instances, StatsResult& result, size_t slot) {
  std::exception_ptr error;
  try {
    const GetStatValuesFunctor& functor = handler->GetFunctor();
    functor(instances, result);
  } catch (const std::exception& e) {
    KLOG(logger_, ERROR, "handler '%1' failed: %2", handler->GetHandlerName(), e.what());
    error = std::current_exception();
  } catch (...) {
    KLOG(logger_, ERROR, "handler '%1' failed with an unknown exception", handler->GetHandlerName());
    error = std::current_exception();
  }
  // Counted down whatever happened: the caller waits for every dispatched call.
  Kestrix::System::LockGuard<StatsRetriever> guard(*this);
  errors_[slot] = std::move(error);  // this thread keeps no reference to it
  --outstanding_;
  if (outstanding_ < 1) {
    KLOG(logger_, INFO, "got stat values from all providers [count=%1], total stats[%2]", outstanding_,
         result.GetValueCount());
    Signal();
  }
}

}  // namespace Registry
}  // namespace Stats
