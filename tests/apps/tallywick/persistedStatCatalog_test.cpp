#include "apps/tallywick/persistedStatCatalog.h"

#include <gtest/gtest.h>

#include "stats/providers/linux/linuxStorageStatsProviderImpl.h"
#include "stats/providers/linuxStatsProviderImpl.h"
#include "tests/apps/tallywick/collectionFakes.h"

namespace Tallywick {
namespace {

using Stats::StatValue;
using Testing::Database;
using Testing::Names;

constexpr uint64_t kPeriod = 60000000;

// The metadata of a series with its own id, written out as the database shows it.
std::string OwnMetadata(const std::string& category, const std::string& unit, const std::string& name) {
  return "category=com.norvex.fenmark.mon.cat." + category + ";units=com.norvex.fenmark.mon.unit." + unit +
         ";name=com.norvex.fenmark.mon.name." + name + ";description=com.norvex.fenmark.mon.descr." + name + ";";
}

struct Expected {
  const char* name;
  const char* label;
  const char* category;
  const char* unit;
  uint32_t kind;
  CollectedStatId id;
};

void ExpectStat(const PersistedStat& stat, const Expected& e) {
  EXPECT_EQ(stat.GetName(), e.name);
  EXPECT_EQ(stat.GetLabel(), e.label) << e.name;
  EXPECT_EQ(stat.GetValueKind(), e.kind) << e.name;
  EXPECT_EQ(stat.GetCollectedStatId(), e.id) << e.name;
  EXPECT_EQ(stat.GetMetadata(), OwnMetadata(e.category, e.unit, e.name)) << e.name;
}

class CatalogueTest : public Testing::CollectionTest {
protected:
  void RegisterCpuMemNet() {
    int64_t id = 101;
    for (const char* name : {"cpu.usage.user", "cpu.usage.system", "cpu.count", "cpu.totalfrequency",
                             "mem.physical.used", "mem.physical"}) {
      registry_->Add(id++, name);
    }
    for (const char* name : {"net.tx.activity", "net.rx.activity", "net.tx.packetRate", "net.rx.packetRate"}) {
      registry_->Add(id++, name, {Testing::NicAttribute()});
    }
  }
};

TEST_F(CatalogueTest, CpuMemNetSeriesTakeTheIdsZeroToSixInCatalogueOrder) {
  RegisterCpuMemNet();
  auto collection = BuildCpuMemNetCollection(OpenEngine(), kPeriod, Context());
  EXPECT_EQ(collection->GetPeriod(), kPeriod);

  const auto& drain = collection->GetDrainList();
  ASSERT_EQ(drain.size(), 4u);
  const Expected stored[] = {
      {"cpu.util", "", "cpu", "percent", ValueKindReal, 3},
      {"cpu.totalfrequency", "cpu.totalfrequency.host", "cpu", "mhz", ValueKindReal, 4},
      {"mem.util", "mem.physical.used.host", "memory", "kb", ValueKindInteger, 5},
      {"mem.total", "mem.physical.host", "memory", "kb", ValueKindInteger, 6},
  };
  for (size_t i = 0; i < drain.size(); ++i) ExpectStat(*drain[i], stored[i]);
  EXPECT_EQ(drain[0]->GetMetadata(),
            "category=com.norvex.fenmark.mon.cat.cpu;units=com.norvex.fenmark.mon.unit.percent;name=com.norvex."
            "fenmark.mon.name.cpu.util;description=com.norvex.fenmark.mon.descr.cpu.util;");

  auto util = Kestrix::RefCast<RationalPersistedStat>(drain[0]);
  ASSERT_TRUE(util);
  ASSERT_EQ(util->GetNumerators().size(), 2u);
  ASSERT_EQ(util->GetDenominators().size(), 1u);
  ExpectStat(*util->GetNumerators()[0], {"cpu.usage.user", "cpu.usage.user.host", "cpu", "percent", ValueKindReal, 0});
  ExpectStat(*util->GetNumerators()[1],
             {"cpu.usage.system", "cpu.usage.system.host", "cpu", "percent", ValueKindReal, 1});
  ExpectStat(*util->GetDenominators()[0], {"cpu.count", "cpu.count.host", "cpu", "cores", ValueKindInteger, 2});

  // Every label of the catalogue is requested: six host stats and four per-NIC.
  ASSERT_EQ(query_->requests.size(), 1u);
  EXPECT_EQ(query_->requests[0].size(), 10u);
  EXPECT_EQ(ids_.Next(), 7u);
}

TEST_F(CatalogueTest, NetworkTemplatesGiveRealSeriesPerInterface) {
  RegisterCpuMemNet();
  auto collection = BuildCpuMemNetCollection(OpenEngine(), kPeriod, Context());
  const struct {
    int64_t statId;
    const char* name;
    const char* label;
    const char* unit;
  } templates[] = {
      {107, "net.tx.activity.eth0", "net.tx.activity.pNIC", "kb_per_sec"},
      {108, "net.rx.activity.eth0", "net.rx.activity.pNIC", "kb_per_sec"},
      {109, "net.tx.packetRate.eth0", "net.tx.packetRate.pNIC", "packets_per_microsec"},
      {110, "net.rx.packetRate.eth0", "net.rx.packetRate.pNIC", "packets_per_microsec"},
  };
  CollectedStatId next = 7;
  for (const auto& t : templates) {
    EXPECT_EQ(Allocate(static_cast<uint64_t>(t.statId), {"eth0"}), next) << t.name;
    const auto& series = *collection->GetDrainList().back();
    EXPECT_EQ(series.GetName(), t.name);
    EXPECT_EQ(series.GetLabel(), t.label);
    EXPECT_EQ(series.GetValueKind(), ValueKindReal) << t.name;
    EXPECT_EQ(series.GetMetadata(), std::string("category=com.norvex.fenmark.mon.cat.network;units=com.norvex."
                                                "fenmark.mon.unit.") +
                                        t.unit + ";instance=eth0;name=com.norvex.fenmark.mon.name." + t.name +
                                        ";description=com.norvex.fenmark.mon.descr." + t.name + ";");
    ++next;
  }
}

TEST_F(CatalogueTest, CpuUtilIsStoredAsARealAndItsComponentsAreNot) {
  RegisterCpuMemNet();
  auto collection = BuildCpuMemNetCollection(OpenEngine(), kPeriod, Context());
  const uint64_t t = 4102444800ull * 1000000;  // 2100-01-01
  ASSERT_EQ(Allocate(101, {}), 0u);
  ASSERT_EQ(Allocate(102, {}), 1u);
  ASSERT_EQ(Allocate(103, {}), 2u);
  Emit(0, t, StatValue(150));
  Emit(1, t, StatValue(50));
  Emit(2, t, StatValue(4));
  ASSERT_TRUE(collection->Drain());
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_cpu_util;"), std::vector<std::string>{"4102444800|50.0"});
  // Series without a valid value get no metadata row yet; components never do.
  EXPECT_EQ(check.Rows("SELECT stat_id, stat_table_name FROM sm_stats_metadata;"),
            std::vector<std::string>{"cpu.util|sm_stat_cpu_util"});
}

TEST_F(CatalogueTest, InterfaceNameWithADotKeepsItInTheNameNotTheTable) {
  RegisterCpuMemNet();
  auto collection = BuildCpuMemNetCollection(OpenEngine(), kPeriod, Context());
  const uint64_t id = Allocate(107, {"eth0.100"});
  Emit(id, 4102444800ull * 1000000, StatValue(5, 4));
  ASSERT_TRUE(collection->Drain());
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT stat_id, stat_table_name FROM sm_stats_metadata;"),
            std::vector<std::string>{"net.tx.activity.eth0.100|sm_stat_net_tx_activity_eth0_100"});
  EXPECT_EQ(check.Rows("SELECT sm_stat_value FROM sm_stat_net_tx_activity_eth0_100;"),
            std::vector<std::string>{"1.25"});
}

TEST_F(CatalogueTest, StorageSizeCollectionStoresOneSeriesPerConfiguredPath) {
  registry_->Add(201, "storage.used", {Testing::PathAttribute(".filesystem")});
  registry_->Add(202, "storage.totalsize", {Testing::PathAttribute(".filesystem")});
  registry_->Add(203, "storage.totalsize", {Testing::PathAttribute(".directory")});
  auto collection = BuildStorageSizeCollection(OpenEngine(), 600000000, {{"/", "root"}, {"/storage/log", "log"},
                                                                         {"/var/core", "core"}},
                                               Context());
  EXPECT_TRUE(collection->GetDrainList().empty());
  EXPECT_EQ(collection->GetPeriod(), 600000000u);
  const std::pair<uint64_t, const char*> instances[] = {
      {201, "/"}, {201, "/storage/log"}, {202, "/"}, {202, "/storage/log"}, {203, "/var/core"}};
  for (const auto& [statId, path] : instances) Allocate(statId, {path});
  std::vector<std::string> names;
  for (const auto& s : collection->GetDrainList()) {
    names.push_back(s->GetName());
    EXPECT_EQ(s->GetValueKind(), ValueKindInteger) << s->GetName();
    EXPECT_EQ(s->GetMetadata().rfind("category=com.norvex.fenmark.mon.cat.storage;units=com.norvex.fenmark.mon."
                                     "unit.kb;instance=",
                                     0),
              0u)
        << s->GetMetadata();
  }
  EXPECT_EQ(names, (std::vector<std::string>{"storage.used.filesystem.root", "storage.used.filesystem.log",
                                             "storage.totalsize.filesystem.root", "storage.totalsize.filesystem.log",
                                             "storage.totalsize.directory.core"}));
  EXPECT_EQ(collection->GetDrainList()[4]->GetCollectedStatId(), 4u) << "storage templates take no ids";
}

TEST_F(CatalogueTest, EveryLabelMatchesAStatisticOfTheLinuxProviders) {
  Testing::CapturedLog registryLog(dir_, "registry.log");
  auto registry = Stats::CreateRegistry(registryLog.Logger());
  auto linuxProvider = Kestrix::MakeRef<Stats::Providers::LinuxStatsProvider>(Stats::Providers::ProcessSelectorList(),
                                                                        nullptr);
  linuxProvider->RegisterStats(registry);
  auto storage = Kestrix::MakeRef<Stats::Providers::LinuxStorageStatsProvider>(
      std::vector<std::string>{"/"}, std::vector<std::string>{dir_.Path()}, nullptr);
  storage->RegisterStats(registry);

  CollectionContext context = Context();
  context.registry = registry;
  context.createQuery = [this](const Stats::StatInstanceWriterRef& w, const Stats::StatInstanceAllocatorRef& a,
                               const Stats::StatsRegistryRef&) {
    auto q = Kestrix::MakeRef<Testing::ScriptedQuery>(w, a);
    query_ = q.Get();
    return Stats::StatsQueryRef(q);
  };
  auto engine = OpenEngine();
  auto cpuMemNet = BuildCpuMemNetCollection(engine, kPeriod, context);
  EXPECT_EQ(cpuMemNet->GetRequestedInstances().size(), 10u);
  auto sizes = BuildStorageSizeCollection(engine, kPeriod, {{"/", "root"}}, context);
  EXPECT_EQ(sizes->GetRequestedInstances().size(), 3u);
  EXPECT_EQ(log_.CountPrefix("info Intend to persist stat label="), 13u) << log_.Text();
  EXPECT_EQ(log_.CountPrefix("error Could not locate StatInfo"), 0u) << log_.Text();
  for (const auto& instance : sizes->GetRequestedInstances()) {
    EXPECT_EQ(instance->GetAttributeValues(), Stats::AttributeValues{"*"}) << Stats::InstanceToString(*instance);
  }
  storage->UnregisterStats();
  linuxProvider->UnregisterStats();
}

TEST(BuildCollectionTest, FirstEntryOfALabelKeepsItAndOnlyFlaggedEntriesAreDrained) {
  Testing::ScratchDir dir;
  auto registry = Kestrix::MakeRef<Testing::ListingRegistry>();
  registry->Add(1, "a");
  CollectionContext context;
  CollectedStatIdCounter ids;
  context.registry = registry;
  context.ids = &ids;
  Testing::ScriptedQuery* query = nullptr;
  context.createQuery = [&](const Stats::StatInstanceWriterRef& w, const Stats::StatInstanceAllocatorRef& a,
                            const Stats::StatsRegistryRef&) {
    auto q = Kestrix::MakeRef<Testing::ScriptedQuery>(w, a);
    query = q.Get();
    return Stats::StatsQueryRef(q);
  };
  auto engine = Kestrix::MakeRef<SqliteStorageEngine>(dir.File("x.db"), 60, Testing::CapturedLog(dir).Logger());
  auto first = Kestrix::MakeRef<PersistedStat>("first", "a.host", ValueKindInteger, "", 10);
  auto second = Kestrix::MakeRef<PersistedStat>("second", "a.host", ValueKindInteger, "", 11);
  auto quiet = Kestrix::MakeRef<PersistedStat>("quiet", "q.host", ValueKindInteger, "", 12);
  auto ratio = Kestrix::MakeRef<RationalPersistedStat>("ratio", ValueKindReal, "", 13);
  auto collection = BuildCollection(engine, 1, {}, {{ratio, {{quiet, false}}, {}}}, {{first, true}, {second, true}},
                                    context);
  EXPECT_EQ(Names(collection->GetDrainList()), (std::vector<std::string>{"ratio", "first", "second"}));
  EXPECT_EQ(query->allocator->Allocate(1, {}), 10u) << "a.host feeds the first entry";
  ASSERT_EQ(ratio->GetNumerators().size(), 1u);
  EXPECT_EQ(ratio->GetNumerators()[0].Get(), quiet.Get());
}

}  // namespace
}  // namespace Tallywick
