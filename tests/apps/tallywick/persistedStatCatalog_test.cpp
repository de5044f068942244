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
using Testing::Rows;

constexpr uint64_t kPeriod = 60000000;
constexpr uint64_t k2100 = 4102444800ull * 1000000;  // 2100-01-01

// Metadata as the database shows it; instance is empty for a series with its own id.
std::string Metadata(const std::string& category, const std::string& unit, const std::string& name,
                     const std::string& instance = "") {
  return "category=com.norvex.fenmark.mon.cat." + category + ";units=com.norvex.fenmark.mon.unit." + unit + ";" +
         (instance.empty() ? "" : "instance=" + instance + ";") + "name=com.norvex.fenmark.mon.name." + name +
         ";description=com.norvex.fenmark.mon.descr." + name + ";";
}

// Describe gives what the database gets of a series: name|label|kind|id|metadata.
std::string Describe(const PersistedStat& s) {
  return s.GetName() + "|" + s.GetLabel() + "|" + (s.GetValueKind() == ValueKindReal ? "real" : "integer") + "|" +
         std::to_string(s.GetCollectedStatId()) + "|" + s.GetMetadata();
}

class CatalogueTest : public Testing::CollectionTest {
protected:
  StorageCollectionRef CpuMemNet() {
    int64_t id = 101;
    for (const char* name : {"cpu.usage.user", "cpu.usage.system", "cpu.count", "cpu.totalfrequency",
                             "mem.physical.used", "mem.physical"}) {
      registry_->Add(id++, name);
    }
    for (const char* name : {"net.tx.activity", "net.rx.activity", "net.tx.packetRate", "net.rx.packetRate"}) {
      registry_->Add(id++, name, {Testing::NicAttribute()});
    }
    return BuildCpuMemNetCollection(OpenEngine(), kPeriod, Context());
  }
};

TEST_F(CatalogueTest, CpuMemNetSeriesTakeTheIdsInCatalogueOrder) {
  auto collection = CpuMemNet();
  const auto& drain = collection->GetDrainList();
  ASSERT_EQ(drain.size(), 4u);
  auto util = Kestrix::RefCast<RationalPersistedStat>(drain[0]);
  ASSERT_TRUE(util);
  ASSERT_EQ(util->GetNumerators().size(), 2u);
  ASSERT_EQ(util->GetDenominators().size(), 1u);
  Rows got;
  for (const auto& s : {util->GetNumerators()[0], util->GetNumerators()[1], util->GetDenominators()[0]}) {
    got.push_back(Describe(*s));
  }
  for (const auto& s : drain) got.push_back(Describe(*s));
  EXPECT_EQ(got, (Rows{
                     "cpu.usage.user|cpu.usage.user.host|real|0|" + Metadata("cpu", "percent", "cpu.usage.user"),
                     "cpu.usage.system|cpu.usage.system.host|real|1|" + Metadata("cpu", "percent", "cpu.usage.system"),
                     "cpu.count|cpu.count.host|integer|2|" + Metadata("cpu", "cores", "cpu.count"),
                     "cpu.util||real|3|" + Metadata("cpu", "percent", "cpu.util"),
                     "cpu.totalfrequency|cpu.totalfrequency.host|real|4|" +
                         Metadata("cpu", "mhz", "cpu.totalfrequency"),
                     "mem.util|mem.physical.used.host|integer|5|" + Metadata("memory", "kb", "mem.util"),
                     "mem.total|mem.physical.host|integer|6|" + Metadata("memory", "kb", "mem.total"),
                 }));
  // Every label of the catalogue is requested: six host stats and four per-NIC.
  ASSERT_EQ(query_->requests.size(), 1u);
  EXPECT_EQ(query_->requests[0].size(), 10u);
  // The network templates give real series per interface, with the next ids.
  const std::pair<std::string, const char*> templates[] = {{"net.tx.activity", "kb_per_sec"},
                                                           {"net.rx.activity", "kb_per_sec"},
                                                           {"net.tx.packetRate", "packets_per_microsec"},
                                                           {"net.rx.packetRate", "packets_per_microsec"}};
  CollectedStatId id = 7;
  uint64_t statId = 107;
  for (const auto& [family, unit] : templates) {
    EXPECT_EQ(Allocate(statId++, {"eth0"}), id);
    EXPECT_EQ(Describe(*collection->GetDrainList().back()), family + ".eth0|" + family + ".pNIC|real|" +
                                                                std::to_string(id++) + "|" +
                                                                Metadata("network", unit, family + ".eth0", "eth0"));
  }
}

TEST_F(CatalogueTest, CpuUtilIsStoredWithoutItsComponentsAndInterfaceDotsStayInTheName) {
  auto collection = CpuMemNet();
  const uint64_t user = Allocate(101, {}), system = Allocate(102, {}), count = Allocate(103, {});
  const uint64_t tx = Allocate(107, {"eth0.100"});
  Emit(user, k2100, StatValue(150));
  Emit(system, k2100, StatValue(50));
  Emit(count, k2100, StatValue(4));
  Emit(tx, k2100, StatValue(5, 4));
  ASSERT_TRUE(collection->Drain());
  Database check(db_);
  // Series without a valid value get no metadata row yet; components never do.
  EXPECT_EQ(check.Rows("SELECT stat_id, stat_table_name FROM sm_stats_metadata ORDER BY 1;"),
            (Rows{"cpu.util|sm_stat_cpu_util", "net.tx.activity.eth0.100|sm_stat_net_tx_activity_eth0_100"}));
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_cpu_util;"), Rows{"4102444800|50.0"});
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_net_tx_activity_eth0_100;"), Rows{"4102444800|1.25"});

  // Two busy CPUs whose second counted a tick more than it had: 100.5 %.
  Emit(user, k2100 + 1000000, StatValue(199));
  Emit(system, k2100 + 1000000, StatValue(2));
  Emit(count, k2100 + 1000000, StatValue(2));
  ASSERT_TRUE(collection->Drain());
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_cpu_util;"), (Rows{"4102444800|50.0", "4102444801|100.0"}));
}

TEST_F(CatalogueTest, StorageSizeSeriesAreNamedByTheConfiguredNameOrElseThePath) {
  registry_->Add(201, "storage.used", {Testing::PathAttribute(".filesystem")});
  registry_->Add(202, "storage.totalsize", {Testing::PathAttribute(".filesystem")});
  registry_->Add(203, "storage.totalsize", {Testing::PathAttribute(".directory")});
  const InstanceNames names = {{"/", "root"}, {"/storage/log", "log"}, {"/var/core", "core"}};
  auto collection = BuildStorageSizeCollection(OpenEngine(), 600000000, names, Context());
  EXPECT_TRUE(collection->GetDrainList().empty());
  const std::pair<uint64_t, const char*> instances[] = {{201, "/"}, {201, "/storage/log"}, {202, "/"},
                                                        {203, "/var/core"}, {203, "/unnamed"}};
  for (const auto& [statId, path] : instances) Allocate(statId, {path});
  EXPECT_EQ(Names(collection->GetDrainList()),
            (Rows{"storage.used.filesystem.root", "storage.used.filesystem.log", "storage.totalsize.filesystem.root",
                  "storage.totalsize.directory.core", "storage.totalsize.directory./unnamed"}));
  // The raw path stays in the metadata; storage templates take no ids.
  EXPECT_EQ(Describe(*collection->GetDrainList()[1]),
            "storage.used.filesystem.log|storage.used.D.filesystem|integer|1|" +
                Metadata("storage", "kb", "storage.used.filesystem.log", "/storage/log"));
}

TEST_F(CatalogueTest, EveryLabelMatchesAStatisticOfTheLinuxProviders) {
  Testing::CapturedLog registryLog(dir_, "registry.log");
  auto registry = Stats::CreateRegistry(registryLog.Logger());
  auto linuxProvider =
      Kestrix::MakeRef<Stats::Providers::LinuxStatsProvider>(Stats::Providers::ProcessSelectorList(), nullptr);
  linuxProvider->RegisterStats(registry);
  auto storage = Kestrix::MakeRef<Stats::Providers::LinuxStorageStatsProvider>(
      std::vector<std::string>{"/"}, std::vector<std::string>{dir_.Path()}, nullptr);
  storage->RegisterStats(registry);
  auto engine = OpenEngine();
  EXPECT_EQ(BuildCpuMemNetCollection(engine, kPeriod, Context(registry))->GetRequestedInstances().size(), 10u);
  auto sizes = BuildStorageSizeCollection(engine, kPeriod, {{"/", "root"}}, Context(registry));
  EXPECT_EQ(sizes->GetRequestedInstances().size(), 3u);
  EXPECT_EQ(log_.CountPrefix("info Intend to persist stat label="), 13u) << log_.Text();
  EXPECT_EQ(log_.CountPrefix("error "), 0u) << log_.Text();
  storage->UnregisterStats();
  linuxProvider->UnregisterStats();
}

}  // namespace
}  // namespace Tallywick
