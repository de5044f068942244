// The persisted stat catalogue: which statistics the service stores, under
// which series names, categories, units and value kinds, and the two sampling
// collections built from it (CPU, memory and network; storage sizes).
//
// Series ids are taken from the context's counter in catalogue order while the
// catalogue is built, so in a normal start the CPU, memory and network series
// get the ids 0 to 6.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "apps/tallywick/persistedStat.h"
#include "apps/tallywick/storageCollection.h"
#include "apps/tallywick/storageEngine.h"

namespace Tallywick {

/// CatalogueEntry: a persisted stat and whether it is stored on its own. An
/// entry without the flag is a rational component (read, not stored) or a
/// template whose per-instance series are stored once allocated.
struct CatalogueEntry {
  PersistedStatRef stat;
  bool storeOnItsOwn = false;
};

/// RationalCatalogueEntry: a rational stat with the entries it sums as
/// numerators and denominators.
struct RationalCatalogueEntry {
  RationalPersistedStatRef stat;
  std::vector<CatalogueEntry> numerators;
  std::vector<CatalogueEntry> denominators;
};

/// MakeCatalogueStat creates a persisted stat with the metadata of its
/// category and unit; with an id taken from ids (withId) it also gets the name
/// part, without one it is a template (id NoKey).
PersistedStatRef MakeCatalogueStat(const std::string& name, const std::string& label, const std::string& category,
                                   const std::string& unit, uint32_t valueKind, bool withId,
                                   CollectedStatIdCounter& ids);

/// BuildCollection assembles the requested map (the first entry of a label
/// keeps it) and the drain list (each rational stat, then the flagged plain
/// entries, in order) and constructs the collection.
StorageCollectionRef BuildCollection(const StorageEngineRef& engine, uint64_t periodMicros,
                                     const InstanceNames& instanceNames,
                                     const std::vector<RationalCatalogueEntry>& rationals,
                                     const std::vector<CatalogueEntry>& plains, const CollectionContext& context);

/// BuildCpuMemNetCollection: cpu.util (rational: user + system over cores),
/// cpu.totalfrequency, mem.util, mem.total, and per-interface series of net
/// rx/tx activity and packet rates.
StorageCollectionRef BuildCpuMemNetCollection(const StorageEngineRef& engine, uint64_t periodMicros,
                                              const CollectionContext& context = DefaultCollectionContext());

/// BuildStorageSizeCollection: per-instance used and total sizes of the
/// monitored file systems and total sizes of the monitored directories, named
/// through instanceNames (path -> name).
StorageCollectionRef BuildStorageSizeCollection(const StorageEngineRef& engine, uint64_t periodMicros,
                                                const InstanceNames& instanceNames,
                                                const CollectionContext& context = DefaultCollectionContext());

}  // namespace Tallywick
