// A long run of the whole sampling path (system provider on a /proc tree,
// registry, query, collection, SQLite) on a test clock, with network
// interfaces appearing and disappearing between passes: memory must level off
// once every name has been seen, every name keeps exactly one series, and
// names that never come back must not keep their memory.
#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/tallywick/persistedStatCatalog.h"
#include "apps/tallywick/sqliteStorageEngineImpl.h"
#include "apps/tallywick/storageCollection.h"
#include "kestrix/log.h"
#include "kestrix/time.h"
#include "public/stats/statsQuery.h"
#include "public/stats/statsRegistry.h"
#include "stats/providers/linuxStatsProviderImpl.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TW_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TW_UNDER_SANITIZER 1
#endif
#endif

namespace Tallywick {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kSecond = 1000000;
constexpr uint64_t kStart = 1767225600ULL * kSecond;  // 2026-01-01T00:00:00Z

// Interface names a pass may show: dots, dashes and a double quote among
// them, as on real appliances (VLANs, bridges, tunnels).
std::vector<std::string> NamePool(size_t n) {
  std::vector<std::string> names;
  for (size_t i = 0; i < n; ++i) {
    const std::string k = std::to_string(i);
    names.push_back(i % 4 == 0 ? "eth" + k : i % 4 == 1 ? "br-lan." + k : i % 4 == 2 ? "vx-" + k + "-a" : "q\"" + k);
  }
  return names;
}

class ChurnTest : public ::testing::Test {
protected:
  // Memory, not the disk, is under test: the database on a tmpfs when there
  // is one, the log at warnings.
  ChurnTest() : level_(Kestrix::Service::GetDefaultLogger()->GetLevel()) {
    const fs::path shm("/dev/shm");
    std::string pattern = ((fs::is_directory(shm) ? shm : fs::temp_directory_path()) / "tw-scale-XXXXXX").string();
    Kestrix::Service::GetDefaultLogger()->SetLevel(Kestrix::Service::LOG_WARNING);
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::copy(fs::path(TW_FIXTURES_DIR) / "proc" / "vm-6.18", dir_ / "proc", fs::copy_options::recursive);
  }
  ~ChurnTest() override {
    Kestrix::Service::GetDefaultLogger()->SetLevel(level_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // WriteNetDev writes net/dev with lo and a window of the pool (half of it
  // unless window_ says otherwise) that moves by step_ names a pass, so that
  // every pass some leave and others come; counters grow with the pass so
  // that every rate has a value.
  void WriteNetDev(size_t pass, const std::vector<std::string>& pool) {
    const fs::path tmp = dir_ / "proc" / "net" / "dev.tmp";
    {
      std::ofstream out(tmp);
      out << "Inter-|   Receive |  Transmit\n face |bytes    packets errs drop fifo frame compressed multicast|bytes"
             "    packets errs drop fifo colls carrier compressed\n";
      auto line = [&](const std::string& name, uint64_t base) {
        const uint64_t v = base + pass * 1500;
        out << name << ": " << v << ' ' << v / 1500 << " 0 0 0 0 0 0 " << 2 * v << ' ' << v / 750 << " 0 0 0 0 0 0\n";
      };
      line("lo", 1000);
      const size_t n = pool.size();
      for (size_t k = 0; k < (window_ ? window_ : n / 2); ++k) {
        line(pool[(pass * step_ + k) % n], 1000 * ((pass * step_ + k) % n));
      }
    }
    fs::rename(tmp, dir_ / "proc" / "net" / "dev");
  }

  // Run samples `passes` times, one second apart on the test clock, with the
  // interfaces churning over pool; it returns the resident KiB after passes early and late.
  std::array<long, 2> Run(size_t passes, const std::vector<std::string>& pool, size_t early, size_t late) {
    std::array<long, 2> resident = {0, 0};
    Kestrix::System::TestClock clock(kSecond, kStart);
    Kestrix::System::ScopedTestClock installed(clock);
    auto registry = Stats::CreateRegistry(Kestrix::Service::LoggerRef());
    Stats::StatsProviderRef provider(new Stats::Providers::LinuxStatsProvider(
        Stats::Providers::ProcessSelectorList(), Stats::StatAttributeMapperRef(), (dir_ / "proc").string()));
    provider->RegisterStats(registry);
    // A one-minute time to live keeps the database at a steady size.
    auto engine = Kestrix::MakeRef<SqliteStorageEngine>((dir_ / "tw.db").string(), 60, Kestrix::Service::LoggerRef());
    engine->Initialize();
    CollectionContext context = DefaultCollectionContext();
    context.registry = registry;
    auto collection = BuildCpuMemNetCollection(engine, kSecond, context);
    size_t pass = 0;
    WriteNetDev(pass, pool);
    collection->RunQueryLoop([&](uint64_t) {
      if (++pass == early || pass == late) resident[pass == late] = ResidentKiB();
      if (pass == passes) return true;
      WriteNetDev(pass, pool);
      clock.Advance(kSecond);
      return false;
    });
    // The registry holds the provider's registrations: release them, as the
    // service does at shutdown, or the two keep each other alive.
    provider->UnregisterStats();
    return resident;
  }

  // SeriesNames returns the names of the stored series (metadata rows).
  std::set<std::string> SeriesNames() const {
    std::set<std::string> names;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2((dir_ / "tw.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT stat_id FROM sm_stats_metadata;", -1, &st, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    while (st && sqlite3_step(st) == SQLITE_ROW) names.insert(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return names;
  }

  // Resident KiB of this process.
  static long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
  }

  fs::path dir_;
  int32_t level_;
  size_t window_ = 0;
  size_t step_ = 3;
};

TEST_F(ChurnTest, EveryInterfaceKeepsOneSeriesAndMemoryStaysFlat) {
  const auto pool = NamePool(16);
#ifdef TW_UNDER_SANITIZER
  // Resident size means nothing under a sanitizer's shadow memory and quarantine: churn only.
  const size_t passes = 40;
#else
  const size_t passes = 10000;
#endif
  const auto resident = Run(passes, pool, 1000, 10000);
  // Four per-interface series (rx/tx activity, rx/tx packets) for lo and each
  // pool name, each exactly once whatever the number of comings and goings.
  const auto names = SeriesNames();
  for (const auto& nic : pool)
    for (const char* stat : {"net.rx.activity.", "net.tx.activity.", "net.rx.packetRate.", "net.tx.packetRate."})
      EXPECT_EQ(names.count(stat + nic), 1u) << stat << nic;
  size_t perNic = 0;
  for (const auto& n : names) perNic += n.compare(0, 4, "net.") == 0;
  EXPECT_EQ(perNic, 4 * (pool.size() + 1)) << "lo and the pool, nothing else";
  if (passes < 10000) return;
  std::printf("resident after 1,000 passes: %ld KiB, after 10,000: %ld KiB\n", resident[0], resident[1]);
  ASSERT_GT(resident[0], 0);
  EXPECT_LE(resident[1] * 100, resident[0] * 105) << "grew from " << resident[0] << " KiB to " << resident[1] << " KiB";
}

// Names that never come back (container veth pairs): a gone interface's
// series is let go, so memory grows by SQLite's schema of the tables that
// stay, not by everything the service held for each name (24 KiB a name).
TEST_F(ChurnTest, FreshNamesDoNotKeepWhatTheServiceHeldForThem) {
#ifdef TW_UNDER_SANITIZER
  const size_t passes = 40;
#else
  const size_t passes = 1500;
#endif
  window_ = 8;
  step_ = 1;
  const auto pool = NamePool(passes + window_ + 1);  // each pass one name leaves for good, a fresh one comes
  const auto resident = Run(passes, pool, 500, 1500);
  EXPECT_EQ(SeriesNames().count("net.rx.activity." + pool[passes - 1]), 1u);
  if (passes < 1500) return;
  std::printf("resident after 500 passes: %ld KiB, after 1,500: %ld KiB\n", resident[0], resident[1]);
  ASSERT_GT(resident[0], 0);
  EXPECT_LE(resident[1] - resident[0], 1000 * 6) << "1,000 fresh names: " << resident[0] << " to " << resident[1]
                                                 << " KiB";
}

}  // namespace
}  // namespace Tallywick
