// Cost of one pass of the CPU, memory and network collection: the query
// executed on the real /proc of this machine (registry, Linux provider,
// instance graph) and its samples drained into a database file, against a
// floor that only reads the same /proc files and commits the same number of
// rows straight on SQLite in one transaction.
//
// Goals: one commit per pass, zero heap allocations per steady-state pass, and
// CPU per pass at most 1.5 x the floor. Each pass advances a test clock by one
// second, so every insert adds a row and, once a series holds more rows than
// the time to live allows, every delete removes one.
//
// Sample run (2 vCPUs, Linux 6.18, RelWithDebInfo, database in /tmp on the
// root disk, load average 7 from other builds; `build/bin/bench_storage
// --benchmark_repetitions=5 --benchmark_report_aggregates_only=true`,
// medians; wall time is mostly the commit's fsync):
//   BM_CollectionPass   4830 us wall   1242 us CPU   commits_per_pass=1 allocs_per_pass=0 rows=20
//   BM_Floor            6192 us wall   1135 us CPU   rows=20
//   CPU per pass: 1.09 x the floor.
// New series (`--benchmark_filter=NewSeries`, CPU per new series with 0 /
// 1,000 / 4,000 series already stored): 92 / 142 / 429 us. What still grows is
// SQLite's own CREATE TABLE, which re-reads the schema table's rows of the new
// table by a scan; looking the table's owner up case-blind on every creation
// had made it 104 / 207 / 778 us.
// Start-up (`--benchmark_filter=StartUp`, opening a database of 4,000 series
// of 61 rows each, one row of each past the time to live): 280 ms wall,
// 147 ms CPU; without the start-up expiry 81 ms wall, 40 ms CPU.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "apps/tallywick/persistedStatCatalog.h"
#include "apps/tallywick/sqliteStorageEngineImpl.h"
#include "apps/tallywick/storageCollection.h"
#include "bench/allocCounter.h"
#include "kestrix/time.h"
#include "public/stats/statsQuery.h"
#include "public/stats/statsRegistry.h"
#include "stats/providers/linuxStatsProviderImpl.h"

namespace {

constexpr uint64_t kTtlSec = 60;
constexpr uint64_t kStartMicros = 1700000000ull * 1000000;
constexpr uint64_t kPeriodMicros = 1000000;

// What a refresh of the Linux provider reads (with no process selectors, as
// the service runs it): these files, and the listing of /proc.
const char* const kProcFiles[] = {"meminfo", "diskstats", "stat", "cpuinfo", "loadavg", "net/dev"};

char g_buffer[1 << 16];

void ReadProcFiles(int procFd) {
  for (const char* path : kProcFiles) {
    const int fd = ::openat(procFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    while (::read(fd, g_buffer, sizeof g_buffer) > 0) {
    }
    ::close(fd);
  }
  const int dirFd = ::openat(procFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = dirFd < 0 ? nullptr : ::fdopendir(dirFd);
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) benchmark::DoNotOptimize(entry->d_name[0]);
  ::closedir(dir);
}

std::string ScratchDir() {
  std::string dir = (std::filesystem::temp_directory_path() / "tw-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) abort();
  return dir;
}

Kestrix::Service::LoggerRef QuietLogger() {
  return Kestrix::MakeRef<Kestrix::Service::Logger>("bench", Kestrix::MakeRef<Kestrix::Service::LogSink>(),
                                                   Kestrix::Service::LOG_ERROR);
}

// Rows of the last measured pass, for the floor to store as many.
size_t g_rowsPerPass = 0;

void BM_CollectionPass(benchmark::State& state) {
  const std::string dir = ScratchDir();
  Kestrix::System::TestClock clock(1, kStartMicros);
  Kestrix::System::ScopedTestClock installed(clock);
  const Kestrix::Service::LoggerRef logger = QuietLogger();
  {
    Stats::StatsRegistryRef registry = Stats::CreateRegistry(logger);
    Kestrix::Ref<Stats::Providers::LinuxStatsProvider> provider(
        new Stats::Providers::LinuxStatsProvider({}, Stats::StatAttributeMapperRef()));
    provider->RegisterStats(registry);
    auto engine = Kestrix::MakeRef<Tallywick::SqliteStorageEngine>(dir + "/stats.db", kTtlSec, logger);
    engine->Initialize();
    Tallywick::CollectedStatIdCounter ids;
    Tallywick::CollectionContext context;
    context.registry = registry;
    context.logger = logger;
    context.ids = &ids;
    context.createQuery = [logger](const Stats::StatInstanceWriterRef& writer,
                                   const Stats::StatInstanceAllocatorRef& allocator,
                                   const Stats::StatsRegistryRef& r) {
      return Stats::CreateQuery(writer, allocator, 0, logger, r);
    };
    Tallywick::StorageCollectionRef collection =
        Tallywick::BuildCpuMemNetCollection(engine, kPeriodMicros, context);
    auto pass = [&] {
      collection->GetQuery()->Execute(false);
      return collection->Drain();
    };
    // Series, tables, metadata rows and statements exist before the timed passes.
    for (int i = 0; i < 3; ++i) {
      pass();
      clock.Advance(kPeriodMicros);
    }
    const uint64_t commits = engine->GetCommitCount();
    uint64_t allocations = 0;
    for (auto _ : state) {
      const uint64_t before = BenchAlloc::Count();
      benchmark::DoNotOptimize(pass());
      allocations += BenchAlloc::Count() - before;
      state.PauseTiming();
      clock.Advance(kPeriodMicros);
      state.ResumeTiming();
    }
    const double passes = static_cast<double>(state.iterations());
    state.counters["commits_per_pass"] = static_cast<double>(engine->GetCommitCount() - commits) / passes;
    state.counters["allocs_per_pass"] = static_cast<double>(allocations) / passes;
    g_rowsPerPass = 0;
    for (const auto& stat : collection->GetDrainList()) g_rowsPerPass += !Stats::IsInvalid(stat->GetValue());
    state.counters["rows"] = static_cast<double>(g_rowsPerPass);
    provider->UnregisterStats();
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_CollectionPass)->Unit(benchmark::kMicrosecond);

// The floor: open, read and close the same files, then one transaction of
// as many inserts and deletes as the pass stores, prepared once.
void BM_Floor(benchmark::State& state) {
  const size_t rows = g_rowsPerPass ? g_rowsPerPass : 23;
  const std::string dir = ScratchDir();
  sqlite3* db = nullptr;
  sqlite3_open_v2((dir + "/floor.db").c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                  nullptr);
  sqlite3_exec(db, "PRAGMA page_size=1024; PRAGMA journal_mode=wal;", nullptr, nullptr, nullptr);
  std::vector<sqlite3_stmt*> inserts, deletes;
  for (size_t i = 0; i < rows; ++i) {
    const std::string table = "t" + std::to_string(i);
    sqlite3_exec(db,
                 ("CREATE TABLE " + table + " (sm_timestamp INTEGER, sm_stat_value REAL, CONSTRAINT pk_" + table +
                  " PRIMARY KEY (sm_timestamp));")
                     .c_str(),
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, ("INSERT OR REPLACE INTO " + table + " (sm_timestamp, sm_stat_value) VALUES (?, ?);").c_str(),
                       -1, &s, nullptr);
    inserts.push_back(s);
    sqlite3_prepare_v2(db, ("DELETE FROM " + table + " WHERE sm_timestamp < ?;").c_str(), -1, &s, nullptr);
    deletes.push_back(s);
  }
  const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int64_t second = static_cast<int64_t>(kStartMicros / 1000000);
  for (auto _ : state) {
    ReadProcFiles(procFd);
    ++second;
    sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
    for (size_t i = 0; i < rows; ++i) {
      sqlite3_bind_int64(inserts[i], 1, second);
      sqlite3_bind_double(inserts[i], 2, static_cast<double>(second + static_cast<int64_t>(i)) / 7.0);
      sqlite3_step(inserts[i]);
      sqlite3_reset(inserts[i]);
      sqlite3_bind_int64(deletes[i], 1, second - static_cast<int64_t>(kTtlSec));
      sqlite3_step(deletes[i]);
      sqlite3_reset(deletes[i]);
    }
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  }
  state.counters["rows"] = static_cast<double>(rows);
  for (auto* s : inserts) sqlite3_finalize(s);
  for (auto* s : deletes) sqlite3_finalize(s);
  sqlite3_close(db);
  ::close(procFd);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_Floor)->Unit(benchmark::kMicrosecond);

// First stores of new series (a host where interfaces keep appearing): the
// database already holds range(0) series, and each timed transaction creates
// 100 more, with their tables, metadata rows and statements. The cost per new
// series must not grow with the series already there.
void BM_NewSeries(benchmark::State& state) {
  const std::string dir = ScratchDir();
  Kestrix::System::TestClock clock(1, kStartMicros);
  Kestrix::System::ScopedTestClock installed(clock);
  auto engine = Kestrix::MakeRef<Tallywick::SqliteStorageEngine>(dir + "/stats.db", kTtlSec, QuietLogger());
  engine->Initialize();
  std::vector<Tallywick::PersistedStatRef> series;
  auto storeNew = [&](size_t count) {
    Tallywick::StorageTransaction transaction(*engine);
    for (size_t i = 0; i < count; ++i) {
      auto stat = Kestrix::MakeRef<Tallywick::PersistedStat>("net.rx.activity.veth" + std::to_string(series.size()),
                                                              "", Tallywick::ValueKindReal, "units=kb;",
                                                              series.size());
      stat->SetSample(kStartMicros, Stats::StatValue(1, 3));
      engine->Store(*stat);
      series.push_back(stat);
    }
    transaction.Commit();
  };
  for (int64_t done = 0; done < state.range(0); done += 100) storeNew(100);
  for (auto _ : state) storeNew(100);
  state.counters["us_per_new_series"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * 100, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_NewSeries)->Arg(0)->Arg(1000)->Arg(4000)->Iterations(5)->Unit(benchmark::kMillisecond);

// Start-up with range(0) series already stored, each holding rows of
// kTtlSec + 1 seconds: opening the engine deletes one row of every series
// past the time to live. Start-up must stay well under a second at 4,000.
void BM_StartUpExpiry(benchmark::State& state) {
  const std::string dir = ScratchDir();
  Kestrix::System::TestClock clock(1, kStartMicros);
  Kestrix::System::ScopedTestClock installed(clock);
  const std::string db = dir + "/stats.db";
  {
    auto engine = Kestrix::MakeRef<Tallywick::SqliteStorageEngine>(db, kTtlSec, QuietLogger());
    engine->Initialize();
    std::vector<Tallywick::PersistedStatRef> series;
    for (int64_t i = 0; i < state.range(0); ++i) {
      series.push_back(Kestrix::MakeRef<Tallywick::PersistedStat>("net.rx.activity.veth" + std::to_string(i), "",
                                                                   Tallywick::ValueKindReal, "units=kb;", i));
    }
    for (uint64_t s = 0; s <= kTtlSec; ++s) {
      clock.SetUtc(kStartMicros + s * 1000000);
      Tallywick::StorageTransaction transaction(*engine);
      for (auto& stat : series) {
        stat->SetSample(kStartMicros + s * 1000000, Stats::StatValue(1, 3));
        engine->Store(*stat);
      }
      transaction.Commit();
    }
  }
  uint64_t now = kStartMicros + kTtlSec * 1000000;
  for (auto _ : state) {
    now += 1000000;  // one second later: one more row of each series is past the time to live
    clock.SetUtc(now);
    auto engine = Kestrix::MakeRef<Tallywick::SqliteStorageEngine>(db, kTtlSec, QuietLogger());
    engine->Initialize();
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_StartUpExpiry)->Arg(0)->Arg(4000)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
