// StatsRetriever: one parallel value retrieval. Each handler's group runs as
// one task on the work pool while the calling thread waits until every
// dispatched call has been counted down, whether it returned or threw.
//
// Use it only from `RegistryImpl::GetStatValues`, which holds the registry's
// read lock for the whole retrieval; one retriever serves one call.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <exception>
#include <vector>

#include "kestrix/lock.h"
#include "kestrix/log.h"
#include "kestrix/workPool.h"
#include "public/stats/statsProvider.h"

namespace Stats {
namespace Registry {

class RegistryImpl;

/// HandlerGroup is the valid requested instances that one handler serves, in
/// request order.
struct HandlerGroup {
  int64_t handlerId = 0;
  StatInstanceList instances;
};
/// HandlerGroups are kept in ascending handler id.
using HandlerGroups = std::vector<HandlerGroup>;

class StatsRetriever : public virtual Kestrix::System::WaitableObjectImpl {
public:
  /// The logger is named parentLogger's name + ".Retriever(<address>)".
  StatsRetriever(const Kestrix::Service::LoggerRef& parentLogger, Kestrix::Service::WorkPoolRef pool);

  /// Retrieve calls every group's handler on the pool and waits for all of
  /// them. The caller holds registry's read lock (handlers are looked up
  /// without further locking) and keeps groups and result alive until it
  /// returns. Returns the error of the first failing group in handler order,
  /// or null; the caller rethrows it once it has released the registry.
  std::exception_ptr Retrieve(const RegistryImpl& registry, const HandlerGroups& groups,
                              StatsResult& result);

private:
  void RetrieveFromHandler(const GetStatValuesHandlerRef& handler, const StatInstanceList& instances,
                           StatsResult& result, size_t slot);

  const Kestrix::Service::LoggerRef logger_;
  const Kestrix::Service::WorkPoolRef pool_;
  int64_t outstanding_ = 0;                  // guarded by the retriever's lock: calls not yet finished
  std::vector<std::exception_ptr> errors_;  // guarded by the retriever's lock: one slot per group
  // One flag per group, set by whoever makes the call (pool task or the
  // caller's fallback); allocated before dispatch and never resized.
  std::unique_ptr<std::atomic<bool>[]> claimed_;
};
using StatsRetrieverRef = Kestrix::Ref<StatsRetriever>;

}  // namespace Registry
}  // namespace Stats
