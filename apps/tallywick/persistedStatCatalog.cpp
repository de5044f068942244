#include "apps/tallywick/persistedStatCatalog.h"

#include "apps/tallywick/persistedStatMetadata.h"

namespace Tallywick {
namespace {

CollectedStatIdCounter& IdsOf(const CollectionContext& context) {
  return context.ids ? *context.ids : GetCollectedStatIdCounter();
}

void AddEntry(const CatalogueEntry& entry, RequestedStats& requested, PersistedStatList& drainList) {
  requested.emplace(entry.stat->GetLabel(), entry.stat);  // the first entry keeps the label
  if (entry.storeOnItsOwn) drainList.push_back(entry.stat);
}

}  // namespace

PersistedStatRef MakeCatalogueStat(const std::string& name, const std::string& label, const std::string& category,
                                   const std::string& unit, uint32_t valueKind, bool withId,
                                   CollectedStatIdCounter& ids) {
  std::string metadata = CategoryMetadata(category, unit);
  if (!withId) return Kestrix::MakeRef<PersistedStat>(name, label, valueKind, metadata, Stats::NoKey);
  metadata += NameMetadata(name);
  return Kestrix::MakeRef<PersistedStat>(name, label, valueKind, metadata, ids.Next());
}

StorageCollectionRef BuildCollection(const StorageEngineRef& engine, uint64_t periodMicros,
                                     const InstanceNames& instanceNames,
                                     const std::vector<RationalCatalogueEntry>& rationals,
                                     const std::vector<CatalogueEntry>& plains, const CollectionContext& context) {
  RequestedStats requested;
  PersistedStatList drainList;
  for (const auto& rational : rationals) {
    for (const auto& n : rational.numerators) {
      AddEntry(n, requested, drainList);
      rational.stat->AddNumerator(n.stat);
    }
    for (const auto& d : rational.denominators) {
      AddEntry(d, requested, drainList);
      rational.stat->AddDenominator(d.stat);
    }
    drainList.push_back(rational.stat);
  }
  for (const auto& plain : plains) AddEntry(plain, requested, drainList);
  return Kestrix::MakeRef<StorageCollection>(engine, periodMicros, requested, std::move(drainList), instanceNames,
                                             context);
}

StorageCollectionRef BuildCpuMemNetCollection(const StorageEngineRef& engine, uint64_t periodMicros,
                                              const CollectionContext& context) {
  CollectedStatIdCounter& ids = IdsOf(context);
  // The order of creation is the order of the ids.
  PersistedStatRef user =
      MakeCatalogueStat("cpu.usage.user", "cpu.usage.user.host", "cpu", "percent", ValueKindReal, true, ids);
  PersistedStatRef system =
      MakeCatalogueStat("cpu.usage.system", "cpu.usage.system.host", "cpu", "percent", ValueKindReal, true, ids);
  PersistedStatRef cores = MakeCatalogueStat("cpu.count", "cpu.count.host", "cpu", "cores", ValueKindInteger, true, ids);
  RationalPersistedStatRef util = Kestrix::MakeRef<RationalPersistedStat>(
      "cpu.util", ValueKindReal, CategoryMetadata("cpu", "percent") + NameMetadata("cpu.util"), ids.Next());
  // The kernel counts CPU time in ticks of 1/100 s: a busy CPU's second can
  // count a tick more than the second had, 101 %.
  util->SetCeiling(Stats::StatValue(100));

  std::vector<RationalCatalogueEntry> rationals{{util, {{user, false}, {system, false}}, {{cores, false}}}};
  std::vector<CatalogueEntry> plains;
  plains.push_back(
      {MakeCatalogueStat("cpu.totalfrequency", "cpu.totalfrequency.host", "cpu", "mhz", ValueKindReal, true, ids),
       true});
  // mem.util is the used physical memory in kB, not a percentage.
  plains.push_back(
      {MakeCatalogueStat("mem.util", "mem.physical.used.host", "memory", "kb", ValueKindInteger, true, ids), true});
  plains.push_back(
      {MakeCatalogueStat("mem.total", "mem.physical.host", "memory", "kb", ValueKindInteger, true, ids), true});
  const struct {
    const char* name;
    const char* label;
    const char* unit;
  } perInterface[] = {
      {"net.tx.activity", "net.tx.activity.pNIC", "kb_per_sec"},
      {"net.rx.activity", "net.rx.activity.pNIC", "kb_per_sec"},
      {"net.tx.packetRate", "net.tx.packetRate.pNIC", "packets_per_microsec"},
      {"net.rx.packetRate", "net.rx.packetRate.pNIC", "packets_per_microsec"},
  };
  for (const auto& t : perInterface) {
    plains.push_back({MakeCatalogueStat(t.name, t.label, "network", t.unit, ValueKindReal, false, ids), false});
  }
  return BuildCollection(engine, periodMicros, InstanceNames(), rationals, plains, context);
}

StorageCollectionRef BuildStorageSizeCollection(const StorageEngineRef& engine, uint64_t periodMicros,
                                                const InstanceNames& instanceNames,
                                                const CollectionContext& context) {
  CollectedStatIdCounter& ids = IdsOf(context);
  std::vector<CatalogueEntry> plains{
      {MakeCatalogueStat("storage.used.filesystem", "storage.used.D.filesystem", "storage", "kb", ValueKindInteger,
                         false, ids),
       false},
      {MakeCatalogueStat("storage.totalsize.filesystem", "storage.totalsize.D.filesystem", "storage", "kb",
                         ValueKindInteger, false, ids),
       false},
      {MakeCatalogueStat("storage.totalsize.directory", "storage.totalsize.D.directory", "storage", "kb",
                         ValueKindInteger, false, ids),
       false},
  };
  return BuildCollection(engine, periodMicros, instanceNames, {}, plains, context);
}

}  // namespace Tallywick
