// The collection context of the running service: kept apart from the
// collection itself, so that code built and tested without the query engine
// and the registry does not pull them in.
#include "apps/tallywick/storageCollection.h"

namespace Tallywick {

CollectionContext DefaultCollectionContext(const Kestrix::Service::LoggerRef& logger) {
  CollectionContext context;
  context.registry = Stats::GetDefaultRegistry();
  context.createQuery = [](const Stats::StatInstanceWriterRef& writer, const Stats::StatInstanceAllocatorRef& allocator,
                           const Stats::StatsRegistryRef& registry) {
    // Time to live 0: an instance that received no value in a pass is expired.
    return Stats::CreateQuery(writer, allocator, 0, Kestrix::Service::LoggerRef(), registry);
  };
  context.ids = &GetCollectedStatIdCounter();
  context.logger = logger;
  return context;
}

}  // namespace Tallywick
